#include "images/ScaleTable.h"

#include "core/NumberText.h"
#include "device/ChannelTable.h"

#include <cmath>

namespace qvt {

const std::array<TScaleCell, 10> ScaleCells = {{
    {"Edit0", 38, 25, true, ScaleCellKind::Text},
    {"CheckBoxFast", 72, 17, true, ScaleCellKind::CheckReload},
    {"CheckBox1", 100, 17, false, ScaleCellKind::Check},
    {"Label2", 128, 58, false, ScaleCellKind::Label},
    {"Edit1", 192, 25, false, ScaleCellKind::Text},
    {"Edit2", 232, 50, false, ScaleCellKind::Number},
    {"Edit3", 296, 50, false, ScaleCellKind::Number},
    {"Edit4", 360, 50, false, ScaleCellKind::Number},
    {"Edit5", 424, 50, false, ScaleCellKind::Number},
    {"CheckBox2", 504, 17, false, ScaleCellKind::CheckReload},
}};

int ScaleRowY(int row)
{
    return 7 + 23 * row + (row >= FirstAdcSlot ? 13 : 0);
}

QString ScaleRowCaption(int row)
{
    return row < FirstAdcSlot ? "OUT" + QString::number(row) : "IN" + QString::number(row - FirstAdcSlot);
}

QString ScaleCellKey(int row, const char* suffix)
{
    return ChannelName(row) + QLatin1String(suffix);
}

QString ScaleNumberText(const TIOScale& scale, const QString& suffix)
{
    const double factor = scale.Factor.load();
    if (suffix == "Edit2")
        return GeneralText(scale.FactorNegative.load() ? -factor : factor, 6);
    if (suffix == "Edit3")
        return GeneralText(scale.MinRaw.load(), 6);
    if (suffix == "Edit4")
        return GeneralText(scale.MaxRaw.load(), 6);
    if (suffix == "Edit5")
        return GeneralText(scale.Offset.load() * factor, 6);
    return {};
}

bool ScaleNumberToStore(const QString& typed, QString& stored, const QString& suffix)
{
    double value = 0.0;
    // The table keeps single precision: a number beyond it is no number here.
    if (!ParseNumber(typed, value) || !std::isfinite(static_cast<float>(value)))
        return false;
    if (suffix == QLatin1String("Edit2") && static_cast<float>(value) == 0.0f)
        return false;
    stored = GeneralText(static_cast<float>(value), 7);
    return true;
}

QString ScaleWidestNumberText()
{
    // Sign, six digits and the point, and a signed two-digit exponent: the most
    // a single-precision value takes.
    return GeneralText(-8.88888e-38, 6);
}

} // namespace qvt
