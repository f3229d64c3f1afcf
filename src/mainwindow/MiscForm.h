#pragma once
// "Misc": the save directory and the automatic save, the coarse steps of the
// approach and retract commands, and what the idle-time power saver switches
// off after how long. Every save checks its directory here first.

#include <QString>
#include <QWidget>

#include <functional>

class QCheckBox;
class QLabel;

namespace qvt {

class TNumericEdit;
class TQVTIniFile;

// Text of the linearisation label: empty when neither is on.
QString LinearizationStateText(bool softLin, bool hardLin);

class TMiscForm : public QWidget {
    Q_OBJECT

public:
    explicit TMiscForm(QWidget* parent = nullptr);
    ~TMiscForm() override;

    // Position from [Misc], the controls from the settings, Enter on the step
    // counts so they are written back normalised, the save directory checked.
    void FormCreate();
    // Writes the position.
    void FormDestroy();

    // White and stored as [Save] Path when Edit1 names an existing directory,
    // else red and false.
    bool CheckSavePath();
    void ShowLinearizationState();

    // The main window's Save button follows "Auto Save Scan".
    std::function<void(bool down)> SetSaveButton;
    // The box "Auto Save Scan" set without its click (the setting is written).
    void ShowAutoSave(bool on);
    // The scanner's software and hardware linearisation (unset: off).
    std::function<bool()> SoftLinActive;
    std::function<bool()> HardLinActive;
    // The platform's directory chooser (tests give their own); empty: cancelled.
    std::function<QString(const QString& start)> ChooseDirectory;

    TNumericEdit* Edit(const QString& name) const;
    QCheckBox* Box(const QString& name) const;
    QLabel* Label4() const { return label4_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void StepsEnter(TNumericEdit* edit, const char* key);
    void IdleTimeEnter();
    void AutoSaveClick();
    void CoarseRetractClick();
    void BrowseClick();

    TNumericEdit* edit1_ = nullptr;
    TNumericEdit* edit2_ = nullptr;
    TNumericEdit* edit3_ = nullptr;
    TNumericEdit* edit4_ = nullptr;
    QCheckBox* autoSave_ = nullptr;
    QCheckBox* checkBox1_ = nullptr;
    QCheckBox* checkBox2_ = nullptr;
    QCheckBox* checkBox3_ = nullptr;
    QLabel* label4_ = nullptr;
    bool destroyed_ = false;
};

extern TMiscForm* MiscForm;

} // namespace qvt
