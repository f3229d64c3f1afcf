#pragma once
// "Oscilloscope": the small single-trace display of the feedback input. While
// it exists the device window's 200 ms timer fetches 256 samples and this
// window scales them (OsziFrame) into a 256 × 256 picture, with red marks
// where a sample leaves the picture. Made on demand, not at start.

#include "lockin/OsziFrame.h"

#include <QImage>
#include <QWidget>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace qvt {

class TInOutForm;

class TOsziForm : public QWidget {
    Q_OBJECT

public:
    explicit TOsziForm(TInOutForm& device, QWidget* parent = nullptr);
    ~TOsziForm() override;

    void FormCreate();
    void FormDestroy();
    void ShowFrame(const int32_t* values);
    void ComboScaleChange();
    void ScaleNumberExit();

    const QImage& Picture() const { return picture_; }
    const TSimpleScopeScale& LastScale() const { return scale_; }
    double ScaleValue() const { return scaleValue_; }

    QComboBox* ComboScale = nullptr;
    QLineEdit* ScaleNumber = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    QPushButton* CancelButton = nullptr;
    QPushButton* Button1 = nullptr;

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    TInOutForm& device_;
    QImage picture_;
    TSimpleScopeScale scale_;
    double scaleValue_ = 10.0;
};

// The one made from the Tools menu; null until the operator first asks for it.
extern TOsziForm* OsziForm;

} // namespace qvt
