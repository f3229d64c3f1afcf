#pragma once
// "Spectroscopy Options": the settings of the current spectroscopy kind and
// the saving options, on five tabs. Every control writes its key at once;
// Cancel only closes the window. The checks live in SpektOptions.

#include <QImage>
#include <QWidget>

#include <array>
#include <cstdint>
#include <functional>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTabWidget;

namespace qvt {

class TSpektForm;

class TSpektOptionForm : public QWidget {
    Q_OBJECT

public:
    explicit TSpektOptionForm(TSpektForm& spekt, QWidget* parent = nullptr);
    ~TSpektOptionForm() override;

    void FormCreate();
    void FormDestroy();
    void LoadSettings();
    void CycleClick();
    void Edit1Enter();
    void DataPointsEnter();
    void EditAverageEnter();
    void ChannelClick(int count);
    void ColourClick(int x, uint32_t colour);
    // A save dialog's answer for the save name (tests hand one in).
    std::function<QString(const QString& start, const QString& ext)> AskSaveName;
    void BrowseButtonClick();
    void ShowNextNumber(int next);
    void ShowAutoSave(bool on);

    QTabWidget* Tabs = nullptr;
    QCheckBox* CheckBox3 = nullptr;
    QCheckBox* CheckBox4 = nullptr;
    QCheckBox* CheckBox5 = nullptr;
    QRadioButton* RadioButton11 = nullptr; // 1/2
    QRadioButton* RadioButton12 = nullptr; // full
    QRadioButton* RadioButton13 = nullptr; // N
    QRadioButton* RadioButton14 = nullptr; // Load Ramp
    QLineEdit* Edit1 = nullptr;
    QPushButton* FileSelButton = nullptr;
    QCheckBox* CheckBox1 = nullptr;
    QComboBox* ComboBoxDataPoints = nullptr;
    QLineEdit* EditAverage = nullptr;
    std::array<QRadioButton*, 4> ChannelButtons{}; // RadioButton1..4
    QComboBox* ComboBox1 = nullptr;
    QComboBox* ComboBox3 = nullptr;
    QCheckBox* CheckBoxVectors = nullptr;
    QCheckBox* CheckBox2 = nullptr;
    QLabel* Image1 = nullptr;
    QLineEdit* EditFileName = nullptr;
    QLineEdit* EditExtension = nullptr;
    QPushButton* BrowseButton = nullptr;
    QCheckBox* CheckBoxNumbered = nullptr;
    QLabel* Label4 = nullptr;
    QCheckBox* CheckBoxAutoSave = nullptr;
    QCheckBox* CheckBoxComment = nullptr;
    QCheckBox* CheckBoxSaveHeader = nullptr;
    QCheckBox* xAxisCheck = nullptr;
    QCheckBox* yAxisCheck = nullptr;
    QComboBox* ComboBoxDelimiter = nullptr;
    QPushButton* CancelButton = nullptr;
    std::array<uint32_t, 4> Colours{};

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void Build();
    void DrawSketch();
    QString Section() const;
    void WriteSaveKeys();

    TSpektForm& spekt_;
    bool loading_ = false;
    int cycleTab_ = -1;
};

extern TSpektOptionForm* SpektOptionForm;

} // namespace qvt
