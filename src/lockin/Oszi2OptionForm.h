#pragma once
// "Oszi-Options": the save and display options of the three-trace
// oscilloscope. Every control writes its key at once; the long-term ring is
// sized again with each change.

#include <QWidget>

#include <functional>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace qvt {

class TOszi2Form;

class TOszi2OptionForm : public QWidget {
    Q_OBJECT

public:
    explicit TOszi2OptionForm(TOszi2Form& oszi, QWidget* parent = nullptr);
    ~TOszi2OptionForm() override;

    void FormCreate();
    void FormDestroy();

    void UseOsziOptClick();
    void CheckBox1Click();
    void LongTermEditEnter();
    void BrowseButtonClick();

    QLineEdit* EditFileName = nullptr;
    QLineEdit* EditExtension = nullptr;
    QComboBox* ComboBoxDelimiter = nullptr;
    QCheckBox* CheckBoxNumbered = nullptr;
    QLabel* Label4 = nullptr;
    QCheckBox* HeaderCheckBox = nullptr;
    QCheckBox* CheckBoxComment = nullptr;
    QLineEdit* EditComment = nullptr;
    QCheckBox* xAxisCheck = nullptr;
    QCheckBox* AquFrameCheckBox = nullptr;
    QCheckBox* CheckBoxVectors = nullptr;
    QCheckBox* CheckBoxFFT = nullptr;
    QCheckBox* CheckBox1 = nullptr;
    QLineEdit* LongTermEdit = nullptr;
    QPushButton* BrowseButton = nullptr;

private:
    TOszi2Form& oszi_;
    bool created_ = false;
};

extern TOszi2OptionForm* Oszi2OptionForm;

} // namespace qvt
