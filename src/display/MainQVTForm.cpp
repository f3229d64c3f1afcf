#include "display/MainQVTForm.h"

#include "core/IniFile.h"
#include "core/SharedState.h"
#include "core/Startup.h"
#include "platform/MessageBoxes.h"

#include <QFileInfo>
#include <QMdiArea>

namespace qvt {

TMainQVTForm* MainQVTForm = nullptr;

TMainQVTForm::TMainQVTForm(QWidget* parent) : QMainWindow(parent)
{
    setObjectName("MainQVTForm");
    setWindowTitle("QVT");
    mdiArea_ = new QMdiArea(this);
    setCentralWidget(mdiArea_);
    resize(1024, 700);
    MainQVTForm = this;
}

TMainQVTForm::~TMainQVTForm()
{
    if (MainIni == mainIni_.get())
        MainIni = nullptr;
    if (UserIni == userIni_.get())
        UserIni = nullptr;
    if (MainQVTForm == this)
        MainQVTForm = nullptr;
}

bool TMainQVTForm::LoadIniFiles(const QString& baseName)
{
    const QString path = ResolveSettingsFile(AppDir, baseName);
    if (path.isEmpty()) {
        ShowMessage(MsgKind::Information, "File " + AppDir + "ini/" + baseName + ".ini" + " not found!" + "\r" +
                                              "Please check start parameter and *.ini file!");
        return false;
    }
    mainIni_ = std::make_unique<TQVTIniFile>(path);
    MainIni = mainIni_.get();
    setWindowTitle("QVT " + baseName);
    iniFileName_ = baseName + ".ini";

    const QString userPath = AppDir + MainIni->ReadString("Main", "UserIni", "user") + ".ini";
    if (!QFileInfo(userPath).isFile())
        ShowMessage(MsgKind::Information, "File " + userPath + " not found!" + "\r" + "Please check *.ini file!");
    // Created all the same: it is written on first use.
    userIni_ = std::make_unique<TQVTIniFile>(userPath);
    UserIni = userIni_.get();
    LoadSharedStateSettings(*MainIni);
    return true;
}

void TMainQVTForm::WMRestore()
{
    if (isMinimized() || !isVisible())
        showNormal();
    raise();
    activateWindow();
}

} // namespace qvt
