#include "widgets/OnScreen.h"

#include "core/IniFile.h"

#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QTimer>
#include <QWidget>

#include <algorithm>

namespace qvt {

QRect RectOnScreen(const QRect& frame, const QRect& available)
{
    if (available.isEmpty())
        return frame;
    const auto fit = [](int pos, int size, int low, int span) {
        return size >= span ? low : std::clamp(pos, low, low + span - size);
    };
    QRect r = frame;
    r.moveTo(fit(frame.x(), frame.width(), available.x(), available.width()),
             fit(frame.y(), frame.height(), available.y(), available.height()));
    return r;
}

namespace {

void MoveOntoScreen(QWidget* w)
{
    const QRect frame = w->frameGeometry();
    QScreen* screen = QGuiApplication::screenAt(frame.center());
    if (screen == nullptr)
        screen = QGuiApplication::screenAt(frame.topLeft());
    if (screen == nullptr)
        screen = QGuiApplication::primaryScreen();
    if (screen == nullptr)
        return;
    const QRect placed = RectOnScreen(frame, screen->availableGeometry());
    if (placed.topLeft() == frame.topLeft())
        return;
    const QPoint from = w->pos();
    const QPoint to = from + (placed.topLeft() - frame.topLeft());
    // The window's settings keep the place the operator gave it.
    TQVTIniFile::NoteScreenMadePlace(true, from.x(), to.x());
    TQVTIniFile::NoteScreenMadePlace(false, from.y(), to.y());
    w->move(to);
}

} // namespace

bool TKeepOnScreen::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() != QEvent::Show || !watched->isWidgetType())
        return false;
    auto* w = static_cast<QWidget*>(watched);
    if (!w->isWindow() || (w->windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen)))
        return false;
    const Qt::WindowType type = w->windowType();
    if (type != Qt::Window && type != Qt::Dialog && type != Qt::Tool)
        return false;
    MoveOntoScreen(w);
    // Once more when its layout has given the window its final size.
    QTimer::singleShot(0, w, [w] {
        if (w->isVisible())
            MoveOntoScreen(w);
    });
    return false;
}

} // namespace qvt
