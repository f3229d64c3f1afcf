#include "sim/SimScope.h"

namespace qvt::sim {

void SimScope::SetOszi(const TSetOsziRecord& record, int32_t entryCount)
{
    oszi_ = record;
    usbEntries_ = entryCount;
}

void SimScope::SetFrequency(int32_t word, bool type29)
{
    // There the fine word stays below 2^31, so bit 31 marks the coarse one.
    if (type29 && (static_cast<uint32_t>(word) & 0x80000000u) != 0)
        lockIn_.FrequencyCoarse = word;
    else
        lockIn_.FrequencyWord = word;
}

bool SimScope::SetFilter(const TSetFilterRecord& record)
{
    if (record.Filter < 0 || record.Filter >= LockInFilters)
        return false;
    lockIn_.Filters[static_cast<size_t>(record.Filter)] = record;
    return true;
}

bool SimScope::SetMultiLia(const TSetMultiLiaRecord& record)
{
    if (record.Index < 0 || record.Index >= MultiLockIns)
        return false;
    lockIn_.MultiLia[static_cast<size_t>(record.Index)] = record;
    return true;
}

TDncStatusRecord SimScope::Status(int32_t amplitudeReading, int32_t phaseReading) const
{
    TDncStatusRecord s;
    s.Words[0] = amplitudeReading;
    s.Words[1] = phaseReading;
    s.Words[2] = 0;
    s.Words[3] = lockIn_.FrequencyWord;
    s.Words[4] = lockIn_.AmplitudeWord;
    s.Words[5] = lockIn_.PhaseWord;
    return s;
}

} // namespace qvt::sim
