#include "mainwindow/MiscForm.h"

#include "core/IniFile.h"
#include "core/NumberText.h"
#include "core/SharedState.h"
#include "files/SavePath.h"
#include "platform/FileDialogs.h"
#include "widgets/NumericEdit.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace qvt {

TMiscForm* MiscForm = nullptr;

namespace {

constexpr const char* MiscSection = "Misc";
constexpr int DefaultLeft = 10;
constexpr int DefaultTop = 1;

} // namespace

QString LinearizationStateText(bool softLin, bool hardLin)
{
    QString text;
    if (softLin)
        text = "SoftLin active ";
    if (hardLin)
        text += " HardLin active";
    return text;
}

TMiscForm::TMiscForm(QWidget* parent) : QWidget(parent, Qt::Tool)
{
    setObjectName("MiscForm");
    setWindowTitle("Misc");

    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    layout->addLayout(form);

    edit1_ = new TNumericEdit("Edit1", this);
    auto* browse = new QPushButton("...", this);
    browse->setObjectName("Button1");
    browse->setFixedWidth(30);
    auto* pathRow = new QHBoxLayout;
    pathRow->addWidget(edit1_);
    pathRow->addWidget(browse);
    form->addRow("Save directory", pathRow);
    autoSave_ = new QCheckBox("Auto Save Scan", this);
    autoSave_->setObjectName("AutoSave");
    form->addRow(autoSave_);

    edit2_ = new TNumericEdit("Edit2", this);
    edit3_ = new TNumericEdit("Edit3", this);
    form->addRow("Approach steps", edit2_);
    form->addRow("Retract steps", edit3_);

    edit4_ = new TNumericEdit("Edit4", this);
    form->addRow("Power down after (min)", edit4_);
    checkBox2_ = new QCheckBox("Coarse Retract", this);
    checkBox2_->setObjectName("CheckBox2");
    checkBox3_ = new QCheckBox("Piezos", this);
    checkBox3_->setObjectName("CheckBox3");
    checkBox1_ = new QCheckBox("LASER off", this);
    checkBox1_->setObjectName("CheckBox1");
    form->addRow(checkBox2_);
    form->addRow(checkBox3_);
    form->addRow(checkBox1_);

    label4_ = new QLabel(this);
    label4_->setObjectName("Label4");
    label4_->hide();
    layout->addWidget(label4_);

    auto* close = new QPushButton("Close", this);
    close->setObjectName("CloseButton");
    layout->addWidget(close, 0, Qt::AlignRight);
    layout->addStretch();

    edit1_->OnKey = [this](EditKey key) {
        if (key == EditKey::Enter)
            CheckSavePath();
    };
    edit2_->OnKey = [this](EditKey key) {
        if (key == EditKey::Enter)
            StepsEnter(edit2_, "AppSteps");
    };
    edit3_->OnKey = [this](EditKey key) {
        if (key == EditKey::Enter)
            StepsEnter(edit3_, "RetSteps");
    };
    edit4_->OnKey = [this](EditKey key) {
        if (key == EditKey::Enter)
            IdleTimeEnter();
    };
    connect(browse, &QPushButton::clicked, this, &TMiscForm::BrowseClick);
    connect(close, &QPushButton::clicked, this, &QWidget::hide);
    connect(autoSave_, &QCheckBox::clicked, this, &TMiscForm::AutoSaveClick);
    connect(checkBox2_, &QCheckBox::clicked, this, &TMiscForm::CoarseRetractClick);
    connect(checkBox3_, &QCheckBox::clicked, this, [this](bool on) {
        if (MainIni)
            MainIni->WriteBool("QVTSaver", "PiezoOff", on);
    });
    connect(checkBox1_, &QCheckBox::clicked, this, [this](bool on) {
        if (MainIni)
            MainIni->WriteBool("QVTSaver", "LASEROff", on);
    });

    if (MiscForm == nullptr)
        MiscForm = this;
}

TMiscForm::~TMiscForm()
{
    if (MiscForm == this)
        MiscForm = nullptr;
}

void TMiscForm::FormCreate()
{
    if (MainIni == nullptr)
        return;
    move(MainIni->ReadFormPosLeft(MiscSection, DefaultLeft), MainIni->ReadInteger(MiscSection, "FormPosTop", DefaultTop));
    QString path = MainIni->ReadString("Save", "Path", QString());
    if (path.isEmpty())
        path = AppDir;
    edit1_->setText(path);
    autoSave_->setChecked(MainIni->ReadBool("Save", "AutoSaveScan", false));
    edit2_->setText(MainIni->ReadString("Stepper", "AppSteps", "1"));
    edit2_->PressKey(EditKey::Enter);
    edit3_->setText(MainIni->ReadString("Stepper", "RetSteps", "1"));
    edit3_->PressKey(EditKey::Enter);
    edit4_->setText(MainIni->ReadString("QVTSaver", "IdleTime", QString()));
    checkBox2_->setChecked(MainIni->ReadBool("QVTSaver", "Coarseretract", false));
    checkBox3_->setChecked(MainIni->ReadBool("QVTSaver", "PiezoOff", false));
    checkBox1_->setChecked(MainIni->ReadBool("QVTSaver", "LASEROff", false));
    CheckSavePath();
    ShowLinearizationState();
    CoarseRetractClick();
}

void TMiscForm::FormDestroy()
{
    if (destroyed_ || MainIni == nullptr)
        return;
    destroyed_ = true;
    MainIni->WriteInteger(MiscSection, "FormPosLeft", x());
    MainIni->WriteInteger(MiscSection, "FormPosTop", y());
}

void TMiscForm::showEvent(QShowEvent* event)
{
    ShowLinearizationState();
    QWidget::showEvent(event);
}

bool TMiscForm::CheckSavePath()
{
    if (MainIni == nullptr || !qvt::CheckSavePath(*MainIni, edit1_->text())) {
        edit1_->MarkRefused();
        return false;
    }
    edit1_->MarkAccepted();
    return true;
}

void TMiscForm::ShowLinearizationState()
{
    const QString text = LinearizationStateText(SoftLinActive && SoftLinActive(), HardLinActive && HardLinActive());
    label4_->setText(text);
    label4_->setVisible(!text.isEmpty());
}

void TMiscForm::StepsEnter(TNumericEdit* edit, const char* key)
{
    bool ok = false;
    const int steps = edit->text().trimmed().toInt(&ok);
    if (!ok) {
        edit->MarkRefused();
        return;
    }
    edit->setText(QString::number(steps));
    edit->MarkAccepted();
    if (MainIni)
        MainIni->WriteInteger("Stepper", key, steps);
}

void TMiscForm::IdleTimeEnter()
{
    double minutes = 0.0;
    try {
        minutes = StrToFloatAnySep(edit4_->text());
    } catch (const ConversionError&) {
        edit4_->MarkRefused();
        return;
    }
    edit4_->MarkAccepted();
    if (MainIni)
        MainIni->WriteFloat("QVTSaver", "IdleTime", minutes);
}

void TMiscForm::AutoSaveClick()
{
    const bool on = autoSave_->isChecked();
    if (MainIni)
        MainIni->WriteBool("Save", "AutoSaveScan", on);
    if (SetSaveButton)
        SetSaveButton(on);
}

void TMiscForm::ShowAutoSave(bool on)
{
    autoSave_->setChecked(on);
}

void TMiscForm::CoarseRetractClick()
{
    const bool on = checkBox2_->isChecked();
    if (MainIni)
        MainIni->WriteBool("QVTSaver", "Coarseretract", on);
    // The choices below stay stored while they are disabled.
    checkBox1_->setEnabled(on);
    checkBox3_->setEnabled(on);
}

void TMiscForm::BrowseClick()
{
    QString chosen;
    if (ChooseDirectory)
        chosen = ChooseDirectory(edit1_->text());
    else
        chosen = GetExistingDirectory(this, "Please choose a directory:", edit1_->text());
    if (chosen.isEmpty())
        return;
    edit1_->setText(chosen);
    CheckSavePath();
}

TNumericEdit* TMiscForm::Edit(const QString& name) const
{
    return findChild<TNumericEdit*>(name);
}

QCheckBox* TMiscForm::Box(const QString& name) const
{
    return findChild<QCheckBox*>(name);
}

} // namespace qvt
