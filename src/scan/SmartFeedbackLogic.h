#pragma once
// The high-speed module's register pages and the rules of its settings
// window: the start-up sequence, the control word of the four switches, the
// write-on-edit rule of the grids and the filter word files.

#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

namespace qvt {

struct TRegisterPage {
    const char* Caption;
    int Base;
    int Rows;
    bool Refreshed; // re-read every tick
    // Highest row Enter may write (the display-only pages stop below 16).
    int WritableRows;
};
constexpr int RegisterPageCount = 6;
extern const std::array<TRegisterPage, RegisterPageCount> RegisterPages;
// Label of row `row` of page `page` (empty where the page leaves it blank).
QString RegisterRowLabel(int page, int row);

// The module's registers written at start, in order.
std::vector<std::pair<int32_t, int32_t>> ModuleInitWrites();

// DMA + 2·feedback + 4·scan + 0x100·mono Z + the apply request.
int32_t HighSpeedControlWord(bool dma, bool feedback, bool scan, bool monoZ);

// Enter in a grid cell: the register and value to write, or false when the
// row is not marked, not writable, or the text is no integer.
bool GridCommit(int page, int editedRow, const QString& text, int32_t& reg, int32_t& value);

constexpr int32_t FilterPassWord = 2147483000;
constexpr int32_t FilterWordsXBase = 401;
constexpr int32_t FilterWordsYBase = 417;

// One step of loading a filter word file.
struct TFilterLoadStep {
    enum Kind { Write, DelayUs, Control } What = Write;
    int32_t Register = 0;
    int32_t Value = 0;
};
struct TFilterLoadPlan {
    std::vector<TFilterLoadStep> Steps;
    std::vector<std::pair<int, int32_t>> Shown; // (word index k, word) for the grid
    int ErrorLine = -1;                         // 0-based line that stopped the load
    QString Message;                            // shown when ErrorLine >= 0
};
// `control` is HighSpeedControl before the load; while the scan bit is set
// the filter is emptied first and the scan switched off, and afterwards the
// previous control word comes back.
TFilterLoadPlan PlanFilterLoad(const QStringList& lines, int32_t base, int32_t control);

} // namespace qvt
