#include "images/PaletteMenu.h"

#include "core/IniFile.h"
#include "core/SharedState.h"
#include "images/ColorPalette.h"
#include "platform/FileDialogs.h"
#include "platform/MessageBoxes.h"

#include <QAction>
#include <QFileInfo>
#include <QMenu>

#include <utility>

namespace qvt {

namespace {
// A "&" in a path would turn into a shortcut mark in the menu.
QString UserCaption(const QString& fileName)
{
    return "User--> " + QString(fileName).replace('&', "&&");
}
} // namespace

TPaletteChoice& TPaletteChoice::Instance()
{
    static TPaletteChoice choice;
    return choice;
}

void TPaletteChoice::FallBackToStandard()
{
    if (UserIni != nullptr)
        WriteStandardPaletteSetting(*UserIni);
    emit settingChanged();
}

TPaletteMenu::TPaletteMenu(QMenu* menu, std::function<void()> recolorImageWindows, QObject* parent)
    : QObject(parent), menu_(menu), recolorImageWindows_(std::move(recolorImageWindows))
{
    standard_ = menu->addAction("Standard");
    standard_->setObjectName("StandardPalette");
    standard_->setCheckable(true);
    user_ = menu->addAction("User...");
    user_->setObjectName("User1");
    user_->setCheckable(true);
    connect(standard_, &QAction::triggered, this, [this] { StandardPaletteClick(); });
    connect(user_, &QAction::triggered, this, [this] { User1Click(); });
    connect(&TPaletteChoice::Instance(), &TPaletteChoice::settingChanged, this, [this] { SyncFromSetting(); });
    SyncFromSetting();
}

QWidget* TPaletteMenu::DialogParent() const
{
    return menu_ != nullptr ? menu_->parentWidget() : nullptr;
}

void TPaletteMenu::SyncFromSetting()
{
    const TPaletteSetting setting = ReadPaletteSetting(UserIni);
    if (!setting.FileName.isEmpty())
        user_->setText(UserCaption(setting.FileName));
    user_->setChecked(setting.UseUser);
    standard_->setChecked(!setting.UseUser);
}

void TPaletteMenu::StandardPaletteClick()
{
    if (UserIni != nullptr)
        WriteStandardPaletteSetting(*UserIni);
    SyncFromSetting();
    standard_->setChecked(true);
    user_->setChecked(false);
    if (recolorImageWindows_)
        recolorImageWindows_();
}

void TPaletteMenu::User1Click()
{
    const TPaletteSetting setting = ReadPaletteSetting(UserIni);
    const QString startDir = setting.FileName.isEmpty() ? QString() : QFileInfo(setting.FileName).absolutePath();
    const QString chosen = AskFile(DialogParent(), {TFileDialogAsk::Kind::Open, QString(), startDir,
                                                    "JASC Palette (*.PAL *.pal)", QString(), "pal"})
                               .Path;
    if (chosen.isEmpty()) {
        SyncFromSetting(); // a triggered checkable action toggled itself
        return;
    }
    // A device or a huge file is refused here already, before any window tries it.
    QByteArray text;
    QString refusal;
    if (!ReadPaletteFile(chosen, text, refusal)) {
        ShowMessage(MsgKind::Information, refusal);
        SyncFromSetting();
        return;
    }
    UseUserFile(chosen);
}

void TPaletteMenu::UseUserFile(const QString& fileName)
{
    user_->setText(UserCaption(fileName));
    user_->setChecked(true);
    standard_->setChecked(false);
    if (UserIni != nullptr)
        WriteUserPaletteSetting(*UserIni, fileName);
    if (recolorImageWindows_)
        recolorImageWindows_();
}

} // namespace qvt
