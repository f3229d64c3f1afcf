#pragma once
// The three-trace oscilloscope "Oszilloscope": up to three controller
// channels over 512 samples as the driver link records them, against time,
// frequency (the spectrum of each trace) or the position in the scan line;
// frames can go into a long-term ring, and the picture, the frame or the ring
// are saved to files. The device window fetches the buffers (its 100 ms
// timer) and says so; this window keeps the frame it was handed and derives
// every view from it (OsziFrame), so changing the view of a stopped frame
// never processes it twice.

#include "lockin/OsziFrame.h"

#include <QImage>
#include <QWidget>

#include <array>
#include <functional>
#include <vector>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QScrollBar;
class QToolButton;

namespace qvt {

class TInOutForm;

class TOszi2Form : public QWidget {
    Q_OBJECT

public:
    explicit TOszi2Form(TInOutForm& device, QWidget* parent = nullptr);
    ~TOszi2Form() override;

    // Hooks set by the program's assembly.
    std::function<void(bool down)> SetMainButton; // the main window's oscilloscope button
    std::function<bool()> ScanRunning;            // the scan thread runs (Line view)
    std::function<void()> ShowOptions;            // the "Options" button

    void FormCreate();
    void FormDestroy();

    // A frame was fetched (newFrame) or the display changed.
    void ProcessFrame(bool newFrame = false);
    // Restarts acquisition after an input-range change.
    void FormRescale();
    // Sizes the ring from "Osziopt"; false (and "Out of Memory!") when it
    // cannot be had.
    bool AllocLongTerm();

    void Edit1Enter();
    void ScaleChange(int trace);
    void OnChangeOffs(int trace);
    void GroupBox3Click();
    void ScanButtonClick();
    void Button1Click();
    // What a save does first: acquisition stopped, the frame shown put into
    // the ring unless it is there already.
    void StopAndStore();
    // Saves as type 1 picture, 2 frame text, 3 window picture, 4 long-term
    // text; false (with "Can't save file!" for text) on failure.
    bool SaveFile(int type, const QString& path);

    TOsziView View() const;
    void SetView(TOsziView view);
    const TOsziBuffers& ShownFrame() const { return shown_; }
    const QImage& Picture() const { return picture_; }
    TOsziLongTerm LongTerm;

    struct Trace {
        int Slot = -1; // -1: "empty slot"
        TOsziStats Stats;
        TOsziGain Scale;
        int Zero = 50;
        std::array<int32_t, OsziBufferSamples> Y{};
    };
    const Trace& TraceState(int k) const { return traces_[static_cast<size_t>(k)]; }

    // Controls (named as the settings know them).
    std::array<QComboBox*, OsziTraceCount> ComboBoxes{}; // ComboBox1..3
    std::array<QScrollBar*, OsziTraceCount> ZeroBars{};  // ScrollBar1..3
    std::array<QScrollBar*, OsziTraceCount> ZoomBars{};  // ScrollBar4..6
    std::array<QRadioButton*, 12> ScaleRadios{};         // RadioButton1..12
    std::array<QLabel*, OsziTraceCount> ScaleLabels{};   // Label5, Label1, Label3
    std::array<QLabel*, OsziTraceCount> MeanLabels{};    // Label6, Label2, Label4
    std::array<QLabel*, OsziTraceCount> DragLabels{};    // Label13..15
    QRadioButton* RadioButton15 = nullptr;               // time
    QRadioButton* RadioButton16 = nullptr;               // freq
    QRadioButton* RadioButton17 = nullptr;               // Line
    QLineEdit* Edit1 = nullptr;
    QToolButton* ScanButton = nullptr;
    QPushButton* SaveButton = nullptr;
    QPushButton* SpeedButton1 = nullptr;
    QLabel* Image1 = nullptr;
    QLabel* LongTermLabel = nullptr; // says when the long-term record ended

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildControls();
    void FillChannelBoxes();
    void PlaceDragLabel(int trace);
    TOsziScaleMode Mode(int trace) const;
    void Redraw(int count);
    void DrawTraces(QImage& traces, int count, bool vector) const;
    TOsziSaveOptions SaveOptions() const;
    void StoreFrameOnce();

    TInOutForm& device_;
    TOsziBuffers raw_{};
    TOsziBuffers shown_{};
    // What the frame in raw_ was taken with: its channels, their names and
    // scales, and the sample time. Scaling, the ring and the text file use
    // these, so a channel or time base chosen after the frame does not
    // relabel it.
    TOsziRecordSetup frame_;
    TOsziRecordSetup CurrentSetup() const;
    void ShowLongTermState();
    std::array<Trace, OsziTraceCount> traces_{};
    std::vector<int> slots_; // channel-table slot of each box item after "empty slot"
    QImage grid_;
    QImage picture_;
    bool frameStored_ = true; // the frame in raw_ is in the ring already
    bool created_ = false;
    int dragging_ = 0; // Tag of the drag label held, 0 none
};

extern TOszi2Form* Oszi2Form;

} // namespace qvt
