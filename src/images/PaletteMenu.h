#pragma once
// The "Color Palette" choice of the main window: "Standard" or "User...",
// stored in UserIni [Main]. The image windows read the setting when they
// build their colour tables; a user palette that cannot be loaded switches
// the choice back to "Standard" through TPaletteChoice.

#include <QObject>
#include <QString>

#include <functional>

class QAction;
class QMenu;
class QWidget;

namespace qvt {

// One per program: tells the palette menu that the setting changed.
class TPaletteChoice : public QObject {
    Q_OBJECT

public:
    static TPaletteChoice& Instance();

    // A window found the user palette unusable: the setting goes back to
    // "Standard" and the menu follows. Nothing is rebuilt, so the window
    // that is being built stays valid; later windows read "Standard".
    void FallBackToStandard();

signals:
    void settingChanged();
};

// "Standard" and "User..." in a given menu, checked after UserIni.
class TPaletteMenu : public QObject {
    Q_OBJECT

public:
    // `rebuildImageWindows` re-creates every image window with the new
    // palette (the channel choice's grid rebuild).
    TPaletteMenu(QMenu* menu, std::function<void()> rebuildImageWindows, QObject* parent = nullptr);

    QAction* StandardPalette() const { return standard_; }
    QAction* User1() const { return user_; }

    void StandardPaletteClick();
    // Asks for a palette file, then UseUserFile.
    void User1Click();
    // What "User..." does once a file was chosen.
    void UseUserFile(const QString& fileName);
    // Check marks and the "User--> " caption from UserIni.
    void SyncFromSetting();

private:
    QWidget* DialogParent() const;

    QMenu* menu_;
    QAction* standard_;
    QAction* user_;
    std::function<void()> rebuildImageWindows_;
};

} // namespace qvt
