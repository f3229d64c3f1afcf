#include "lockin/Oszi2OptionForm.h"

#include "core/IniFile.h"
#include "core/SharedState.h"
#include "lockin/Oszi2Form.h"
#include "lockin/OsziFrame.h"
#include "platform/FileDialogs.h"

#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace qvt {

TOszi2OptionForm* Oszi2OptionForm = nullptr;

namespace {
const char* const Section = "osziopt";
const char* const LongTermSection = "Osziopt";

// Stored inside double quotes, as the reader strips one pair.
QString Quoted(const QString& text)
{
    return '"' + text + '"';
}
} // namespace

TOszi2OptionForm::TOszi2OptionForm(TOszi2Form& oszi, QWidget* parent) : QWidget(parent, Qt::Window), oszi_(oszi)
{
    Oszi2OptionForm = this;
    setObjectName("Oszi2OptionForm");
    setWindowTitle("Oszi-Options");
    auto* form = new QFormLayout(this);
    auto check = [this, form](QCheckBox*& box, const char* name, const char* caption) {
        box = new QCheckBox(caption, this);
        box->setObjectName(name);
        form->addRow(box);
        connect(box, &QCheckBox::clicked, this, [this] { UseOsziOptClick(); });
    };
    auto* nameRow = new QHBoxLayout;
    EditFileName = new QLineEdit(this);
    EditFileName->setObjectName("EditFileName");
    BrowseButton = new QPushButton("...", this);
    BrowseButton->setObjectName("BrowseButton");
    nameRow->addWidget(EditFileName);
    nameRow->addWidget(BrowseButton);
    form->addRow("file name", nameRow);
    EditExtension = new QLineEdit(this);
    EditExtension->setObjectName("EditExtension");
    form->addRow("extension", EditExtension);
    ComboBoxDelimiter = new QComboBox(this);
    ComboBoxDelimiter->setObjectName("ComboBoxDelimiter");
    ComboBoxDelimiter->addItems({"none", "TAB", "space", ",", "."});
    form->addRow("delimiter", ComboBoxDelimiter);
    check(CheckBoxNumbered, "CheckBoxNumbered", "save numbered");
    Label4 = new QLabel(this);
    Label4->setObjectName("Label4");
    form->addRow(Label4);
    check(HeaderCheckBox, "HeaderCheckBox", "save header");
    check(CheckBoxComment, "CheckBoxComment", "comment each file");
    EditComment = new QLineEdit(this);
    EditComment->setObjectName("EditComment");
    form->addRow(EditComment);
    check(xAxisCheck, "xAxisCheck", "x-axis");
    check(AquFrameCheckBox, "AquFrameCheckBox", "Stop after full frame");
    check(CheckBoxVectors, "CheckBoxVectors", "Draw Lines");
    check(CheckBoxFFT, "CheckBoxFFT", "FFT in dB");
    CheckBox1 = new QCheckBox("Long term data", this);
    CheckBox1->setObjectName("CheckBox1");
    connect(CheckBox1, &QCheckBox::clicked, this, [this] { CheckBox1Click(); });
    LongTermEdit = new QLineEdit(this);
    LongTermEdit->setObjectName("LongTermEdit");
    form->addRow(CheckBox1, LongTermEdit);
    connect(LongTermEdit, &QLineEdit::textEdited, this, [this] { LongTermEdit->setStyleSheet("background: silver"); });
    connect(LongTermEdit, &QLineEdit::returnPressed, this, [this] { LongTermEditEnter(); });
    connect(ComboBoxDelimiter, &QComboBox::activated, this, [this] { UseOsziOptClick(); });
    connect(EditFileName, &QLineEdit::textEdited, this, [this] { UseOsziOptClick(); });
    connect(EditExtension, &QLineEdit::textEdited, this, [this] { UseOsziOptClick(); });
    connect(EditComment, &QLineEdit::textEdited, this, [this] { UseOsziOptClick(); });
    connect(BrowseButton, &QPushButton::clicked, this, [this] { BrowseButtonClick(); });
}

TOszi2OptionForm::~TOszi2OptionForm()
{
    if (Oszi2OptionForm == this)
        Oszi2OptionForm = nullptr;
}

void TOszi2OptionForm::FormCreate()
{
    if (MainIni == nullptr)
        return;
    TQVTIniFile& ini = *MainIni;
    move(ini.ReadFormPosLeft(Section, 10), ini.ReadInteger(Section, "FormPosTop", 1));
    EditFileName->setText(ini.ReadString(Section, "SaveName", DefaultSaveName()));
    EditExtension->setText(ini.ReadString(Section, "SaveExt", "dat"));
    ComboBoxDelimiter->setCurrentIndex(std::clamp(ini.ReadInteger(Section, "DelimiterSave", 0), 0, 4));
    CheckBoxNumbered->setChecked(ini.ReadBool(Section, "SaveNumbered", false));
    HeaderCheckBox->setChecked(ini.ReadBool(Section, "SaveHeader", false));
    CheckBoxComment->setChecked(ini.ReadBool(Section, "SaveComment", false));
    EditComment->setText(ini.ReadString(Section, "Comment", ""));
    xAxisCheck->setChecked(ini.ReadBool(Section, "xAxis", true));
    AquFrameCheckBox->setChecked(ini.ReadBool(Section, "AcqFrame", false));
    CheckBoxVectors->setChecked(ini.ReadBool(Section, "vector", true));
    CheckBoxFFT->setChecked(ini.ReadBool(Section, "logFFT", false));
    CheckBox1->setChecked(ini.ReadBool(LongTermSection, "LongTermEnable", false));
    LongTermEdit->setText(ini.ReadString(LongTermSection, "LongTermDataPoints", "10000"));
    created_ = true;
    LongTermEditEnter();
    CheckBox1Click();
}

void TOszi2OptionForm::FormDestroy()
{
    if (MainIni == nullptr)
        return;
    MainIni->WriteInteger(Section, "FormPosLeft", x());
    MainIni->WriteInteger(Section, "FormPosTop", y());
}

void TOszi2OptionForm::UseOsziOptClick()
{
    if (!created_ || MainIni == nullptr)
        return;
    TQVTIniFile& ini = *MainIni;
    ini.WriteString(Section, "SaveName", Quoted(EditFileName->text()));
    ini.WriteString(Section, "SaveExt", Quoted(EditExtension->text()));
    ini.WriteInteger(Section, "DelimiterSave", ComboBoxDelimiter->currentIndex());
    ini.WriteBool(Section, "SaveNumbered", CheckBoxNumbered->isChecked());
    ini.WriteBool(Section, "SaveHeader", HeaderCheckBox->isChecked());
    ini.WriteBool(Section, "SaveComment", CheckBoxComment->isChecked());
    ini.WriteString(Section, "Comment", Quoted(EditComment->text()));
    ini.WriteBool(Section, "xAxis", xAxisCheck->isChecked());
    ini.WriteBool(Section, "AcqFrame", AquFrameCheckBox->isChecked());
    ini.WriteBool(Section, "vector", CheckBoxVectors->isChecked());
    ini.WriteBool(Section, "logFFT", !CheckBoxFFT->isHidden() && CheckBoxFFT->isChecked());
    ini.WriteBool(LongTermSection, "LongTermEnable", CheckBox1->isChecked());
    Label4->setVisible(CheckBoxNumbered->isChecked());
    Label4->setText("next nr.:" + QString::number(ini.ReadInteger(Section, "NextNumber", 0)));
    EditComment->setVisible(CheckBoxComment->isChecked());
    if (!oszi_.AllocLongTerm()) {
        CheckBox1->setChecked(false);
        LongTermEdit->setEnabled(false);
        ini.WriteBool(LongTermSection, "LongTermEnable", false);
    }
    oszi_.ProcessFrame();
}

void TOszi2OptionForm::CheckBox1Click()
{
    LongTermEdit->setEnabled(CheckBox1->isChecked());
    if (created_ && MainIni != nullptr)
        MainIni->WriteBool(LongTermSection, "LongTermEnable", CheckBox1->isChecked());
    UseOsziOptClick();
}

void TOszi2OptionForm::LongTermEditEnter()
{
    bool ok = false;
    const qlonglong n = LongTermEdit->text().trimmed().toLongLong(&ok);
    if (!ok || n < 2) {
        LongTermEdit->setStyleSheet("background: red");
        return;
    }
    LongTermEdit->setStyleSheet({});
    if (MainIni != nullptr)
        MainIni->WriteString(LongTermSection, "LongTermDataPoints", QString::number(n));
    UseOsziOptClick();
}

void TOszi2OptionForm::BrowseButtonClick()
{
    const QString ext = EditExtension->text();
    const QString start = EditFileName->text() + (ext.isEmpty() ? QString() : "." + ext);
    const QString name = GetSaveFileName(this, {}, start, "*." + ext);
    if (name.isEmpty())
        return;
    const QFileInfo info(name);
    if (!info.suffix().isEmpty()) {
        EditExtension->setText(info.suffix());
        EditFileName->setText(info.path() + "/" + info.completeBaseName());
    } else {
        EditFileName->setText(name);
    }
    UseOsziOptClick();
}

} // namespace qvt
