#include "core/SharedState.h"

#include "core/IniFile.h"

namespace qvt {

QString AppDir;
QString DeviceDriverName;
TQVTIniFile* MainIni = nullptr;
TQVTIniFile* UserIni = nullptr;

TScanParams ScanParams;
TMicroscopeState MicroscopeState;
TLockInState LockInState;
TMultiLockInParams MultiLockInParams;
TOsziRequest OsziRequest;
std::array<TOsziBuffer, 4> OsziBuffers{};
std::atomic<bool> AbortFlag{false};
std::atomic<int32_t> AverageCount{1};
std::atomic<bool> MultiLockInPresent{false};
QString SpektModeName = "trash"; // until a kind is made current
TCantileverParams CantileverParams;
TMaxScanRange MaxScanRange;
std::atomic<int32_t> OsziFlags{0};
float OsziSampleTime = 1.0f / 39062.5f;
std::array<int32_t, 4> OsziChannels{};
int32_t DncScopePeriod = 2;
std::array<int32_t, 4> DncScopeChannels{};

const std::array<TFeedbackModeInfo, FeedbackModeCount> FeedbackModeTable = {{
    {FeedbackNone, "Off", ""},
    {FeedbackSTM, "STM general", "STM"},
    {FeedbackSTM1, "STM supp. Ic", "STM1"},
    {FeedbackSTM2, "STM adapt. Ki&Kp", "STM2"},
    {FeedbackCmAFM, "AFM contact mode", "cmAFM"},
    {FeedbackNcAFMR, "AFM amplitude R", "ncAFM R"},
    {FeedbackNcAFMX, "AFM amplitude X", "ncAFM X"},
    {FeedbackNcAFMPLL, "AFM PLL", "ncAFM+PLL"},
}};

double RunningMean(double oldMean, double value, int32_t n)
{
    if (n <= 0)
        n = 1;
    return oldMean * (1.0 - 1.0 / n) + value / n;
}

void LoadSharedStateSettings(const TQVTIniFile& mainIni)
{
    ScanParams.OverScan = mainIni.ReadFloat("ScanPara", "OverScan", 5.0);
    CantileverParams.SpringConstant = mainIni.ReadFloat("Microscope", "SpringConstant", 1.0);
    CantileverParams.CantileverScaleNCAFM = mainIni.ReadFloat("Microscope", "CantileverScaleNCAFM", 1.0);
    CantileverParams.CantileverScaleCMAFM = mainIni.ReadFloat("Microscope", "CantileverScaleCMAFM", 1.0);
}

} // namespace qvt
