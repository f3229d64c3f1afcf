#pragma once
// The options of the multi lock-in spectrum: file name and format, averaging,
// point count, channel count and chart choices. Every control writes its key
// at once; most make the spectrum reload its options.

#include <QWidget>

#include <functional>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QRadioButton;

namespace qvt {

// Typed averages: 0..3000 while typing, at least 9 on Enter.
int ClampSpectrumAverage(int n, bool enter);
// A range preset needs its "-".
bool IsSpectrumRangePreset(const QString& text);

class TMultiLockInOptionForm : public QWidget {
    Q_OBJECT

public:
    explicit TMultiLockInOptionForm(QWidget* parent = nullptr);
    ~TMultiLockInOptionForm() override;

    void FormCreate();
    // Stores the window's position for the next start.
    void FormDestroy();
    std::function<void()> OptionsChanged;
    // The save dialog of the "..." button: filter, folder and file name in,
    // the chosen file out (empty: cancelled). Unset: Qt's file dialog.
    std::function<QString(const QString& filter, const QString& directory, const QString& name)> AskSaveName;

    // The controls as the operator uses them.
    void AverageChanged(const QString& text, bool enter);
    void DataPointsEntered(const QString& text);
    bool RangePresetEntered(const QString& text);
    void SetChannelCount(int n);
    void ShowNextNumber(int n);
    // What the spectrum window changed: its save button, its save-as dialog.
    void ShowAutoSave(bool on);
    void ShowSaveName(const QString& name, const QString& ext);
    // "...": the file name and extension from a save dialog, both stored.
    void BrowseButtonClick();
    // Closes the window; what was typed and not committed is dropped.
    void CancelBtnClick();

private:
    // Every control as the settings hold it.
    void ShowStored();
    void Changed();
    void StoreQuoted(const char* key, const QString& text);

    QLineEdit* fileName_ = nullptr;
    QLineEdit* extension_ = nullptr;
    QComboBox* delimiter_ = nullptr;
    QCheckBox* numbered_ = nullptr;
    QLabel* nextNumber_ = nullptr;
    QCheckBox* commentBox_ = nullptr;
    QLineEdit* comment_ = nullptr;
    QCheckBox* xAxis_ = nullptr;
    QLineEdit* average_ = nullptr;
    QComboBox* dataPoints_ = nullptr;
    QCheckBox* math_ = nullptr;
    QLineEdit* range_ = nullptr;
    QCheckBox* cont_ = nullptr;
    QCheckBox* yLog_ = nullptr;
    QCheckBox* autoSave_ = nullptr;
    QLineEdit* history_ = nullptr;
    QRadioButton* channels_[4] = {};
};

extern TMultiLockInOptionForm* MultiLockInOptionForm;

} // namespace qvt
