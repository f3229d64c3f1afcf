#pragma once
// "Make me Admin": a password raises the menu level of the main window to 1
// (administrator) or 2 (setup). The user settings keep each password with
// its characters in reverse order.

#include <QDialog>
#include <QString>

#include <functional>

class QLineEdit;

namespace qvt {

// What a typed password grants: 1, 2, 0 (no level) or -1 when its length
// matches neither stored password (nothing happens then).
int AdminLevelForPassword(const QString& entered, const QString& wordPass, const QString& wordPassSetup);

class TAdminForm : public QDialog {
    Q_OBJECT

public:
    // Placed 70 pixels right of and 20 below `anchor`'s top-left corner.
    explicit TAdminForm(QWidget* anchor = nullptr);

    // Enter in the window: the edit turns red; a granted level goes to
    // GrantLevel and the window closes.
    void Edit1KeyPress();

    std::function<void(int level)> GrantLevel;
    QLineEdit* Edit1() const { return edit1_; }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    QLineEdit* edit1_ = nullptr;
};

} // namespace qvt
