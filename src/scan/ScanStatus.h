#pragma once
// The parameter window's status display: the Z bar (where Z went since the
// last tick, coloured by how near it came to either end), the tip's state
// line, the image-time hint and the five mouse-tool buttons that tell an
// image window what a drag on it does.

#include <QColor>
#include <QString>
#include <QWidget>

#include <array>
#include <cstdint>
#include <functional>

class QAbstractButton;
class QButtonGroup;
class QLabel;

namespace qvt {

// ---- the image time --------------------------------------------------------------------------

// "1h 2min 5s", "25s", "5.0s", "0.200s ~ 5.0 frames per sec".
QString ImageTimeText(double seconds);
// The hint: the time of a whole image while the scan is stopped, what is
// left of the running one otherwise (down: lines below the current one).
QString ImageTimeHint(bool scanRunning, int64_t lineTicks, int pixels, int currentLine, int direction,
                      int64_t perfFrequency);
QString ZStateText(int32_t zState);

// ---- the Z bar -------------------------------------------------------------------------------

// A raw Z as a percentage of the channel's span.
int ZBarPercent(int32_t raw, int32_t minRaw, int32_t maxRaw);
// The fast module's Z (full 32-bit scale) as a percentage.
int FastZBarPercent(int32_t raw);
// The colour of the part 0..lo: lime, yellow when hi reached above 90 %,
// red when lo fell below 10 %, grey while the piezo is retracted; later
// rules win.
QColor ZBarColour(int lo, int hi, int32_t zState);
constexpr QColor ZBandColour{0, 128, 0};

// Image1: the bar, 50 pixels of range from the top.
class TZBar : public QWidget {
    Q_OBJECT
public:
    explicit TZBar(QWidget* parent = nullptr);
    void ShowZBar(int lo, int hi);
    void ShowZBarDual(int lo, int hi, int fastLo, int fastHi);
    int Lo() const { return lo_; }
    int Hi() const { return hi_; }
    QColor FillColour() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int lo_ = 0, hi_ = 0;
    int fastLo_ = -1, fastHi_ = -1;
};

// ---- the mouse tools -------------------------------------------------------------------------

enum class TMouseTool { Drag = 0, Move = 1, Measure = 2, Zoom = 3, ZoomCentered = 4 };

// Panel1 with the five tool buttons (DragSpeedBtn ... ZoomCenteredSpeedBtn).
class TToolButtons : public QWidget {
    Q_OBJECT
public:
    explicit TToolButtons(QWidget* parent = nullptr);
    // [ScanPara] UsedTool.
    void Load();
    int UsedTool() const { return usedTool_; }
    void SetUsedTool(int tool);
    QAbstractButton* Button(TMouseTool tool) const { return buttons_[static_cast<size_t>(tool)]; }
    // The image windows update their drag mode and cursor.
    std::function<void()> RefreshImageWindowCursors;

private:
    std::array<QAbstractButton*, 5> buttons_{};
    QButtonGroup* group_ = nullptr;
    int usedTool_ = 0;
};

} // namespace qvt
