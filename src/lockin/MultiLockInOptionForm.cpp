#include "lockin/MultiLockInOptionForm.h"

#include "core/IniFile.h"
#include "core/NumberText.h"
#include "core/SharedState.h"
#include "lockin/MultiLockInSpectrum.h"
#include "widgets/KeepRoom.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>

#include <algorithm>

namespace qvt {

TMultiLockInOptionForm* MultiLockInOptionForm = nullptr;

namespace {
const QString Opt = "MultiLockinOpt";

void Colour(QWidget* w, const char* colour)
{
    w->setStyleSheet(colour ? QString("background-color: %1").arg(colour) : QString());
}

QString Unquoted(QString s)
{
    if (s.size() >= 2 && s.startsWith('"') && s.endsWith('"'))
        s = s.mid(1, s.size() - 2);
    return s;
}
} // namespace

int ClampSpectrumAverage(int n, bool enter)
{
    return std::clamp(n, enter ? 9 : 0, 3000);
}

bool IsSpectrumRangePreset(const QString& text)
{
    return text.contains('-');
}

TMultiLockInOptionForm::TMultiLockInOptionForm(QWidget* parent) : QWidget(parent)
{
    MultiLockInOptionForm = this;
    setWindowTitle("Multi LockIn Options");
    auto* form = new QFormLayout(this);
    fileName_ = new QLineEdit(this);
    extension_ = new QLineEdit(this);
    delimiter_ = new QComboBox(this);
    delimiter_->addItems({"none", "TAB", "space", ",", "."});
    numbered_ = new QCheckBox("save numbered", this);
    nextNumber_ = new QLabel(this);
    commentBox_ = new QCheckBox("comment each file", this);
    comment_ = new QLineEdit(this);
    xAxis_ = new QCheckBox("x-axis", this);
    average_ = new QLineEdit(this);
    dataPoints_ = new QComboBox(this);
    dataPoints_->setEditable(true);
    dataPoints_->setInsertPolicy(QComboBox::NoInsert);
    dataPoints_->setCompleter(nullptr); // a typed count is taken as typed
    dataPoints_->addItems({"256", "512", "1024", "2048", "4096"});
    math_ = new QCheckBox("Math", this);
    range_ = new QLineEdit(this);
    cont_ = new QCheckBox("averaging", this);
    yLog_ = new QCheckBox("y-axis log (Math)", this);
    autoSave_ = new QCheckBox("auto save", this);
    history_ = new QLineEdit(this);
    fileName_->setObjectName("EditFileName");
    extension_->setObjectName("EditExtension");
    comment_->setObjectName("EditComment");
    history_->setObjectName("EditHistory");
    auto* browse = new QPushButton("...", this);
    browse->setObjectName("BrowseButton");
    connect(browse, &QPushButton::clicked, this, &TMultiLockInOptionForm::BrowseButtonClick);
    auto* nameRow = new QHBoxLayout;
    nameRow->addWidget(fileName_);
    nameRow->addWidget(browse);
    form->addRow("file name", nameRow);
    form->addRow("extension", extension_);
    form->addRow("delimiter", delimiter_);
    form->addRow(numbered_, nextNumber_);
    form->addRow(commentBox_, comment_);
    form->addRow(xAxis_);
    form->addRow("average", average_);
    form->addRow("datapoints", dataPoints_);
    form->addRow(math_, yLog_);
    form->addRow("range", range_);
    form->addRow(cont_, autoSave_);
    form->addRow("history", history_);
    for (int i = 0; i < 4; ++i) {
        channels_[i] = new QRadioButton(QString::number(i + 1), this);
        form->addRow(i == 0 ? "channels" : "", channels_[i]);
        connect(channels_[i], &QRadioButton::clicked, this, [this, i] { SetChannelCount(i + 1); });
    }
    auto* cancel = new QPushButton("Cancel", this);
    cancel->setObjectName("CancelBtn");
    // Taking no focus, a click leaves an edit's typed text uncommitted, so
    // Cancel can put the stored value back instead.
    cancel->setFocusPolicy(Qt::NoFocus);
    connect(cancel, &QPushButton::clicked, this, &TMultiLockInOptionForm::CancelBtnClick);
    auto* cancelRow = new QHBoxLayout;
    cancelRow->addStretch();
    cancelRow->addWidget(cancel);
    form->addRow(cancelRow);
    // The number and the comment come and go with their boxes; their rows
    // keep their room, so nothing below moves under the pointer.
    KeepRoomWhenHidden(nextNumber_);
    KeepRoomWhenHidden(comment_);

    auto writeBool = [this](QCheckBox* box, const char* key) {
        connect(box, &QCheckBox::toggled, this, [this, key](bool on) {
            if (MainIni)
                MainIni->WriteBool(Opt, key, on);
            Changed();
        });
    };
    writeBool(numbered_, "SaveNumbered");
    writeBool(commentBox_, "SaveComment");
    writeBool(xAxis_, "xAxis");
    writeBool(math_, "Math");
    writeBool(yLog_, "YAxisLog");
    writeBool(autoSave_, "AutoSave");
    connect(numbered_, &QCheckBox::toggled, nextNumber_, &QLabel::setVisible);
    connect(commentBox_, &QCheckBox::toggled, comment_, &QLineEdit::setVisible);
    connect(xAxis_, &QCheckBox::toggled, range_, &QLineEdit::setEnabled);
    connect(cont_, &QCheckBox::toggled, this, [this](bool on) {
        if (MainIni)
            MainIni->WriteInteger(Opt, "ContAverage", on ? 0 : -1);
        Changed();
    });
    connect(fileName_, &QLineEdit::editingFinished, this, [this] { StoreQuoted("SaveName", fileName_->text()); });
    connect(comment_, &QLineEdit::editingFinished, this, [this] { StoreQuoted("Comment", comment_->text()); });
    connect(extension_, &QLineEdit::editingFinished, this, [this] {
        if (MainIni)
            MainIni->WriteString(Opt, "SaveExt", extension_->text());
    });
    connect(delimiter_, &QComboBox::activated, this, [](int i) {
        if (MainIni)
            MainIni->WriteInteger(Opt, "DelimiterSave", i);
    });
    connect(average_, &QLineEdit::textEdited, this, [this](const QString& t) { AverageChanged(t, false); });
    connect(average_, &QLineEdit::returnPressed, this, [this] { AverageChanged(average_->text(), true); });
    connect(dataPoints_, &QComboBox::textActivated, this, &TMultiLockInOptionForm::DataPointsEntered);
    connect(dataPoints_->lineEdit(), &QLineEdit::returnPressed, this,
            [this] { DataPointsEntered(dataPoints_->currentText()); });
    connect(range_, &QLineEdit::returnPressed, this, [this] { RangePresetEntered(range_->text()); });
    connect(history_, &QLineEdit::returnPressed, this, [this] {
        bool ok = false;
        const int n = history_->text().toInt(&ok);
        Colour(history_, ok ? nullptr : "red");
        if (ok && MainIni)
            MainIni->WriteInteger(Opt, "history", std::clamp(n, 0, 100));
    });
}

TMultiLockInOptionForm::~TMultiLockInOptionForm()
{
    if (MultiLockInOptionForm == this)
        MultiLockInOptionForm = nullptr;
}

void TMultiLockInOptionForm::FormCreate()
{
    if (!MultiLockInPresent) {
        hide();
        return;
    }
    TQVTIniFile* ini = MainIni;
    if (!ini)
        return;
    move(ini->ReadFormPosLeft(Opt, 10), ini->ReadInteger(Opt, "FormPosTop", 1));
    ShowStored();
}

void TMultiLockInOptionForm::ShowStored()
{
    TQVTIniFile* ini = MainIni;
    if (!ini)
        return;
    const QSignalBlocker b1(numbered_), b2(commentBox_), b3(xAxis_), b4(math_), b5(yLog_), b6(autoSave_), b7(cont_);
    fileName_->setText(SpectrumSaveName(ini));
    extension_->setText(ini->ReadString(Opt, "SaveExt", "txt"));
    delimiter_->setCurrentIndex(std::clamp(ini->ReadInteger(Opt, "DelimiterSave", 0), 0, 4));
    numbered_->setChecked(ini->ReadBool(Opt, "SaveNumbered", false));
    nextNumber_->setVisible(numbered_->isChecked());
    ShowNextNumber(ini->ReadInteger(Opt, "NextNumber", 0));
    commentBox_->setChecked(ini->ReadBool(Opt, "SaveComment", false));
    comment_->setVisible(commentBox_->isChecked());
    comment_->setText(Unquoted(ini->ReadString(Opt, "Comment", "")));
    xAxis_->setChecked(ini->ReadBool(Opt, "xAxis", true));
    average_->setText(ini->ReadString(Opt, "average", "0"));
    dataPoints_->setCurrentText(ini->ReadString(Opt, "datapoints", "512"));
    math_->setChecked(ini->ReadBool(Opt, "Math", false));
    range_->setText(ini->ReadString("MultiLockin", "Popup0", "20000-400000"));
    cont_->setChecked(ini->ReadInteger(Opt, "ContAverage", -1) >= 0);
    yLog_->setChecked(ini->ReadBool(Opt, "YAxisLog", false));
    autoSave_->setChecked(ini->ReadBool(Opt, "AutoSave", false));
    history_->setText(ini->ReadString(Opt, "history", "0"));
    range_->setEnabled(xAxis_->isChecked());
    for (QWidget* edit : {static_cast<QWidget*>(average_), static_cast<QWidget*>(dataPoints_),
                          static_cast<QWidget*>(range_), static_cast<QWidget*>(history_)})
        Colour(edit, nullptr);
    const int count = ini->ReadInteger(Opt, "CountChannels", 1);
    channels_[std::clamp(count, 1, 4) - 1]->setChecked(true);
}

void TMultiLockInOptionForm::CancelBtnClick()
{
    ShowStored();
    close();
}

void TMultiLockInOptionForm::BrowseButtonClick()
{
    const QString ext = MainIni ? MainIni->ReadString(Opt, "SaveExt", "txt") : QString("txt");
    const QFileInfo stored(SpectrumSaveName(MainIni));
    if (!AskSaveName)
        AskSaveName = [this](const QString& filter, const QString& directory, const QString& name) {
            return QFileDialog::getSaveFileName(this, QString(), directory + "/" + name, filter);
        };
    const QString chosen = AskSaveName("spectra (*." + ext + ")", stored.path(), stored.fileName() + "." + ext);
    if (chosen.isEmpty())
        return;
    const QFileInfo info(chosen);
    const QString newExt = info.suffix().left(100);
    const QString base = info.suffix().isEmpty() ? chosen : chosen.chopped(info.suffix().size() + 1);
    fileName_->setText(base);
    extension_->setText(newExt);
    StoreQuoted("SaveName", base);
    if (MainIni)
        MainIni->WriteString(Opt, "SaveExt", newExt);
}

void TMultiLockInOptionForm::FormDestroy()
{
    if (MultiLockInPresent && MainIni != nullptr) {
        MainIni->WriteInteger(Opt, "FormPosLeft", x());
        MainIni->WriteInteger(Opt, "FormPosTop", y());
    }
}

void TMultiLockInOptionForm::Changed()
{
    if (OptionsChanged)
        OptionsChanged();
}

void TMultiLockInOptionForm::StoreQuoted(const char* key, const QString& text)
{
    if (MainIni)
        MainIni->WriteString(Opt, key, "\"" + text + "\"");
}

void TMultiLockInOptionForm::AverageChanged(const QString& text, bool enter)
{
    bool ok = false;
    const int n = text.trimmed().toInt(&ok);
    if (!ok) {
        Colour(average_, enter ? "red" : "silver");
        return;
    }
    const int v = ClampSpectrumAverage(n, enter);
    if (enter)
        average_->setText(QString::number(v));
    Colour(average_, nullptr);
    if (MainIni)
        MainIni->WriteInteger(Opt, "average", v);
    Changed();
}

void TMultiLockInOptionForm::DataPointsEntered(const QString& text)
{
    bool ok = false;
    const int n = text.trimmed().toInt(&ok);
    if (!ok) {
        Colour(dataPoints_, "red");
        return;
    }
    const int v = ClampSpectrumPoints(n);
    dataPoints_->setCurrentText(QString::number(v));
    Colour(dataPoints_, nullptr);
    if (MainIni)
        MainIni->WriteInteger(Opt, "datapoints", v);
    Changed();
}

bool TMultiLockInOptionForm::RangePresetEntered(const QString& text)
{
    if (!IsSpectrumRangePreset(text)) {
        Colour(range_, "red");
        return false;
    }
    Colour(range_, nullptr);
    if (MainIni)
        MainIni->WriteString("MultiLockin", "Popup0", text);
    Changed();
    return true;
}

void TMultiLockInOptionForm::SetChannelCount(int n)
{
    n = std::clamp(n, 1, 4);
    channels_[n - 1]->setChecked(true);
    if (MainIni)
        MainIni->WriteInteger(Opt, "CountChannels", n);
    Changed();
}

void TMultiLockInOptionForm::ShowAutoSave(bool on)
{
    const QSignalBlocker quiet(autoSave_);
    autoSave_->setChecked(on);
}

void TMultiLockInOptionForm::ShowSaveName(const QString& name, const QString& ext)
{
    fileName_->setText(name);
    extension_->setText(ext);
}

void TMultiLockInOptionForm::ShowNextNumber(int n)
{
    nextNumber_->setText("next nr.: " + QString::number(n));
}

} // namespace qvt
