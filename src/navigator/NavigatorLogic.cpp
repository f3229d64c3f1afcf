#include "navigator/NavigatorLogic.h"

#include "device/ChannelTable.h"
#include "core/NumberText.h"

#include <QDir>
#include <QFileInfo>

#include <cmath>
#include <cstdlib>

namespace qvt {

TPosition PixelToPosition(const TImageFrame& f, double px, double py, int w, int h)
{
    const double u = px / w * f.Range - f.Range / 2.0;
    const double v = py / h * f.Range - f.Range / 2.0;
    const double c = std::cos(f.Angle);
    const double s = std::sin(f.Angle);
    const TPosition p{f.XCenter + u * c + v * s, f.YCenter + u * s - v * c};
    if (!std::isfinite(p.X) || !std::isfinite(p.Y))
        return {};
    return p;
}

TPosition FractionToPosition(const TImageFrame& frame, double fx, double fy, int w, int h)
{
    return PixelToPosition(frame, Round(w * fx), Round(h * fy), w, h);
}

bool PositionToPixelF(const TImageFrame& f, double x, double y, double& px, double& py, int w, int h)
{
    px = 0.0;
    py = 0.0;
    if (f.Range == 0.0)
        return false;
    // The pixel-to-position matrix is its own inverse.
    const double c = std::cos(f.Angle);
    const double s = std::sin(f.Angle);
    const double u = (x - f.XCenter) * c + (y - f.YCenter) * s;
    const double v = (x - f.XCenter) * s - (y - f.YCenter) * c;
    const double rx = (u + f.Range / 2.0) * w / f.Range;
    const double ry = (v + f.Range / 2.0) * h / f.Range;
    if (std::isfinite(rx) && std::isfinite(ry)) {
        px = rx;
        py = ry;
    }
    return true;
}

bool PositionToPixel(const TImageFrame& frame, double x, double y, int& px, int& py, int w, int h)
{
    double fx = 0.0;
    double fy = 0.0;
    px = 0;
    py = 0;
    if (!PositionToPixelF(frame, x, y, fx, fy, w, h))
        return false;
    // Far outside any image: no pixel to give.
    if (std::fabs(fx) < 1e9 && std::fabs(fy) < 1e9) {
        px = static_cast<int>(Round(fx));
        py = static_cast<int>(Round(fy));
    }
    return true;
}

TImageFrame ScannerFieldFrame(double maxRange, const TIOScale& x, const TIOScale& y)
{
    TImageFrame f;
    f.Range = maxRange;
    // The middle of each output's span, in its physical unit.
    auto middle = [](const TIOScale& s) {
        const double m = (double(s.MaxRaw.load()) + double(s.MinRaw.load())) / 2.0 * double(s.Factor.load());
        return std::isfinite(m) ? m : 0.0;
    };
    f.XCenter = middle(x);
    f.YCenter = middle(y);
    return f;
}

QString NavigatorRangeText(double range)
{
    return FixedPointText(range, 5, 3);
}

QString NavigatorValueText(double value)
{
    return FixedPointText(value, 6, 3);
}

QString FullZoomCaption(double range)
{
    return "Zoom 100 % | " + NavigatorRangeText(range);
}

double ZoomRange(int halfSide, double range, int w)
{
    return 2.0 * halfSide / w * range;
}

QString ZoomCaption(int halfSide, double range, int w)
{
    if (halfSide == 0)
        return "Zoom ?";
    const auto percent = static_cast<long long>(Round(w * 0.5 / halfSide * 100.0));
    return "Zoom " + QString::number(percent) + " % | " + NavigatorRangeText(ZoomRange(halfSide, range, w));
}

TZoomSquare ZoomSquare(int pressX, int pressY, int x, int y)
{
    TZoomSquare q;
    q.HalfSide = std::max(std::abs(x - pressX), std::abs(y - pressY));
    q.X0 = pressX - q.HalfSide;
    q.Y0 = pressY - q.HalfSide;
    q.X1 = pressX + q.HalfSide;
    q.Y1 = pressY + q.HalfSide;
    return q;
}

TJoyVector RotateJoystick(double angle, double dx, double dy)
{
    // Image right is (cos, sin), image up is (-sin, cos) in the scanner's
    // axes, as PixelToPosition has them.
    const double c = std::cos(angle);
    const double s = std::sin(angle);
    return {static_cast<int32_t>(Round(dx * c - dy * s)), static_cast<int32_t>(Round(dx * s + dy * c))};
}

QString RecordedPositionLine(const QTime& time, double x, double y, double z, int n, const double* aux)
{
    // Positions as the tree shows them; the AUX reading as a channel value.
    QString line = time.toString("hh:mm:ss") + '\t' + NavigatorValueText(x) + '\t' + NavigatorValueText(y) + '\t' +
                   NavigatorValueText(z) + '\t' + QString::number(n);
    if (aux != nullptr)
        line += '\t' + GeneralText(*aux, 7);
    return line;
}

TRunStopAction RunStopAction(bool running, bool threadActive)
{
    if (running)
        return threadActive ? TRunStopAction::Stop : TRunStopAction::Hanging;
    return threadActive ? TRunStopAction::AlreadyWorking : TRunStopAction::Start;
}

QString StartScriptProblem(const QString& path, const QString& name, const QString& appDir)
{
    if ((path + name).isEmpty())
        return "No Script defined!";
    if (name.isEmpty() || !QFileInfo(QDir(path).filePath(name)).isFile())
        return "Script not found!";
    if (!QFileInfo(appDir + "data").isDir())
        return "Directory \"./Data\" not found!";
    return {};
}

QString DefaultScriptFolder(const QString& appDir)
{
    // The bundled scripts' folder beside the program.
    return appDir + "scripts";
}

} // namespace qvt
