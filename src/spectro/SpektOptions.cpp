#include "spectro/SpektOptions.h"

#include <algorithm>

namespace qvt {

namespace {
std::optional<int> Integer(const QString& text)
{
    bool ok = false;
    const int v = text.trimmed().toInt(&ok);
    return ok ? std::optional<int>(v) : std::nullopt;
}
} // namespace

std::optional<int> SpektCycleCount(const QString& text)
{
    const std::optional<int> v = Integer(text);
    return v ? std::optional<int>(std::clamp(*v, 1, 15)) : std::nullopt;
}

std::optional<int> SpektPointCount(const QString& text)
{
    const std::optional<int> v = Integer(text);
    if (!v || *v < 5 || *v >= 1024)
        return std::nullopt;
    return v;
}

std::optional<int> SpektAverageCount(const QString& text)
{
    const std::optional<int> v = Integer(text);
    if (!v)
        return std::nullopt;
    return *v == 0 ? 1 : *v;
}

QString SpektAverageText(int count)
{
    return count <= 0 ? QString("inf.") : QString::number(count);
}

TSpektCycleChoice SpektCycleChoice(double cycle)
{
    if (cycle < 0.0)
        return TSpektCycleChoice::Ramp;
    if (cycle > 1.0)
        return TSpektCycleChoice::N;
    return cycle == 0.5 ? TSpektCycleChoice::Half : TSpektCycleChoice::Full;
}

int SpektColourBand(int x)
{
    if (x >= 26 && x <= 36)
        return 0;
    if (x >= 37 && x <= 48)
        return 1;
    if (x >= 49 && x <= 60)
        return 2;
    if (x >= 61 && x <= 73)
        return 3;
    return -1;
}

} // namespace qvt
