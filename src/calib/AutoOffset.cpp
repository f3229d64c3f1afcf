#include "calib/AutoOffset.h"

#include "core/NumberText.h"
#include "device/ChannelTable.h"

#include <cmath>

namespace qvt {

int32_t ProposedOffset(int32_t averageReading, bool invers)
{
    // Negating INT32_MIN would overflow; no real reading gets there.
    if (averageReading == INT32_MIN)
        return invers ? averageReading : INT32_MAX;
    return invers ? averageReading : -averageReading;
}

QString OffsetText(double raw, const TIOScale& scale)
{
    return FixedPointText(raw * scale.Factor.load(), 6, 3);
}

TOffsetUse ParseOffsetText(const QString& text, const TIOScale& scale)
{
    TOffsetUse use;
    double value = 0.0;
    const double factor = scale.Factor.load();
    if (!ParseNumber(text, value) || factor == 0.0)
        return use;
    const double raw = Round(value / factor);
    if (!std::isfinite(raw) || raw < INT32_MIN || raw > INT32_MAX)
        return use;
    use.Stored = true;
    use.Value = value;
    use.Raw = static_cast<int32_t>(raw);
    return use;
}

} // namespace qvt
