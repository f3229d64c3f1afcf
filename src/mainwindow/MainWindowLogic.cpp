#include "mainwindow/MainWindowLogic.h"

#include "core/SharedState.h"

#include <QProcess>

#include <algorithm>

namespace qvt {

// ---- the Scan button's start rule ----------------------------------------------------

TScanStart PlanScanStart(int currentLine, int pixels, int direction, bool contOnRestart, int linesLeft,
                         TScanSender sender)
{
    TScanStart start{currentLine, direction, sender == TScanSender::Script ? linesLeft : 0};
    if (currentLine > pixels && contOnRestart) {
        start.Direction = -1;
        start.CurrentLine = pixels;
    } else if (currentLine <= 0 || !contOnRestart) {
        start.Direction = 1;
        start.CurrentLine = 1;
    }
    return start;
}

// ---- tool bar ------------------------------------------------------------------------------

TToolbarMetrics ToolbarMetrics(bool touchScreen)
{
    return touchScreen ? TToolbarMetrics{35, 4} : TToolbarMetrics{25, 2};
}

TToolbarLayout ArrangeToolbar(const std::vector<TToolbarControl>& controls, int panelWidth, bool touchScreen)
{
    const auto [s, g] = ToolbarMetrics(touchScreen);
    TToolbarLayout layout;
    layout.Places.resize(controls.size());
    layout.Height = 2 * g + s;
    int x = g;
    int top = g;
    bool pendingSpace = false;
    for (size_t i = 0; i < controls.size(); ++i) {
        const TToolbarControl& c = controls[i];
        pendingSpace = pendingSpace || c.SpaceBefore;
        if (c.Visible) {
            const int w = c.Width > 0 ? c.Width : s;
            const bool rowStart = x == g;
            if (pendingSpace && !rowStart)
                x += ToolbarGroupSpace + g;
            pendingSpace = false;
            if (!rowStart && x + w > panelWidth) {
                x = g;
                top += s + g;
                layout.Height += s + g;
                ++layout.Rows;
            }
            layout.Places[i] = QRect(x, top, w, s);
            x += w + g;
        }
        if (c.GroupEnd)
            pendingSpace = true;
    }
    return layout;
}

// ---- menus by administrator level --------------------------------------------------

TMenuVisibility MenuVisibility(int level, int feedbackMode, bool hasImage)
{
    TMenuVisibility v;
    v.ImageCommands = hasImage;
    const bool admin = level == LevelAdmin || level == LevelSetup;
    v.Scale = v.Feedback = v.Misc = v.Joystick = admin;
    // An operator may zero the input offset only while no force mode holds the tip.
    v.AutoOffset = admin || feedbackMode < FeedbackCmAFM;
    v.ScaleADDA = v.EditIni = v.TeachButton = level == LevelSetup;
    return v;
}

int LevelAfterAdminItemClick(int level)
{
    switch (level) {
    case LevelAdmin:
        return LevelUser;
    case LevelSetup:
        return LevelAdmin;
    default:
        return -1;
    }
}

QString AdminItemCaption(int level)
{
    return level == LevelAdmin ? QStringLiteral("Make me User") : QStringLiteral("Make me Admin");
}

// ---- captions and display boxes -----------------------------------------------------

QString UniqueCaption(const QString& text, const QStringList& existing)
{
    if (!existing.contains(text))
        return text;
    for (int n = 1;; ++n) {
        const QString candidate = text + "  " + QString::number(n);
        if (!existing.contains(candidate))
            return candidate;
    }
}

TWheelResult WheelValue(double value, int delta, double manualRange, bool shift, bool isRange)
{
    TWheelResult r;
    r.Value = value + delta * manualRange * (shift ? 1e-3 : 1e-4);
    r.Apply = !isRange || AcceptableManualRange(r.Value);
    return r;
}

bool AcceptableManualRange(double value)
{
    return value > 0.0;
}

// ---- programs the menus start -----------------------------------------------------

namespace {

constexpr const char* DesktopOpener = "xdg-open";

// The program and its own arguments of a setting, or empty when the setting
// names no program this system can run.
QStringList LinuxCommand(const QString& setting)
{
    const QString trimmed = setting.trimmed();
    if (trimmed.isEmpty() || trimmed == ".")
        return {};
    QStringList parts = QProcess::splitCommand(trimmed);
    if (parts.isEmpty() || parts.first().endsWith(".exe", Qt::CaseInsensitive))
        return {};
    return parts;
}

TLaunchCommand FromParts(QStringList parts, const QString& file)
{
    TLaunchCommand c;
    c.Program = parts.takeFirst();
    c.Arguments = parts;
    c.Arguments << file;
    return c;
}

} // namespace

TLaunchCommand PresentCommand(const QString& presentSetting, const QString& saveDirectory, const QString& lastFile)
{
    QString dir = saveDirectory;
    if (!dir.endsWith('/'))
        dir += '/';
    const QString file = dir + lastFile + ".txt";
    QStringList parts = LinuxCommand(presentSetting);
    if (parts.isEmpty())
        parts = {DesktopOpener};
    return FromParts(parts, file);
}

TLaunchCommand EditorCommand(const QString& editorSetting, const QString& file, const QString& environmentEditor)
{
    QStringList parts = LinuxCommand(editorSetting);
    if (parts.isEmpty())
        parts = LinuxCommand(environmentEditor);
    if (parts.isEmpty())
        parts = {DesktopOpener};
    return FromParts(parts, file);
}

// ---- window position ----------------------------------------------------------------------

int RestoredFormWidth(int left, int width, int desktopWidth)
{
    if (desktopWidth > 0 && left + width > desktopWidth)
        width = desktopWidth - left;
    return std::max(width, 100);
}

} // namespace qvt
