#include "lockin/LockInOptionForm.h"

#include "core/IniFile.h"
#include "core/NumberText.h"
#include "core/SharedState.h"
#include "device/ChannelTable.h"
#include "device/InOutForm.h"
#include "lockin/DncExport.h"
#include "lockin/DncPlot.h"
#include "lockin/LockInOptions.h"
#include "widgets/KeepRoom.h"
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

namespace {
using Opt = TDncOptions;
constexpr int DriveSlot = 10; // the drive amplitude output
constexpr int DefaultAmplitudeSlot = 12;
const char* const DataPointItems[] = {"256", "512", "1024", "2048", "4096"};
const char* const DelimiterItems[] = {"none", "TAB", "space", ",", "."};
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

TLockInOptionForm::TLockInOptionForm(IDncTool& dnc, TDncOptions& options, TInOutForm& io, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowStaysOnTopHint), dnc_(dnc), options_(options), io_(io)
{
    setObjectName("LockInOptionForm");
    setWindowTitle("LockIn Options");
    LockInOptionForm = this;
    Build();
    connect(&options_, &TDncOptions::changed, this, &TLockInOptionForm::OptionChanged);
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
    connect(pages_, &QTabWidget::currentChanged, this,
            [this](int index) { options_.WriteInteger(Opt::ActiveTab, index, this); });
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

void TLockInOptionForm::WriteCheck(QCheckBox* box, TDncOptions::Key key)
{
    connect(box, &QCheckBox::clicked, this, [this, box, key] { options_.WriteBool(key, box->isChecked(), this); });
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
    connect(contin, &QCheckBox::clicked, this,
            [this, contin] { options_.WriteInteger(Opt::ContAverage, contin->isChecked() ? 0 : -1, this); });
    WriteCheck(AddCheck(form, page, "CheckBoxWobbel", "wobbel"), Opt::Wobbel);
    auto* harmonic = new QComboBox(page);
    harmonic->setObjectName("ComboBoxHarmonic");
    form->addRow("harmonic", harmonic);
    connect(harmonic, &QComboBox::activated, this, &TLockInOptionForm::ComboBoxHarmonicChange);
    AddEdit(form, page, "EditPhase", "phase")->OnKey = [this](EditKey k) { EditPhaseKeyPress(k); };
    QCheckBox* autoPhase = AddCheck(form, page, "CheckBox1", QString::fromUtf8("Auto 0\u00B0"));
    connect(autoPhase, &QCheckBox::clicked, this, &TLockInOptionForm::CheckBox1Click);
    WriteCheck(AddCheck(form, page, "CheckBoxACDC", "Input AC"), Opt::Ac);
    WriteCheck(AddCheck(form, page, "CheckBox2", "Sync. Filter"), Opt::SyncFilter);
    return page;
}

QWidget* TLockInOptionForm::BuildViewPage()
{
    auto* page = new QWidget(this);
    auto* form = new QFormLayout(page);
    AddEdit(form, page, "EditHistory", "History Depth")->OnKey = [this](EditKey k) { EditHistoryChange(k); };
    WriteCheck(AddCheck(form, page, "CheckBoxVectors", "Draw Lines"), Opt::Vector);
    WriteCheck(AddCheck(form, page, "CheckBoxWarning", "Show Warning on Mismatched Setting"), Opt::ShowWarning);
    WriteCheck(AddCheck(form, page, "CheckBoxPhase", "Show Phase"), Opt::ShowPhase);
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
        LockInState.QControlDelay = Round(options_.Number(Opt::Phase));
        DrawQDelay();
        SpectrumAtChange();
    });
    box->addWidget(autoDelay);
    auto* atChange = new QCheckBox("Spectrum at Change", page);
    atChange->setObjectName("CheckBox4");
    connect(atChange, &QCheckBox::clicked, this,
            [this, atChange] { options_.WriteBool(Opt::QSpecAtChange, atChange->isChecked(), this); });
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
        options_.WriteInteger(Opt::FitShoWidth, v, this);
    });
    auto* color = new QComboBox(page);
    color->setObjectName("FitColorClrBox");
    for (size_t k = 0; k < DncFitColors.size(); ++k) {
        QPixmap swatch(16, 12);
        swatch.fill(DncColorFromBgr(DncFitColors[k]));
        color->addItem(QIcon(swatch), QString());
    }
    form->addRow("colour", color);
    connect(color, &QComboBox::activated, this,
            [this](int index) { options_.WriteInteger(Opt::FitShoColor, index, this); });
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
    connect(name, &QLineEdit::textEdited, this,
            [this](const QString& t) { options_.WriteText(Opt::SaveName, t, this); });
    auto* ext = new QLineEdit(page);
    ext->setObjectName("EditExtension");
    form->addRow("extension", ext);
    connect(ext, &QLineEdit::textEdited, this, [this](const QString& t) { options_.WriteText(Opt::SaveExt, t, this); });
    auto* delimiter = new QComboBox(page);
    delimiter->setObjectName("ComboBoxDelimiter");
    for (const char* item : DelimiterItems)
        delimiter->addItem(item);
    form->addRow("delimiter", delimiter);
    connect(delimiter, &QComboBox::activated, this,
            [this](int index) { options_.WriteInteger(Opt::DelimiterSave, index, this); });
    QCheckBox* numbered = AddCheck(form, page, "CheckBoxNumbered", "Save numbered");
    auto* next = new QLabel(page);
    next->setObjectName("Label4");
    form->addRow(HolderKeepingRoom(next));
    connect(numbered, &QCheckBox::clicked, this, [this, numbered] {
        options_.WriteBool(Opt::SaveNumbered, numbered->isChecked(), this);
        ShowNextNumber();
    });
    QCheckBox* comment = AddCheck(form, page, "CheckBoxComment", "Comment each file");
    auto* commentEdit = new QLineEdit(page);
    commentEdit->setObjectName("EditComment");
    form->addRow(HolderKeepingRoom(commentEdit));
    connect(comment, &QCheckBox::clicked, this, [this, comment, commentEdit] {
        options_.WriteBool(Opt::SaveComment, comment->isChecked(), this);
        commentEdit->setVisible(comment->isChecked());
    });
    connect(commentEdit, &QLineEdit::textEdited, this,
            [this](const QString& t) { options_.WriteText(Opt::Comment, t, this); });
    QCheckBox* xAxis = AddCheck(form, page, "xAxisCheck", "X-Axis");
    connect(xAxis, &QCheckBox::clicked, this, [this, xAxis] {
        options_.WriteBool(Opt::XAxis, xAxis->isChecked(), this);
        if (TNumericEdit* range = Edit("EditFRange")) {
            range->setEnabled(xAxis->isChecked());
            range->setReadOnly(!xAxis->isChecked());
        }
    });
    WriteCheck(AddCheck(form, page, "SavePhaseCheck", "Phase"), Opt::SavePhase);
    return page;
}

// ---- creation -----------------------------------------------------------------------------------

void TLockInOptionForm::FormCreate()
{
    // The controls take the settings; the resonance window then applies the
    // whole section once, at the end.
    TDncOptions::TBatch batch(options_);
    creating_ = true;
    const TDncOptions& o = options_;
    move(o.FormLeft(), o.Integer(Opt::FormPosTop));
    // The read-out scale starts off with every run.
    options_.WriteInteger(Opt::ScaleY, 0, this);
    pages_->setCurrentIndex(std::clamp(o.Integer(Opt::ActiveTab), 0, pages_->count() - 1));
    ApplyGates();

    Combo("ComboBoxDataPoints")->setCurrentText(QString::number(o.Integer(Opt::DataPoints)));
    Edit("EditAverage")->setText(QString::number(o.Integer(Opt::Average)));
    Check("CheckBoxContin")->setChecked(o.Integer(Opt::ContAverage) == 0);
    Check("CheckBoxWobbel")->setChecked(o.Flag(Opt::Wobbel));
    QComboBox* harmonic = Combo("ComboBoxHarmonic");
    harmonic->setCurrentIndex(harmonic->findText(o.Text(Opt::Harmonic)));
    Edit("EditPhase")->setText(o.Text(Opt::Phase));
    Check("CheckBox1")->setChecked(o.Integer(Opt::AutoPhase) == 1);
    Edit("EditPhase")->setEnabled(!Check("CheckBox1")->isChecked());
    Check("CheckBoxACDC")->setChecked(!Check("CheckBoxACDC")->isHidden() && o.Flag(Opt::Ac));
    Check("CheckBox2")->setChecked(o.Flag(Opt::SyncFilter));

    Edit("EditHistory")->setText(QString::number(o.Integer(Opt::History)));
    Check("CheckBoxVectors")->setChecked(o.Flag(Opt::Vector));
    Check("CheckBoxWarning")->setChecked(o.Flag(Opt::ShowWarning));
    Check("CheckBoxPhase")->setChecked(o.Flag(Opt::ShowPhase));
    Edit("Edit1")->setText("0");
    Edit("EditFRange")->setText(o.Text(Opt::Popup0));

    const bool q = o.Flag(Opt::QEnabled);
    Check("CheckBox3")->setChecked(q);
    Check("CheckBox4")->setChecked(o.Flag(Opt::QSpecAtChange));
    LockInState.QControlDelay = o.Integer(Opt::QDelay);
    qDelayImage_->Angle = static_cast<int>(LockInState.QControlDelay);
    Label("QDelayLabel")->setText(QString::fromUtf8("Delay: %1\u00B0").arg(qDelayImage_->Angle));
    trackBar1_->blockSignals(true);
    trackBar1_->setValue(o.Integer(Opt::TrackBar1Pos));
    trackBar1_->blockSignals(false);

    Check("fitSHOalwaysCheck")->setChecked(o.Flag(Opt::FitShoAlways));
    fitWidth_->setValue(std::clamp(o.Integer(Opt::FitShoWidth), 1, 10));
    Combo("FitColorClrBox")
        ->setCurrentIndex(std::clamp(o.Integer(Opt::FitShoColor), 0, Combo("FitColorClrBox")->count() - 1));

    const bool autoOn = o.Flag(Opt::AutoTuneOn);
    Check("AutoTuneon")->setChecked(autoOn);
    if (autoOn) {
        Check("fitSHOalwaysCheck")->setChecked(true);
        options_.WriteInteger(Opt::FitShoAlways, 1, this);
    }
    Check("fitSHOalwaysCheck")->setEnabled(!autoOn);
    autoTag_ = o.Integer(Opt::Tag);
    Edit("StepAutoEdit")->setText(o.Text(Opt::AutoTuneStep));
    Edit("OffsetAutoEdit")->setText(o.Text(Opt::AutoTuneOffset));
    ShowAutoTuneFrequencies();

    findChild<QLineEdit*>("EditFileName")->setText(o.Text(Opt::SaveName));
    findChild<QLineEdit*>("EditExtension")->setText(o.Text(Opt::SaveExt));
    Combo("ComboBoxDelimiter")->setCurrentIndex(std::clamp(o.Integer(Opt::DelimiterSave), 0, 4));
    Check("CheckBoxNumbered")->setChecked(o.Flag(Opt::SaveNumbered));
    ShowNextNumber();
    Check("CheckBoxComment")->setChecked(o.Flag(Opt::SaveComment));
    findChild<QLineEdit*>("EditComment")->setText(o.Text(Opt::Comment));
    findChild<QLineEdit*>("EditComment")->setVisible(Check("CheckBoxComment")->isChecked());
    Check("xAxisCheck")->setChecked(o.Flag(Opt::XAxis));
    Edit("EditFRange")->setEnabled(Check("xAxisCheck")->isChecked());
    Check("SavePhaseCheck")->setChecked(o.Flag(Opt::SavePhase));
    creating_ = false;
    // The Q page's controls follow the check box without touching the controller twice.
    const bool enabled = q;
    for (const char* name : {"Label14", "Label15", "QDelayLabel"})
        Label(name)->setEnabled(enabled);
    trackBar1_->setEnabled(enabled);
    qDelayImage_->setEnabled(enabled);
    Check("CheckBox4")->setEnabled(enabled);
    options_.Announce(Opt::All, this);
}

void TLockInOptionForm::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    ShowQGain();
}

void TLockInOptionForm::FormDestroy()
{
    options_.WriteInteger(Opt::FormPosLeft, x(), this);
    options_.WriteInteger(Opt::FormPosTop, y(), this);
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
    options_.WriteInteger(Opt::DataPoints, Combo("ComboBoxDataPoints")->currentText().toInt(), this);
}

void TLockInOptionForm::ComboBoxHarmonicChange()
{
    options_.WriteText(Opt::Harmonic, Combo("ComboBoxHarmonic")->currentText(), this);
}

void TLockInOptionForm::TakeLimitedCount(EditKey key, const char* edit, TDncOptions::Key option, int (*limit)(int))
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
    options_.WriteInteger(option, limited, this);
}

void TLockInOptionForm::EditAverageKeyPress(EditKey key)
{
    TakeLimitedCount(key, "EditAverage", Opt::Average, ClampOptionAverage);
}

void TLockInOptionForm::EditHistoryChange(EditKey key)
{
    TakeLimitedCount(key, "EditHistory", Opt::History, ClampOptionHistory);
}

void TLockInOptionForm::TakeStoredNumber(EditKey key, const char* edit, TDncOptions::Key option, bool single)
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
    options_.WriteFloat(option, single ? static_cast<float>(v) : v, this);
    e->setText(options_.Text(option));
    e->MarkAccepted();
}

void TLockInOptionForm::EditPhaseKeyPress(EditKey key)
{
    TakeStoredNumber(key, "EditPhase", Opt::Phase, true);
}

void TLockInOptionForm::Edit1KeyPress(EditKey key)
{
    TakeStoredNumber(key, "Edit1", Opt::ScaleY, false);
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
    options_.WriteText(Opt::Popup0, e->text(), this);
}

void TLockInOptionForm::CheckBox1Click()
{
    const bool on = Check("CheckBox1")->isChecked();
    options_.WriteInteger(Opt::AutoPhase, on ? 1 : 0, this);
    Edit("EditPhase")->setEnabled(!on);
    if (!on)
        EditPhaseKeyPress(EditKey::Enter);
}

// ---- Q ------------------------------------------------------------------------------------------

void TLockInOptionForm::CheckBox3Click()
{
    // The resonance window hears of the switch once, when all of it is done.
    TDncOptions::TBatch batch(options_);
    const bool on = Check("CheckBox3")->isChecked();
    if (on) {
        const int pos = options_.Integer(Opt::TrackBar1Pos);
        trackBar1_->blockSignals(true);
        trackBar1_->setValue(pos);
        trackBar1_->blockSignals(false);
        options_.WriteInteger(Opt::QEnabled, 1, this); // the gain below goes out with Q control on
        TrackBar1Change();
        LockInState.QControlDelay = options_.Integer(Opt::QDelay);
        DrawQDelay();
        Check("CheckBox4")->setChecked(options_.Flag(Opt::QSpecAtChange));
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
    options_.WriteInteger(Opt::QEnabled, on ? 1 : 0, this);
}

void TLockInOptionForm::TrackBar1Change()
{
    if (creating_)
        return;
    ShowQGain();
    if (qSpectrumRunning_)
        return;
    LockInState.QControlGain = QControlGainWord(trackBar1_->value());
    options_.WriteInteger(Opt::TrackBar1Pos, trackBar1_->value(), this);
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
    options_.WriteInteger(Opt::QDelay, angle, this);
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
    options_.WriteBool(Opt::FitShoAlways, Check("fitSHOalwaysCheck")->isChecked(), this);
}

void TLockInOptionForm::AutoTuneonClick()
{
    const bool on = Check("AutoTuneon")->isChecked();
    options_.WriteBool(Opt::AutoTuneOn, on, this);
    QCheckBox* fit = Check("fitSHOalwaysCheck");
    if (on) {
        fit->setChecked(true);
        FitShoAlwaysCheckClick();
    }
    fit->setEnabled(!on);
}

void TLockInOptionForm::AutoEditKeyPress(int edit, EditKey key)
{
    const char* names[4] = {"StartAutoEdit", "StopAutoEdit", "StepAutoEdit", "OffsetAutoEdit"};
    const TDncOptions::Key keys[4] = {Opt::AutoTuneStartF, Opt::AutoTuneStopF, Opt::AutoTuneStep, Opt::AutoTuneOffset};
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
            options_.WriteInteger(Opt::Tag, autoTag_, this);
        }
        factor = DncUnitFactor(autoTag_);
    }
    double v = 0.0;
    if (!ParseNumber(text.trimmed(), v)) {
        e->MarkRefused();
        return;
    }
    options_.WriteFloat(keys[edit], v * factor, this);
    e->MarkAccepted();
    if (edit < 2)
        ShowAutoTuneFrequencies();
}

void TLockInOptionForm::AutoUnitLabelClick()
{
    autoTag_ = DncNextUnitTag(autoTag_);
    options_.WriteInteger(Opt::Tag, autoTag_, this);
    ShowAutoTuneFrequencies();
}

void TLockInOptionForm::ShowAutoTuneFrequencies()
{
    if (autoTag_ < -1 || autoTag_ > 2)
        autoTag_ = -1;
    const double start = options_.Number(Opt::AutoTuneStartF);
    const double stop = options_.Number(Opt::AutoTuneStopF);
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

void TLockInOptionForm::OptionChanged(TDncOptions::Key key, QObject* by)
{
    // What others wrote is shown; a control set here writes nothing back
    // (text set by the program is no edit, a set box no click).
    if (by == this)
        return;
    switch (key) {
    case Opt::Phase: // after an automatic phase
        Edit("EditPhase")->setText(options_.Text(Opt::Phase));
        break;
    case Opt::SaveName: // after a Save As of the resonance window
        findChild<QLineEdit*>("EditFileName")->setText(options_.Text(Opt::SaveName));
        break;
    case Opt::SaveExt:
        findChild<QLineEdit*>("EditExtension")->setText(options_.Text(Opt::SaveExt));
        break;
    case Opt::NextNumber:
        ShowNextNumber();
        break;
    default:
        break;
    }
}

void TLockInOptionForm::ShowNextNumber()
{
    QLabel* label = Label("Label4");
    const bool numbered = Check("CheckBoxNumbered")->isChecked();
    label->setVisible(numbered);
    label->setText("next nr.:" + QString::number(options_.Integer(Opt::NextNumber)));
}

void TLockInOptionForm::BrowseButtonClick()
{
    const QString ext = options_.Text(Opt::SaveExt);
    const QString name = options_.Text(Opt::SaveName);
    const QString local = DncLocalPath(name);
    const QString chosen = dnc_.AskSpectrumSaveName("spectra (*." + ext + ")", QFileInfo(local).path(),
                                                    QFileInfo(local).fileName() + "." + ext);
    if (chosen.isEmpty())
        return;
    const QFileInfo info(chosen);
    const QString newExt = info.suffix();
    QString base = chosen;
    if (!newExt.isEmpty())
        base.chop(newExt.size() + 1);
    findChild<QLineEdit*>("EditExtension")->setText(newExt);
    findChild<QLineEdit*>("EditFileName")->setText(base);
    options_.WriteText(Opt::SaveExt, newExt, this);
    options_.WriteText(Opt::SaveName, base, this);
}

} // namespace qvt
