#include "scan/SmartFeedbackLogic.h"

#include "core/NumberText.h"
#include "core/SharedState.h"

#include <cmath>

namespace qvt {

const std::array<TRegisterPage, RegisterPageCount> RegisterPages = {{
    {"Feedback", 64, 22, true, 22},
    {"Scan", 128, 28, true, 28},
    {"Filter", 192, 22, true, 22},
    {"FilterX2", 400, 16, false, 16},
    {"FilterY2", 416, 16, false, 16},
    {"Slope", 384, 6, false, 6},
}};

QString RegisterRowLabel(int page, int row)
{
    static const char* const feedback[] = {"In",
                                           "Ref",
                                           "U0=(In-Ref)*16",
                                           "k0",
                                           "k1",
                                           "U0*k0   [16: 0]",
                                           "U0*k0   [33:17]",
                                           "U0*k0   [69:34]",
                                           "U0*k1  low",
                                           "U0*k1  mid",
                                           "U0*k1  high",
                                           "z low",
                                           "z mid",
                                           "z high",
                                           "must 0",
                                           "-1073741000",
                                           " 1073741000",
                                           "Zout",
                                           "Feedback Ch",
                                           "q0",
                                           "q1",
                                           "q2"};
    static const char* const scan[] = {
        "Pixel",      "dPixel",     "xStart",     "xSlow",      "xFast",     "xStepFast3", "xStepSlow2",
        "xStepSlow3", "xStepSlow",  "xStepFast",  "xStepFast2", "xSum",      "PixMax",     "1forSync",
        "",           "",           "Line",       "dLine",      "yStart",    "ySlow",      "yFast",
        "yStepFast3", "yStepSlow2", "yStepSlow3", "yStepSlow",  "yStepFast", "yStepFast2", "ySum"};
    static const char* const biquad[] = {"a0", "a1/2", "a2", "b0/2", "b1"};
    static const char* const slope[] = {"ax", "ax^2", "ay", "ay^2"};
    if (row < 0 || page < 0 || page >= RegisterPageCount || row >= RegisterPages[static_cast<size_t>(page)].Rows)
        return {};
    switch (page) {
    case 0:
        return QString::fromLatin1(feedback[row]);
    case 1:
        return QString::fromLatin1(scan[row]);
    case 2: {
        const QString axis = row < 11 ? "x" : "y";
        const int r = row % 11;
        return r == 0 ? axis + "In" : axis + biquad[(r - 1) % 5];
    }
    case 3:
    case 4:
        if (row >= 1 && row <= 10)
            return QString(page == 3 ? "x" : "y") + biquad[(row - 1) % 5];
        return {};
    default:
        return row < 4 ? QString::fromLatin1(slope[row]) : QString();
    }
}

std::vector<std::pair<int32_t, int32_t>> ModuleInitWrites()
{
    std::vector<std::pair<int32_t, int32_t>> w = {{78, 0}, {79, -1073741000}, {80, 1073741000}};
    for (int r = 0; r < RegisterPages[1].Rows; ++r)
        w.emplace_back(RegisterPages[1].Base + r, 0);
    w.insert(w.end(), {{192, 0}, {203, 0}, {79, -1073741820}, {80, 1073741820}, {140, 1073741820}, {141, 1}});
    return w;
}

int32_t HighSpeedControlWord(bool dma, bool feedback, bool scan, bool monoZ)
{
    return (dma ? HscDmaOn : 0) | (feedback ? HscFeedbackOn : 0) | (scan ? HscScanOn : 0) | (monoZ ? HscMonoZ : 0) |
           HscApplyRequest;
}

bool GridCommit(int page, int editedRow, const QString& text, int32_t& reg, int32_t& value)
{
    if (page < 0 || page >= RegisterPageCount)
        return false;
    const TRegisterPage& p = RegisterPages[static_cast<size_t>(page)];
    if (editedRow < 0 || editedRow >= p.Rows || editedRow >= p.WritableRows)
        return false;
    bool ok = false;
    const int32_t v = text.trimmed().toInt(&ok);
    if (!ok)
        return false;
    reg = p.Base + editedRow;
    value = v;
    return true;
}

TFilterLoadPlan PlanFilterLoad(const QStringList& lines, int32_t base, int32_t control)
{
    TFilterLoadPlan plan;
    auto write = [&plan](int32_t reg, int32_t value) { plan.Steps.push_back({TFilterLoadStep::Write, reg, value}); };
    int32_t now = control;
    if ((control & HscScanOn) != 0) {
        for (int k = 1; k <= 9; ++k)
            write(base + k, 0);
        plan.Steps.push_back({TFilterLoadStep::DelayUs, 0, 1000});
        now = (control & ~HscScanOn) | HscApplyRequest;
        plan.Steps.push_back({TFilterLoadStep::Control, 0, now});
    }
    int k = 0;
    for (; k < lines.size() && k < 10; ++k) {
        double v = 0;
        const bool number = ParseNumber(lines[k], v);
        const double r = number ? Round(v) : 0.0;
        if (!number || r > 2147483647.0 || r < -2147483648.0) {
            // Both biquads pass the signal unchanged.
            for (int j = 1; j <= 9; ++j)
                write(base + j, 0);
            write(base + 0, FilterPassWord);
            write(base + 5, FilterPassWord);
            plan.ErrorLine = k;
            plan.Message = QString("Error in file al line %1! Switch filter off.").arg(k);
            break;
        }
        const auto word = static_cast<int32_t>(r);
        write(base + k, word);
        plan.Shown.emplace_back(k, word);
    }
    if (plan.ErrorLine < 0 && k < 10) {
        // The second biquad passes the signal.
        for (int j = 6; j <= 9; ++j)
            write(base + j, 0);
        write(base + 5, FilterPassWord);
    }
    if (now != control)
        plan.Steps.push_back({TFilterLoadStep::Control, 0, control | HscApplyRequest});
    return plan;
}

} // namespace qvt
