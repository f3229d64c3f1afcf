#include "lockin/LockInOptionForm.h"

#include "core/IniFile.h"
#include "core/NumberText.h"
#include "core/SharedState.h"
#include "device/ChannelTable.h"
#include "device/InOutForm.h"
#include "lockin/DncExport.h"
#include "lockin/DncPlot.h"
#include "lockin/LockInOptions.h"
#include "widgets/NumericEdit.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>
#include <QVBoxLayout>

#include <cmath>

namespace qvt {

TLockInOptionForm* LockInOptionForm = nullptr;

IDncOptionsView* DncOptionsView()
{
    return LockInOptionForm;
}

namespace {
constexpr const char* DncOpt = "dncopt";
constexpr int DriveSlot = 10; // the drive amplitude output
constexpr int DefaultAmplitudeSlot = 12;
const char* const DataPointItems[] = {"256", "512", "1024", "2048", "4096"};
const char* const DelimiterItems[] = {"none", "TAB", "space", ",", "."};

TQVTIniFile* Ini()
{
    return MainIni;
}
} // namespace

// The delay circle: the pointer's angle around the centre sets the delay.
class TQDelayImage : public QWidget {
public:
    TQDelayImage(TLockInOptionForm& form, QWidget* parent) : QWidget(parent), form_(form)
    {
        setObjectName("QDelayImage");
        setFixedSize(140, 140);
    }
    int Angle = 10;

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.fillRect(rect(), palette().color(QPalette::Button));
        const QPoint c(width() / 2, height() / 2);
        p.setPen(Qt::white);
        p.drawEllipse(c, 60, 60);
        p.setPen(QPen(Qt::black, 1, Qt::DotLine));
        p.drawLine(0, c.y(), width(), c.y());
        p.drawLine(c.x(), 0, c.x(), height());
        int dx = 0, dy = 0;
        QDelayRadius(Angle, dx, dy);
        p.setPen(QPen(Qt::red, 2));
        p.drawLine(c, c + QPoint(dx, dy));
    }
    void mousePressEvent(QMouseEvent* e) override
    {
        if (e->button() == Qt::LeftButton)
            form_.QDelayMouse(e->position().toPoint().x(), e->position().toPoint().y(), false);
    }
    void mouseMoveEvent(QMouseEvent* e) override
    {
        if (e->buttons() & Qt::LeftButton)
            form_.QDelayMouse(e->position().toPoint().x(), e->position().toPoint().y(), false);
    }
    void mouseReleaseEvent(QMouseEvent* e) override
    {
        if (e->button() == Qt::LeftButton)
            form_.QDelayMouse(e->position().toPoint().x(), e->position().toPoint().y(), true);
    }

private:
    TLockInOptionForm& form_;
};

TLockInOptionForm::TLockInOptionForm(IDncTool& dnc, TInOutForm& io, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowStaysOnTopHint), dnc_(dnc), io_(io)
{
    setObjectName("LockInOptionForm");
    setWindowTitle("LockIn Options");
    LockInOptionForm = this;
    Build();
}

TLockInOptionForm::~TLockInOptionForm()
{
    if (LockInOptionForm == this)
        LockInOptionForm = nullptr;
}

TNumericEdit* TLockInOptionForm::Edit(const QString& name) const
{
    return findChild<TNumericEdit*>(name);
}

QCheckBox* TLockInOptionForm::Check(const QString& name) const
{
    return findChild<QCheckBox*>(name);
}

QComboBox* TLockInOptionForm::Combo(const QString& name) const
{
    return findChild<QComboBox*>(name);
}

QLabel* TLockInOptionForm::Label(const QString& name) const
{
    return findChild<QLabel*>(name);
}

// ---- building ---------------------------------------------------------------------------------

void TLockInOptionForm::Build()
{
    auto* top = new QVBoxLayout(this);
    pages_ = new QTabWidget(this);
    pages_->setObjectName("Pages");
    pages_->addTab(BuildAcquirePage(), "Acquire");
    pages_->addTab(BuildViewPage(), "View");
    pages_->addTab(BuildQPage(), "Q");
    pages_->addTab(BuildFitPage(), "Fit");
    pages_->addTab(BuildAutoPage(), "Auto");
    pages_->addTab(BuildSavePage(), "Save");
    connect(pages_, &QTabWidget::currentChanged, this, [](int index) {
        if (Ini())
            Ini()->WriteInteger(DncOpt, "activeTab", index);
    });
    top->addWidget(pages_);
    auto* cancel = new QPushButton("Close", this);
    cancel->setObjectName("CancelBtn");
    connect(cancel, &QPushButton::clicked, this, &QWidget::close);
    top->addWidget(cancel, 0, Qt::AlignRight);
}

namespace {
TNumericEdit* AddEdit(QFormLayout* form, QWidget* page, const char* name, const QString& caption)
{
    auto* edit = new TNumericEdit(name, page);
    form->addRow(caption, edit);
    return edit;
}

QCheckBox* AddCheck(QFormLayout* form, QWidget* page, const char* name, const QString& caption)
{
    auto* box = new QCheckBox(caption, page);
    box->setObjectName(name);
    form->addRow(box);
    return box;
}
} // namespace

void TLockInOptionForm::WriteCheck(QCheckBox* box, const char* key, bool apply, bool redraw)
{
    connect(box, &QCheckBox::clicked, this, [this, box, key, apply, redraw] {
        if (Ini())
            Ini()->WriteInteger(DncOpt, key, box->isChecked() ? 1 : 0);
        if (apply)
            dnc_.ApplyOptions();
        if (redraw)
            dnc_.DrawSpectrum();
    });
}

QWidget* TLockInOptionForm::BuildAcquirePage()
{
    auto* page = new QWidget(this);
    auto* form = new QFormLayout(page);
    auto* points = new QComboBox(page);
    points->setObjectName("ComboBoxDataPoints");
    for (const char* item : DataPointItems)
        points->addItem(item);
    form->addRow("data points", points);
    connect(points, &QComboBox::activated, this, &TLockInOptionForm::ComboBoxDataPointsChange);
    AddEdit(form, page, "EditAverage", "average")->OnKey = [this](EditKey k) { EditAverageKeyPress(k); };
    QCheckBox* contin = AddCheck(form, page, "CheckBoxContin", "averaging");
    connect(contin, &QCheckBox::clicked, this, [this, contin] {
        if (Ini())
            Ini()->WriteInteger(DncOpt, "ContAverage", contin->isChecked() ? 0 : -1);
        dnc_.ApplyOptions();
    });
    WriteCheck(AddCheck(form, page, "CheckBoxWobbel", "wobbel"), "Wobbel", false, false);
    auto* harmonic = new QComboBox(page);
    harmonic->setObjectName("ComboBoxHarmonic");
    form->addRow("harmonic", harmonic);
    connect(harmonic, &QComboBox::activated, this, &TLockInOptionForm::ComboBoxHarmonicChange);
    AddEdit(form, page, "EditPhase", "phase")->OnKey = [this](EditKey k) { EditPhaseKeyPress(k); };
    QCheckBox* autoPhase = AddCheck(form, page, "CheckBox1", QString::fromUtf8("Auto 0\u00B0"));
    connect(autoPhase, &QCheckBox::clicked, this, &TLockInOptionForm::CheckBox1Click);
    WriteCheck(AddCheck(form, page, "CheckBoxACDC", "Input AC"), "ac", true, false);
    WriteCheck(AddCheck(form, page, "CheckBox2", "Sync. Filter"), "SyncFilter", true, false);
    return page;
}

QWidget* TLockInOptionForm::BuildViewPage()
{
    auto* page = new QWidget(this);
    auto* form = new QFormLayout(page);
    AddEdit(form, page, "EditHistory", "History Depth")->OnKey = [this](EditKey k) { EditHistoryChange(k); };
    WriteCheck(AddCheck(form, page, "CheckBoxVectors", "Draw Lines"), "vector", false, true);
    WriteCheck(AddCheck(form, page, "CheckBoxWarning", "Show Warning on Mismatched Setting"), "ShowWarning", false,
               false);
    WriteCheck(AddCheck(form, page, "CheckBoxPhase", "Show Phase"), "ShowPhase", false, true);
    TNumericEdit* scale = AddEdit(form, page, "Edit1", "Scale Y-Axis");
    scale->setToolTip("0 = off");
    scale->OnKey = [this](EditKey k) { Edit1KeyPress(k); };
    TNumericEdit* range = AddEdit(form, page, "EditFRange", "max. Frequency Range");
    range->setToolTip("100k-500k");
    range->OnKey = [this](EditKey k) { EditFRangeChange(k); };
    return page;
}

QWidget* TLockInOptionForm::BuildQPage()
{
    auto* page = new QWidget(this);
    auto* box = new QVBoxLayout(page);
    auto* change = new QCheckBox("Change Q", page);
    change->setObjectName("CheckBox3");
    connect(change, &QCheckBox::clicked, this, &TLockInOptionForm::CheckBox3Click);
    box->addWidget(change);
    auto* gain = new QLabel("Gain: 0", page);
    gain->setObjectName("Label14");
    box->addWidget(gain);
    trackBar1_ = new QSlider(Qt::Horizontal, page);
    trackBar1_->setObjectName("TrackBar1");
    trackBar1_->setRange(0, QTrackBarMax);
    connect(trackBar1_, &QSlider::valueChanged, this, &TLockInOptionForm::TrackBar1Change);
    box->addWidget(trackBar1_);
    auto* base = new QLabel(page);
    base->setObjectName("Label15");
    box->addWidget(base);
    auto* delay = new QLabel(QString::fromUtf8("Delay: 0\u00B0"), page);
    delay->setObjectName("QDelayLabel");
    box->addWidget(delay);
    qDelayImage_ = new TQDelayImage(*this, page);
    box->addWidget(qDelayImage_);
    auto* autoDelay = new QPushButton("auto", page);
    autoDelay->setObjectName("AutoQDelayBtn");
    autoDelay->hide();
    autoDelay->setEnabled(false);
    connect(autoDelay, &QPushButton::clicked, this, [this] {
        LockInState.QControlDelay = Round(Ini() ? Ini()->ReadFloat(DncOpt, "phase", 0.0) : 0.0);
        DrawQDelay();
        SpectrumAtChange();
    });
    box->addWidget(autoDelay);
    auto* atChange = new QCheckBox("Spectrum at Change", page);
    atChange->setObjectName("CheckBox4");
    connect(atChange, &QCheckBox::clicked, this, [atChange] {
        if (Ini())
            Ini()->WriteInteger(DncOpt, "QSpecAtChange", atChange->isChecked() ? 1 : 0);
    });
    box->addWidget(atChange);
    auto* toggle = new QPushButton("Spectrum at Change", page);
    toggle->setObjectName("Label26");
    toggle->setFlat(true);
    connect(toggle, &QPushButton::clicked, atChange, &QCheckBox::click);
    box->addWidget(toggle);
    box->addStretch();
    return page;
}

QWidget* TLockInOptionForm::BuildFitPage()
{
    auto* page = new QWidget(this);
    auto* form = new QFormLayout(page);
    QCheckBox* fit = AddCheck(form, page, "fitSHOalwaysCheck", "Fit SHO always");
    connect(fit, &QCheckBox::clicked, this, &TLockInOptionForm::FitShoAlwaysCheckClick);
    fitWidth_ = new QSpinBox(page);
    fitWidth_->setObjectName("FitWidthEdit");
    fitWidth_->setRange(1, 10);
    form->addRow("line width", fitWidth_);
    connect(fitWidth_, &QSpinBox::valueChanged, this, [this](int v) {
        if (creating_)
            return;
        if (Ini())
            Ini()->WriteInteger(DncOpt, "fitSHOwidth", v);
        dnc_.DrawSpectrum();
    });
    auto* color = new QComboBox(page);
    color->setObjectName("FitColorClrBox");
    for (size_t k = 0; k < DncFitColors.size(); ++k) {
        QPixmap swatch(16, 12);
        swatch.fill(DncColorFromBgr(DncFitColors[k]));
        color->addItem(QIcon(swatch), QString());
    }
    form->addRow("colour", color);
    connect(color, &QComboBox::activated, this, [this](int index) {
        if (Ini())
            Ini()->WriteInteger(DncOpt, "fitSHOcolor", index);
        dnc_.DrawSpectrum();
    });
    return page;
}

QWidget* TLockInOptionForm::BuildAutoPage()
{
    auto* page = new QWidget(this);
    auto* form = new QFormLayout(page);
    QCheckBox* on = AddCheck(form, page, "AutoTuneon", "AutoTune On");
    connect(on, &QCheckBox::clicked, this, &TLockInOptionForm::AutoTuneonClick);
    const char* names[4] = {"StartAutoEdit", "StopAutoEdit", "StepAutoEdit", "OffsetAutoEdit"};
    const char* captions[4] = {"start", "stop", "iter. until Range <", "Opt. Frequency = fPeak -"};
    for (int i = 0; i < 4; ++i) {
        auto* row = new QHBoxLayout;
        auto* edit = new TNumericEdit(names[i], page);
        edit->OnKey = [this, i](EditKey k) { AutoEditKeyPress(i, k); };
        row->addWidget(edit);
        if (i < 2) {
            auto* unit = new QPushButton("Hz", page);
            unit->setObjectName(i == 0 ? "Label21" : "Label20");
            unit->setFlat(true);
            connect(unit, &QPushButton::clicked, this, &TLockInOptionForm::AutoUnitLabelClick);
            row->addWidget(unit);
        } else {
            row->addWidget(new QLabel("* fPeak / Q", page));
        }
        form->addRow(captions[i], row);
    }
    return page;
}

QWidget* TLockInOptionForm::BuildSavePage()
{
    auto* page = new QWidget(this);
    auto* form = new QFormLayout(page);
    auto* name = new QLineEdit(page);
    name->setObjectName("EditFileName");
    auto* browse = new QPushButton("...", page);
    browse->setObjectName("BrowseButton");
    connect(browse, &QPushButton::clicked, this, &TLockInOptionForm::BrowseButtonClick);
    auto* nameRow = new QHBoxLayout;
    nameRow->addWidget(name);
    nameRow->addWidget(browse);
    form->addRow("file", nameRow);
    connect(name, &QLineEdit::textEdited, this, [](const QString& t) {
        if (Ini())
            Ini()->WriteString(DncOpt, "SaveName", t);
    });
    auto* ext = new QLineEdit(page);
    ext->setObjectName("EditExtension");
    form->addRow("extension", ext);
    connect(ext, &QLineEdit::textEdited, this, [](const QString& t) {
        if (Ini())
            Ini()->WriteString(DncOpt, "SaveExt", t);
    });
    auto* delimiter = new QComboBox(page);
    delimiter->setObjectName("ComboBoxDelimiter");
    for (const char* item : DelimiterItems)
        delimiter->addItem(item);
    form->addRow("delimiter", delimiter);
    connect(delimiter, &QComboBox::activated, this, [](int index) {
        if (Ini())
            Ini()->WriteInteger(DncOpt, "DelimiterSave", index);
    });
    QCheckBox* numbered = AddCheck(form, page, "CheckBoxNumbered", "Save numbered");
    auto* next = new QLabel(page);
    next->setObjectName("Label4");
    form->addRow(next);
    connect(numbered, &QCheckBox::clicked, this, [this, numbered] {
        if (Ini())
            Ini()->WriteInteger(DncOpt, "SaveNumbered", numbered->isChecked() ? 1 : 0);
        ShowNextNumber();
    });
    QCheckBox* comment = AddCheck(form, page, "CheckBoxComment", "Comment each file");
    auto* commentEdit = new QLineEdit(page);
    commentEdit->setObjectName("EditComment");
    form->addRow(commentEdit);
    connect(comment, &QCheckBox::clicked, this, [comment, commentEdit] {
        if (Ini())
            Ini()->WriteInteger(DncOpt, "SaveComment", comment->isChecked() ? 1 : 0);
        commentEdit->setVisible(comment->isChecked());
    });
    connect(commentEdit, &QLineEdit::textEdited, this, [](const QString& t) {
        if (Ini())
            Ini()->WriteString(DncOpt, "Comment", t);
    });
    QCheckBox* xAxis = AddCheck(form, page, "xAxisCheck", "X-Axis");
    connect(xAxis, &QCheckBox::clicked, this, [this, xAxis] {
        if (Ini())
            Ini()->WriteInteger(DncOpt, "xAxis", xAxis->isChecked() ? 1 : 0);
        if (TNumericEdit* range = Edit("EditFRange")) {
            range->setEnabled(xAxis->isChecked());
            range->setReadOnly(!xAxis->isChecked());
        }
    });
    WriteCheck(AddCheck(form, page, "SavePhaseCheck", "Phase"), "SavePhase", false, false);
    return page;
}

// ---- creation -----------------------------------------------------------------------------------

void TLockInOptionForm::FormCreate()
{
    creating_ = true;
    TQVTIniFile* ini = Ini();
    auto readInt = [ini](const char* key, int def) { return ini ? ini->ReadInteger(DncOpt, key, def) : def; };
    auto readText = [ini](const char* key, const QString& def) {
        return ini ? ini->ReadString(DncOpt, key, def) : def;
    };
    if (ini) {
        move(ini->ReadFormPosLeft(DncOpt, 10), ini->ReadInteger(DncOpt, "FormPosTop", 1));
        // The read-out scale starts off with every run.
        ini->WriteInteger(DncOpt, "ScaleY", 0);
    }
    pages_->setCurrentIndex(std::clamp(readInt("activeTab", 0), 0, pages_->count() - 1));
    ApplyGates();

    Combo("ComboBoxDataPoints")->setCurrentText(QString::number(readInt("datapoints", 512)));
    Edit("EditAverage")->setText(QString::number(readInt("average", 0)));
    Check("CheckBoxContin")->setChecked(readInt("ContAverage", -1) == 0);
    Check("CheckBoxWobbel")->setChecked(readInt("Wobbel", 0) != 0);
    QComboBox* harmonic = Combo("ComboBoxHarmonic");
    harmonic->setCurrentIndex(harmonic->findText(readText("harmonic", "1")));
    Edit("EditPhase")->setText(readText("phase", "0"));
    Check("CheckBox1")->setChecked(readInt("AutoPhase", 0) == 1);
    Edit("EditPhase")->setEnabled(!Check("CheckBox1")->isChecked());
    Check("CheckBoxACDC")->setChecked(!Check("CheckBoxACDC")->isHidden() && readInt("ac", 0) != 0);
    Check("CheckBox2")->setChecked(readInt("SyncFilter", 0) != 0);

    Edit("EditHistory")->setText(QString::number(readInt("history", 0)));
    Check("CheckBoxVectors")->setChecked(readInt("vector", 1) != 0);
    Check("CheckBoxWarning")->setChecked(readInt("ShowWarning", 1) != 0);
    Check("CheckBoxPhase")->setChecked(readInt("ShowPhase", 0) != 0);
    Edit("Edit1")->setText("0");
    Edit("EditFRange")->setText(MainIni ? MainIni->ReadString("dnc", "Popup0", "20k-400k") : QString("20k-400k"));

    const bool q = readInt("QEnabled", 0) != 0;
    Check("CheckBox3")->setChecked(q);
    Check("CheckBox4")->setChecked(readInt("QSpecAtChange", 0) != 0);
    LockInState.QControlDelay = readInt("QDelay", 10);
    qDelayImage_->Angle = static_cast<int>(LockInState.QControlDelay);
    Label("QDelayLabel")->setText(QString::fromUtf8("Delay: %1\u00B0").arg(qDelayImage_->Angle));
    trackBar1_->blockSignals(true);
    trackBar1_->setValue(UserIni ? UserIni->ReadInteger(DncOpt, "TrackBar1Pos", 100) : 100);
    trackBar1_->blockSignals(false);

    Check("fitSHOalwaysCheck")->setChecked(readInt("fitSHOalways", 0) != 0);
    fitWidth_->setValue(std::clamp(readInt("fitSHOwidth", 1), 1, 10));
    Combo("FitColorClrBox")
        ->setCurrentIndex(std::clamp(readInt("fitSHOcolor", 0), 0, Combo("FitColorClrBox")->count() - 1));

    const bool autoOn = readInt("AutoTuneOn", 0) != 0;
    Check("AutoTuneon")->setChecked(autoOn);
    if (autoOn) {
        Check("fitSHOalwaysCheck")->setChecked(true);
        if (ini)
            ini->WriteInteger(DncOpt, "fitSHOalways", 1);
    }
    Check("fitSHOalwaysCheck")->setEnabled(!autoOn);
    autoTag_ = readInt("Tag", 0);
    Edit("StepAutoEdit")->setText(readText("AutoTuneStep", "5"));
    Edit("OffsetAutoEdit")->setText(readText("AutoTuneOffset", "0.35"));
    ShowAutoTuneFrequencies();

    findChild<QLineEdit*>("EditFileName")->setText(readText("SaveName", "c:\\temp\\noname"));
    findChild<QLineEdit*>("EditExtension")->setText(readText("SaveExt", "txt"));
    Combo("ComboBoxDelimiter")->setCurrentIndex(std::clamp(readInt("DelimiterSave", 0), 0, 4));
    Check("CheckBoxNumbered")->setChecked(readInt("SaveNumbered", 0) != 0);
    ShowNextNumber();
    Check("CheckBoxComment")->setChecked(readInt("SaveComment", 0) != 0);
    findChild<QLineEdit*>("EditComment")->setText(readText("Comment", ""));
    findChild<QLineEdit*>("EditComment")->setVisible(Check("CheckBoxComment")->isChecked());
    Check("xAxisCheck")->setChecked(readInt("xAxis", 1) != 0);
    Edit("EditFRange")->setEnabled(Check("xAxisCheck")->isChecked());
    Check("SavePhaseCheck")->setChecked(readInt("SavePhase", 0) != 0);
    creating_ = false;
    // The Q page's controls follow the check box without touching the controller twice.
    const bool enabled = q;
    for (const char* name : {"Label14", "Label15", "QDelayLabel"})
        Label(name)->setEnabled(enabled);
    trackBar1_->setEnabled(enabled);
    qDelayImage_->setEnabled(enabled);
    Check("CheckBox4")->setEnabled(enabled);
    dnc_.ApplyOptions();
}

void TLockInOptionForm::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    ShowQGain();
}

void TLockInOptionForm::FormDestroy()
{
    if (Ini()) {
        Ini()->WriteInteger(DncOpt, "FormPosLeft", x());
        Ini()->WriteInteger(DncOpt, "FormPosTop", y());
    }
}

void TLockInOptionForm::ApplyGates()
{
    const bool sync = MainIni && MainIni->ReadBool("Scanner", "SyncFilter", false);
    const TOptionGates g = LockInOptionGates(io_.Caps, sync);
    QComboBox* harmonic = Combo("ComboBoxHarmonic");
    harmonic->clear();
    harmonic->addItems(g.Harmonics);
    harmonic->setEnabled(g.HarmonicEnabled);
    harmonic->setToolTip(g.HarmonicHint ? "Controller type 26 does not support this option" : QString());
    QCheckBox* ac = Check("CheckBoxACDC");
    ac->setVisible(g.AcVisible);
    if (!g.AcVisible)
        ac->setChecked(false);
    QCheckBox* syncBox = Check("CheckBox2");
    syncBox->setVisible(g.SyncFilterVisible);
    if (!io_.Caps.DigitalLockIn())
        syncBox->setChecked(false);
    pages_->setTabVisible(2, g.QPageVisible);
}

// ---- Acquire and View -----------------------------------------------------------------------------

void TLockInOptionForm::ComboBoxDataPointsChange()
{
    if (Ini())
        Ini()->WriteInteger(DncOpt, "datapoints", Combo("ComboBoxDataPoints")->currentText().toInt());
    dnc_.ApplyOptions();
}

void TLockInOptionForm::ComboBoxHarmonicChange()
{
    if (Ini())
        Ini()->WriteString(DncOpt, "harmonic", Combo("ComboBoxHarmonic")->currentText());
    dnc_.ApplyOptions();
}

void TLockInOptionForm::TakeLimitedCount(EditKey key, const char* edit, const char* iniKey, int (*limit)(int))
{
    // A whole count, limited to its range and shown as taken, then applied.
    TNumericEdit* e = Edit(edit);
    double v = 0.0;
    if (key != EditKey::Enter || !ParseNumber(e->text(), v)) {
        if (key == EditKey::Enter)
            e->MarkRefused();
        return;
    }
    const int limited = limit(static_cast<int>(std::clamp(Round(v), -1.0e9, 1.0e9)));
    e->setText(QString::number(limited));
    e->MarkAccepted();
    if (Ini())
        Ini()->WriteInteger(DncOpt, iniKey, limited);
    dnc_.ApplyOptions();
}

void TLockInOptionForm::EditAverageKeyPress(EditKey key)
{
    TakeLimitedCount(key, "EditAverage", "average", ClampOptionAverage);
}

void TLockInOptionForm::EditHistoryChange(EditKey key)
{
    TakeLimitedCount(key, "EditHistory", "history", ClampOptionHistory);
}

void TLockInOptionForm::TakeStoredNumber(EditKey key, const char* edit, const char* iniKey, bool single)
{
    // A number stored as typed (the phase as a single) and shown as the file holds it, then applied.
    TNumericEdit* e = Edit(edit);
    double v = 0.0;
    if (key != EditKey::Enter)
        return;
    if (!ParseNumber(e->text(), v)) {
        e->MarkRefused();
        return;
    }
    if (Ini()) {
        Ini()->WriteFloat(DncOpt, iniKey, single ? static_cast<float>(v) : v);
        e->setText(Ini()->ReadString(DncOpt, iniKey, "0"));
    }
    e->MarkAccepted();
    dnc_.ApplyOptions();
}

void TLockInOptionForm::EditPhaseKeyPress(EditKey key)
{
    TakeStoredNumber(key, "EditPhase", "phase", true);
}

void TLockInOptionForm::Edit1KeyPress(EditKey key)
{
    TakeStoredNumber(key, "Edit1", "ScaleY", false);
}

void TLockInOptionForm::EditFRangeChange(EditKey key)
{
    TNumericEdit* e = Edit("EditFRange");
    if (key != EditKey::Enter)
        return;
    if (!e->text().contains('-')) {
        e->MarkRefused();
        return;
    }
    e->MarkAccepted();
    if (MainIni)
        MainIni->WriteString("dnc", "Popup0", e->text());
    dnc_.ApplyOptions();
}

void TLockInOptionForm::CheckBox1Click()
{
    const bool on = Check("CheckBox1")->isChecked();
    if (Ini())
        Ini()->WriteInteger(DncOpt, "AutoPhase", on ? 1 : 0);
    Edit("EditPhase")->setEnabled(!on);
    if (!on)
        EditPhaseKeyPress(EditKey::Enter);
}

// ---- Q ------------------------------------------------------------------------------------------

void TLockInOptionForm::CheckBox3Click()
{
    const bool on = Check("CheckBox3")->isChecked();
    if (on) {
        const int pos = UserIni ? UserIni->ReadInteger(DncOpt, "TrackBar1Pos", 100) : 100;
        trackBar1_->blockSignals(true);
        trackBar1_->setValue(pos);
        trackBar1_->blockSignals(false);
        if (Ini())
            Ini()->WriteInteger(DncOpt, "QEnabled", 1); // the gain below goes out with Q control on
        TrackBar1Change();
        LockInState.QControlDelay = Ini() ? Ini()->ReadInteger(DncOpt, "QDelay", 10) : 10;
        DrawQDelay();
        Check("CheckBox4")->setChecked(Ini() && Ini()->ReadBool(DncOpt, "QSpecAtChange", false));
    } else {
        Label("Label14")->setText("Gain: 0");
        Label("QDelayLabel")->setText(QString::fromUtf8("Delay: 0\u00B0"));
        Label("Label15")->clear();
        LockInState.QControlGain = 0;
        LockInState.QControlDelay = 0;
        io_.SetPhaseShifter(0, 0, LockInState.DriveFrequency);
    }
    for (const char* name : {"Label14", "Label15", "QDelayLabel"})
        Label(name)->setEnabled(on);
    trackBar1_->setEnabled(on);
    qDelayImage_->setEnabled(on);
    Check("CheckBox4")->setEnabled(on);
    if (Ini())
        Ini()->WriteInteger(DncOpt, "QEnabled", on ? 1 : 0);
    dnc_.QControlChanged();
}

void TLockInOptionForm::TrackBar1Change()
{
    if (creating_)
        return;
    ShowQGain();
    if (qSpectrumRunning_)
        return;
    LockInState.QControlGain = QControlGainWord(trackBar1_->value());
    if (UserIni)
        UserIni->WriteInteger(DncOpt, "TrackBar1Pos", trackBar1_->value());
    io_.SetPhaseShifter(LockInState.QControlGain, LockInState.QControlDelay, LockInState.DriveFrequency);
    SpectrumAtChange();
}

void TLockInOptionForm::SpectrumAtChange()
{
    if (!Check("CheckBox4")->isChecked() || !dnc_.ToolShown() || dnc_.Acquiring() || qSpectrumRunning_)
        return;
    qSpectrumRunning_ = true;
    // The acquisition runs on the resonance window's timer; its end releases the flag.
    const QMetaObject::Connection ended = dnc_.WhenAcquisitionEnds(this, [this] { qSpectrumRunning_ = false; });
    dnc_.AcquireAndShow();
    if (!dnc_.Acquiring()) {
        // It ended at once (a refused range): nothing is left running.
        disconnect(ended);
        qSpectrumRunning_ = false;
    }
}

void TLockInOptionForm::QDelayMouse(int x, int y, bool release)
{
    if (!qDelayImage_->isEnabled())
        return;
    if (release) {
        SpectrumAtChange();
        return;
    }
    const int dx = x - qDelayImage_->width() / 2;
    const int dy = qDelayImage_->height() / 2 - y;
    LockInState.QControlDelay = QDelayAngle(dx, dy);
    DrawQDelay();
}

void TLockInOptionForm::DrawQDelay()
{
    const int angle = static_cast<int>(Round(LockInState.QControlDelay));
    qDelayImage_->Angle = angle;
    qDelayImage_->update();
    Label("QDelayLabel")->setText(QString::fromUtf8("Delay: %1\u00B0").arg(angle));
    if (Ini())
        Ini()->WriteInteger(DncOpt, "QDelay", angle);
    io_.SetPhaseShifter(LockInState.QControlGain, LockInState.QControlDelay, LockInState.DriveFrequency);
}

void TLockInOptionForm::ShowQGain()
{
    if (pages_->currentIndex() != 2 || !Check("CheckBox3")->isChecked())
        return;
    const int slot = MainIni ? MainIni->ReadInteger("dnc", "channel", DefaultAmplitudeSlot) : DefaultAmplitudeSlot;
    const TIOScale& drive = ChannelTable[DriveSlot];
    const TIOScale& amplitude = ChannelTable[static_cast<size_t>(IsValidSlot(slot) ? slot : DefaultAmplitudeSlot)];
    const double fraction = static_cast<double>(trackBar1_->value()) / trackBar1_->maximum();
    const TQGainText t = QGainText(fraction, drive.Factor, amplitude.Factor, drive.UnitName, amplitude.UnitName);
    Label("Label14")->setText(t.Gain);
    Label("Label15")->setText(t.Base);
}

// ---- Fit and Auto ----------------------------------------------------------------------------------

void TLockInOptionForm::FitShoAlwaysCheckClick()
{
    if (Ini())
        Ini()->WriteInteger(DncOpt, "fitSHOalways", Check("fitSHOalwaysCheck")->isChecked() ? 1 : 0);
    dnc_.HideFitLabels();
    dnc_.DrawSpectrum();
}

void TLockInOptionForm::AutoTuneonClick()
{
    const bool on = Check("AutoTuneon")->isChecked();
    if (Ini())
        Ini()->WriteInteger(DncOpt, "AutoTuneOn", on ? 1 : 0);
    QCheckBox* fit = Check("fitSHOalwaysCheck");
    if (on) {
        fit->setChecked(true);
        FitShoAlwaysCheckClick();
    }
    fit->setEnabled(!on);
    dnc_.UpdateScanGlyph();
}

void TLockInOptionForm::AutoEditKeyPress(int edit, EditKey key)
{
    const char* names[4] = {"StartAutoEdit", "StopAutoEdit", "StepAutoEdit", "OffsetAutoEdit"};
    const char* keys[4] = {"AutoTuneStartF", "AutoTuneStopF", "AutoTuneStep", "AutoTuneOffset"};
    if (edit < 0 || edit > 3 || key != EditKey::Enter)
        return;
    TNumericEdit* e = Edit(names[edit]);
    QString text = e->text();
    double factor = 1.0;
    if (edit < 2) {
        int tag = autoTag_;
        if (text.contains('k'))
            tag = 1;
        else if (text.contains('M'))
            tag = 2;
        else if (text.contains('m'))
            tag = -1;
        text.remove('k').remove('M').remove('m');
        if (tag != autoTag_) {
            autoTag_ = tag;
            if (Ini())
                Ini()->WriteInteger(DncOpt, "Tag", autoTag_);
        }
        factor = DncUnitFactor(autoTag_);
    }
    double v = 0.0;
    if (!ParseNumber(text.trimmed(), v)) {
        e->MarkRefused();
        return;
    }
    if (Ini())
        Ini()->WriteFloat(DncOpt, keys[edit], v * factor);
    e->MarkAccepted();
    if (edit < 2)
        ShowAutoTuneFrequencies();
}

void TLockInOptionForm::AutoUnitLabelClick()
{
    autoTag_ = DncNextUnitTag(autoTag_);
    if (Ini())
        Ini()->WriteInteger(DncOpt, "Tag", autoTag_);
    ShowAutoTuneFrequencies();
}

void TLockInOptionForm::ShowAutoTuneFrequencies()
{
    if (autoTag_ < -1 || autoTag_ > 2)
        autoTag_ = -1;
    const double start = Ini() ? Ini()->ReadFloat(DncOpt, "AutoTuneStartF", 10000.0) : 10000.0;
    const double stop = Ini() ? Ini()->ReadFloat(DncOpt, "AutoTuneStopF", 30000.0) : 30000.0;
    auto number = [this](double hz) {
        const QString t = AutoTuneFrequencyText(hz, autoTag_);
        return t.left(t.lastIndexOf(' '));
    };
    Edit("StartAutoEdit")->setText(number(start));
    Edit("StopAutoEdit")->setText(number(stop));
    Edit("StartAutoEdit")->MarkAccepted();
    Edit("StopAutoEdit")->MarkAccepted();
    for (const char* name : {"Label21", "Label20"})
        findChild<QPushButton*>(name)->setText(DncUnitLabel(autoTag_));
}

// ---- Save --------------------------------------------------------------------------------------------

void TLockInOptionForm::ShowOptions()
{
    show();
    raise();
}

void TLockInOptionForm::ShowPhase(const QString& text)
{
    if (TNumericEdit* e = Edit("EditPhase"))
        e->setText(text);
}

void TLockInOptionForm::ShowSaveName(const QString& base, const QString& extension)
{
    if (auto* e = findChild<QLineEdit*>("EditExtension"))
        e->setText(extension);
    if (auto* e = findChild<QLineEdit*>("EditFileName"))
        e->setText(base);
}

void TLockInOptionForm::ShowNextNumber()
{
    QLabel* label = Label("Label4");
    const bool numbered = Check("CheckBoxNumbered")->isChecked();
    label->setVisible(numbered);
    label->setText("next nr.:" + QString::number(Ini() ? Ini()->ReadInteger(DncOpt, "NextNumber", 0) : 0));
}

void TLockInOptionForm::BrowseButtonClick()
{
    const QString ext = Ini() ? Ini()->ReadString(DncOpt, "SaveExt", "txt") : QString("txt");
    const QString name = Ini() ? Ini()->ReadString(DncOpt, "SaveName", "c:\\temp\\noname") : QString();
    const QString local = DncLocalPath(name);
    const QString chosen =
        dnc_.AskSpectrumSaveName("spectra (*." + ext + ")", QFileInfo(local).path(), QFileInfo(local).fileName() + "." + ext);
    if (chosen.isEmpty())
        return;
    const QFileInfo info(chosen);
    const QString newExt = info.suffix();
    QString base = chosen;
    if (!newExt.isEmpty())
        base.chop(newExt.size() + 1);
    findChild<QLineEdit*>("EditExtension")->setText(newExt);
    findChild<QLineEdit*>("EditFileName")->setText(base);
    if (Ini()) {
        Ini()->WriteString(DncOpt, "SaveExt", newExt);
        Ini()->WriteString(DncOpt, "SaveName", base);
    }
}

} // namespace qvt
