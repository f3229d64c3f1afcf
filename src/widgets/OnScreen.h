#pragma once
// Windows open where their settings place them; settings written on a larger
// desktop (or the bundled ones on a small screen) would put a window partly
// or wholly off the screen, where the operator cannot reach it.

#include <QObject>
#include <QRect>

namespace qvt {

// The frame moved onto `available` as far as it fits; a frame larger than
// the screen keeps its left and top edges on it (title bar reachable).
QRect RectOnScreen(const QRect& frame, const QRect& available);

// Installed on the application: every top-level window that is shown is
// moved onto the work area of the screen it opens on (or the primary one).
// The move is the screen's, not the operator's: the window's stored place is
// not overwritten with it (TQVTIniFile::NoteScreenMadePlace).
class TKeepOnScreen : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};

} // namespace qvt
