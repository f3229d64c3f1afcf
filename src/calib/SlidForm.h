#pragma once
// "Slider": mouse sliders with fine zoom for the auxiliary outputs DAC5..DAC8,
// a 256 × 256 test raster over DAC5/DAC6 painted in false colours, and two
// test signals for the controller's waveform generator.

#include <QImage>
#include <QWidget>

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

class QLabel;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QScrollBar;
class QTimer;

namespace qvt {

class TInOutForm;
class TNumericEdit;

// The track of one slider: a sunken frame and a knob, reporting the pointer.
class TSliderTrack : public QWidget {
    Q_OBJECT

public:
    explicit TSliderTrack(const QString& name, QWidget* parent = nullptr);
    void SetKnob(int x);
    int Knob() const { return knob_; }

    std::function<void(int x)> MouseDown;
    std::function<void(int x)> MouseMove;
    std::function<void()> MouseUp;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    int knob_ = 100;
};

class TSlidForm : public QWidget {
    Q_OBJECT

public:
    explicit TSlidForm(TInOutForm& link, QWidget* parent = nullptr);
    ~TSlidForm() override;

    void FormCreate();
    void FormDestroy();

    // Slider k = 1..4.
    bool EditKeyPress(int k);
    void ZoomClick(int k, double zoom);
    void ImageMouseDown(int k, int x);
    void ImageMouseMove(int k, int x);
    void ImageMouseUp(int k);
    // "Do": starts the raster in its worker (false while one runs).
    bool Button1Click();
    void CancelRaster();
    bool RasterRunning() const { return raster_ != nullptr; }
    // Takes a finished raster over (the poll timer calls it); true when one was taken.
    bool FinishRaster();
    void Image5MouseDown(int x, int y);
    void ScrollBar1Change(int position);
    void Button2Click();

    // The main window's slider button follows the window.
    std::function<void(bool down)> SetSlidButton;

    TNumericEdit* Edit(int k) const { return edits_[static_cast<size_t>(k - 1)]; }
    TSliderTrack* Track(int k) const { return tracks_[static_cast<size_t>(k - 1)]; }
    QRadioButton* ZoomButton(int k, int i) const { return zoomButtons_[static_cast<size_t>((k - 1) * 3 + i)]; }
    const QImage& RasterImage() const { return picture_; }
    QProgressBar* Progress() const { return progress_; }
    QWidget* WaveControls() const { return waveBox_; }
    double Zoom(int k) const { return zoom_[static_cast<size_t>(k - 1)]; }

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct TRasterJob;

    void ShowCaptions();
    int Slot(int k) const { return 3 + k; }

    TInOutForm& link_;
    std::array<TNumericEdit*, 4> edits_{};
    std::array<TSliderTrack*, 4> tracks_{};
    std::array<QLabel*, 4> captions_{};
    std::array<QLabel*, 4> units_{};
    std::array<QRadioButton*, 12> zoomButtons_{};
    std::array<double, 4> zoom_{1.0, 1.0, 1.0, 1.0};
    std::array<double, 4> centre_{};
    QLabel* image5_ = nullptr;
    QImage picture_;
    QProgressBar* progress_ = nullptr;
    QPushButton* doButton_ = nullptr;
    QPushButton* cancelButton_ = nullptr;
    QScrollBar* scrollBar1_ = nullptr;
    QWidget* waveBox_ = nullptr;
    QTimer* rasterPoll_ = nullptr;
    std::unique_ptr<TRasterJob> raster_;
};

extern TSlidForm* SlidForm;

} // namespace qvt
