#include "mainwindow/MainGlyphs.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include <cmath>
#include <functional>
#include <map>

namespace qvt {

namespace {

constexpr int GlyphSize = 32;
const QColor Ink(40, 40, 40);
const QColor Accent(0, 90, 170);

using Painter = std::function<void(QPainter&)>;

QPen Stroke(const QColor& color, double width = 2.5)
{
    return QPen(color, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

void Wave(QPainter& p, const QRectF& r, double periods, double amplitude)
{
    QPainterPath path;
    for (int i = 0; i <= 40; ++i) {
        const double t = i / 40.0;
        const QPointF pt(r.left() + t * r.width(),
                         r.center().y() - amplitude * std::sin(t * periods * 2 * M_PI) * r.height() / 2);
        if (i == 0)
            path.moveTo(pt);
        else
            path.lineTo(pt);
    }
    p.drawPath(path);
}

void Arrow(QPainter& p, QPointF from, QPointF to)
{
    p.drawLine(from, to);
    const QPointF d = to - from;
    const double len = std::hypot(d.x(), d.y());
    if (len <= 0)
        return;
    const QPointF u = d / len;
    const QPointF n(-u.y(), u.x());
    p.drawLine(to, to - u * 6 + n * 5);
    p.drawLine(to, to - u * 6 - n * 5);
}

const std::map<QString, Painter>& Painters()
{
    static const std::map<QString, Painter> painters = {
        {"ExitButton",
         [](QPainter& p) {
             p.setPen(Stroke(Ink, 2));
             p.drawRect(QRectF(5, 4, 14, 24));
             p.setPen(Stroke(QColor(190, 30, 30)));
             Arrow(p, {14, 16}, {28, 16});
         }},
        {"SpectButton",
         [](QPainter& p) {
             p.setPen(Stroke(Ink, 1.5));
             Arrow(p, {4, 28}, {4, 4});
             Arrow(p, {4, 28}, {29, 28});
             QPainterPath curve;
             curve.moveTo(6, 25);
             curve.cubicTo(16, 25, 22, 20, 27, 6);
             p.setPen(Stroke(Accent));
             p.drawPath(curve);
         }},
        {"CoarseButton",
         [](QPainter& p) {
             p.setPen(Stroke(Ink));
             Arrow(p, {16, 16}, {16, 3});
             Arrow(p, {16, 16}, {16, 29});
             p.setPen(Stroke(Accent, 3));
             p.drawLine(QPointF(8, 16), QPointF(24, 16));
         }},
        {"Crosshairsbutton",
         [](QPainter& p) {
             p.setPen(Stroke(Ink, 2));
             p.drawEllipse(QPointF(16, 16), 9, 9);
             p.drawLine(QPointF(16, 2), QPointF(16, 30));
             p.drawLine(QPointF(2, 16), QPointF(30, 16));
         }},
        {"dncButton",
         [](QPainter& p) {
             p.setPen(Stroke(Accent));
             Wave(p, QRectF(3, 6, 26, 20), 2, 0.9);
         }},
        {"SelButton",
         [](QPainter& p) {
             QPen pen = Stroke(Ink, 2);
             pen.setStyle(Qt::DashLine);
             pen.setCapStyle(Qt::FlatCap);
             p.setPen(pen);
             p.drawRect(QRectF(5, 7, 22, 18));
         }},
        {"Oszi2Button",
         [](QPainter& p) {
             p.setPen(Stroke(Ink, 2));
             p.setBrush(QColor(20, 60, 20));
             p.drawRoundedRect(QRectF(3, 5, 26, 22), 3, 3);
             p.setPen(Stroke(QColor(90, 240, 90), 2));
             Wave(p, QRectF(6, 9, 20, 14), 1.5, 0.8);
         }},
        {"SlidButton",
         [](QPainter& p) {
             p.setPen(Stroke(Ink, 2));
             p.drawLine(QPointF(4, 16), QPointF(28, 16));
             p.setBrush(Accent);
             p.drawRect(QRectF(16, 9, 6, 14));
         }},
        {"LockinButton",
         [](QPainter& p) {
             p.setPen(Stroke(Accent, 2));
             Wave(p, QRectF(3, 4, 26, 12), 2, 0.9);
             p.setPen(Ink);
             QFont f = p.font();
             f.setPixelSize(13);
             f.setBold(true);
             p.setFont(f);
             p.drawText(QRectF(0, 16, 32, 16), Qt::AlignCenter, "LI");
         }},
        {"FastSpeedButton",
         [](QPainter& p) {
             p.setPen(Qt::NoPen);
             p.setBrush(QColor(200, 120, 0));
             p.drawPolygon(QPolygonF({QPointF(4, 6), QPointF(16, 16), QPointF(4, 26)}));
             p.drawPolygon(QPolygonF({QPointF(16, 6), QPointF(28, 16), QPointF(16, 26)}));
         }},
        {"Scan2D",
         [](QPainter& p) {
             p.setPen(Stroke(Accent, 1.8));
             for (int i = 0; i < 6; ++i)
                 p.drawLine(QPointF(5, 5 + i * 4.4), QPointF(27, 5 + i * 4.4));
             p.setPen(Stroke(Ink, 1.2));
             p.drawRect(QRectF(3, 3, 26, 26));
         }},
        {"Scan1D",
         [](QPainter& p) {
             p.setPen(Stroke(Accent, 3));
             p.drawLine(QPointF(5, 16), QPointF(27, 16));
             p.setPen(Stroke(Ink, 1.2));
             p.drawRect(QRectF(3, 3, 26, 26));
         }},
        {"RepeatButton",
         [](QPainter& p) {
             p.setPen(Stroke(Accent));
             p.drawArc(QRectF(6, 6, 20, 20), 30 * 16, 300 * 16);
             p.setPen(Qt::NoPen);
             p.setBrush(Accent);
             p.drawPolygon(QPolygonF({QPointF(22, 4), QPointF(29, 11), QPointF(21, 13)}));
         }},
        {"SaveButton",
         [](QPainter& p) {
             p.setPen(Stroke(Ink, 1.5));
             p.setBrush(Accent);
             p.drawRect(QRectF(5, 5, 22, 22));
             p.setBrush(Qt::white);
             p.drawRect(QRectF(10, 5, 12, 8));
             p.drawRect(QRectF(9, 18, 14, 9));
         }},
        {"CameraButton",
         [](QPainter& p) {
             p.setPen(Stroke(Ink, 1.5));
             p.setBrush(QColor(120, 120, 120));
             p.drawRoundedRect(QRectF(3, 10, 26, 17), 3, 3);
             p.drawRect(QRectF(10, 6, 9, 4));
             p.setBrush(QColor(200, 220, 255));
             p.drawEllipse(QPointF(16, 18.5), 5.5, 5.5);
         }},
    };
    return painters;
}

} // namespace

QIcon ToolGlyph(const QString& name)
{
    const auto it = Painters().find(name);
    if (it == Painters().end())
        return {};
    QPixmap pixmap(GlyphSize, GlyphSize);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    it->second(painter);
    painter.end();
    return QIcon(pixmap);
}

} // namespace qvt
