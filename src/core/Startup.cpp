#include "core/Startup.h"

#include "core/IniFile.h"
#include "core/SharedState.h"

#include <QFileInfo>

namespace qvt {

QString SettingsBaseName(const QStringList& arguments)
{
    return arguments.size() > 1 && !arguments.at(1).isEmpty() ? arguments.at(1) : QString("qvt");
}

QString ResolveSettingsFile(const QString& appDir, const QString& baseName)
{
    const QString candidates[] = {
        appDir + baseName + ".ini",
        appDir + "ini/" + baseName + ".ini",
        appDir + "ini/qvt.ini",
    };
    // A pipe or a device in a settings file's place is taken too: reading
    // it then tells the operator what it is, where "not found" would mislead.
    for (const QString& path : candidates) {
        const QFileInfo info(path);
        if (info.exists() && !info.isDir())
            return path;
    }
    return {};
}

void LoadDriverName(const QString& appDir, const QStringList& arguments)
{
    AppDir = appDir;
    DeviceDriverName.clear();
    const QString path = ResolveSettingsFile(appDir, SettingsBaseName(arguments));
    if (path.isEmpty())
        return; // the main window reports the missing file
    const TQVTIniFile ini(path);
    DeviceDriverName = ini.ReadString("Main", "DeviceDriverName", "QVT");
}

const std::array<TFormOrderEntry, 33> FormCreationOrder = {{
    {"TMainQVTForm", "MainQVTForm"},
    {"TInOutForm", "InOutForm"},
    {"TInOut2Form", "InOut2Form"},
    {"TScannerForm", "ScannerForm"},
    {"TSmartFeedbackForm", "SmartFeedbackForm"},
    {"TPowerDownForm", "PowerDownForm"},
    {"TScanParaForm", "ScanParaForm"},
    {"TLockinForm", "LockinForm"},
    {"TdncForm", "dncForm"},
    {"TLockInOptionForm", "LockInOptionForm"},
    {"THistoryBox", "HistoryBox"},
    {"TSetupForm", "SetupForm"},
    {"TSpektForm", "SpektForm"},
    {"TSpektOptionForm", "SpektOptionForm"},
    {"TfeedbackForm", "feedbackForm"},
    {"TOszi2Form", "Oszi2Form"},
    {"TMiscForm", "MiscForm"},
    {"TOszi2OptionForm", "Oszi2OptionForm"},
    {"TDDEForm", "DDEForm"},
    {"TMultiLockInForm", "MultiLockInForm"},
    {"TCoarseForm", "CoarseForm"},
    {"TCrosshairsForm", "CrosshairsForm"},
    {"TJoystickForm", "JoystickForm"},
    {"TSlidForm", "SlidForm"},
    {"TSelForm", "SelForm"},
    {"TLEDForm", "LEDForm"},
    {"TCameraForm", "CameraForm"},
    {"TMultiLockInOptionForm", "MultiLockInOptionForm"},
    {"TCrosshairsOptionForm", "CrosshairsOptionForm"},
    {"TScaleADDAForm", "ScaleADDAForm"},
    {"TA3DForm", "A3DForm"},
    {"TAboutQVTBox", "AboutQVTBox"},
    {"TMainFrameForm", "MainFrameForm"},
}};

int FormCreationIndex(const QString& className)
{
    for (size_t i = 0; i < FormCreationOrder.size(); ++i) {
        if (className == QLatin1String(FormCreationOrder[i].ClassName))
            return static_cast<int>(i);
    }
    return -1;
}

} // namespace qvt
