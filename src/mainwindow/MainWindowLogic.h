#pragma once
// The main window's rules that need no window: where a scan begins, how the
// tool bar is laid out, which menu entries a level may see, captions, the
// wheel on the display boxes and the command lines
// of the programs the menus start.

#include <QRect>
#include <QString>
#include <QStringList>

#include <vector>

namespace qvt {

// ---- the Scan button's start rule ----------------------------------------------------

// Who pressed Scan: the operator (or an image pop-up, the command server),
// the program itself at start-up, or the script thread with its line budget.
enum class TScanSender { User, Application, Script };

struct TScanStart {
    int CurrentLine = 1;
    int Direction = 1;
    int LinesLeft = 0;
};

// Beyond the last line with "cont. on restart": back down from the last
// line. At or before line 0, or not continuing: from line 1 upward.
// Otherwise the scan goes on where it stopped. Only a script keeps its
// line budget; anyone else scans without one.
TScanStart PlanScanStart(int currentLine, int pixels, int direction, bool contOnRestart, int linesLeft,
                         TScanSender sender);

// ---- tool bar ------------------------------------------------------------------------------

struct TToolbarMetrics {
    int Size; // button width and height
    int Gap;
};
// 35/4 on a touch screen, else 25/2 (pixels at 96 dpi).
TToolbarMetrics ToolbarMetrics(bool touchScreen);
// Extra room that separates two groups of controls, beyond the gap.
constexpr int ToolbarGroupSpace = 8;

struct TToolbarControl {
    QString Name;
    bool Visible = true;
    int Width = 0;            // 0: a button, Size wide
    bool GroupEnd = false;    // a group ends after this control
    bool SpaceBefore = false; // set apart from what precedes it
};

struct TToolbarLayout {
    std::vector<QRect> Places; // one per control; empty for a hidden one
    int Height = 0;            // of the panel
    int Rows = 1;
};

// Left to right from x = gap, each control at the top of its row; a hidden
// control takes no room; a control that would pass `panelWidth` starts a new
// row. Group separations collapse at a row start and do not add up.
TToolbarLayout ArrangeToolbar(const std::vector<TToolbarControl>& controls, int panelWidth, bool touchScreen);

// ---- menus by administrator level --------------------------------------------------

enum TAdminLevel : int { LevelUser = 0, LevelAdmin = 1, LevelSetup = 2 };

struct TMenuVisibility {
    bool ImageCommands =
        false; // Close, Save, Save As, Cascade, Tile, Arrange Icons, Minimize All, SaveButton (enabled)
    bool Scale = false;
    bool Feedback = false;
    bool AutoOffset = false;
    bool Misc = false;
    bool Joystick = false;
    bool ScaleADDA = false;
    bool EditIni = false;
    bool TeachButton = false;
};

TMenuVisibility MenuVisibility(int level, int feedbackMode, bool hasImage);

// What "Make me .." leads to: -1 asks for the password (from level 0),
// else the new level (1 → 0, 2 → 1).
int LevelAfterAdminItemClick(int level);
QString AdminItemCaption(int level);

// ---- captions and display boxes -----------------------------------------------------

// `text`, or `text` + two blanks + the first number 1, 2, ... that no caption
// in `existing` carries.
QString UniqueCaption(const QString& text, const QStringList& existing);

// The wheel on the offset or range box: delta × range × 1e-4 (1e-3 with
// Shift) is added to `value`. A range is taken only when it stays above 0.
struct TWheelResult {
    double Value = 0.0;
    bool Apply = false;
};
TWheelResult WheelValue(double value, int delta, double manualRange, bool shift, bool isRange);
// A range typed into the range box: only a positive value keeps the contrast
// the right way round.
bool AcceptableManualRange(double value);

// ---- programs the menus start -----------------------------------------------------

struct TLaunchCommand {
    QString Program;
    QStringList Arguments;
    QString WorkingDirectory = ".";
    bool IdlePriority = true;
};

// The viewer for the last parameter file: [Tools] Present as the program
// (its own arguments split off without a shell), then the file as one
// argument. Unset, "." or a Windows program: the desktop's opener.
TLaunchCommand PresentCommand(const QString& presentSetting, const QString& saveDirectory, const QString& lastFile);
// The editor for the settings file: [Tools] Editor, unless unset or a
// Windows program, then `environmentEditor` ($EDITOR), else the desktop's opener.
TLaunchCommand EditorCommand(const QString& editorSetting, const QString& file, const QString& environmentEditor);

// ---- window position ----------------------------------------------------------------------

// The width cut so the window does not pass the desktop's right edge, at least 100.
int RestoredFormWidth(int left, int width, int desktopWidth);

} // namespace qvt
