#include "lockin/DncForm.h"

#include "core/IniFile.h"
#include "core/NumberText.h"
#include "core/SharedState.h"
#include "device/InOutForm.h"
#include "lockin/DncExport.h"
#include "lockin/LockInOptions.h"
#include "platform/FileDialogs.h"
#include "platform/MessageBoxes.h"
#include "scan/DeviceWorkers.h"
#include "widgets/NumericEdit.h"

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QClipboard>
#include <QComboBox>
#include <QCursor>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace qvt {

TdncForm* dncForm = nullptr;

namespace {

// The acquisition button's pictures: a resonance peak ("TUNEICON"), with an
// "A" beside it for auto tune ("AUTOTUNEICON"); drawn, so no image files.
QIcon TuneGlyph(bool autoTune)
{
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(0, 0, 160), 2));
    QPainterPath peak;
    peak.moveTo(2, 28);
    peak.cubicTo(12, 27, 13, 4, 16, 4);
    peak.cubicTo(19, 4, 20, 27, 30, 28);
    p.drawPath(peak);
    if (autoTune) {
        p.setPen(QPen(QColor(200, 0, 0), 2));
        p.setFont(QFont("Sans", 10, QFont::Bold));
        p.drawText(QRectF(18, 0, 14, 14), Qt::AlignCenter, "A");
    }
    return QIcon(pixmap);
}

constexpr const char* Dnc = "dnc";
using Opt = TDncOptions;
constexpr int DefaultAmplitudeSlot = 12;
constexpr int DefaultInPhaseSlot = 20;
constexpr int DefaultQuadratureSlot = 21;
// How long one tick of a sweep may keep the window thread.
constexpr int TickBudgetMs = 15;
constexpr int32_t NoiseFillAddress = -23;
constexpr int32_t DefaultNoiseX = -20;
constexpr int32_t DefaultNoiseY = -21;
constexpr int32_t InputAcBit = 0x80;
constexpr int MaxSaveDialogs = 3;

// [dnc] ChannelX/ChannelY share their keys with the sweep's channelX/channelY:
// a value of 0 or more is a slot of the channel table, a negative one a read
// address; anything out of range takes the default address.
int32_t NoiseReadAddress(int value, int32_t def)
{
    if (value >= 0)
        return IsValidSlot(value) ? ChannelTable[static_cast<size_t>(value)].Address.load() : def;
    return value >= -99 ? value : def;
}
} // namespace

// The 256 × 256 spectrum: paints what the window shows and reports the mouse.
class TDncImage : public QWidget {
public:
    TDncImage(TdncForm& form, const QImage& shown) : QWidget(&form), form_(form), shown_(shown)
    {
        setObjectName("Image1");
        setFixedSize(DncImageSize, DncImageSize);
        setMouseTracking(true);
    }

protected:
    void paintEvent(QPaintEvent*) override { QPainter(this).drawImage(0, 0, shown_); }
    void mousePressEvent(QMouseEvent* e) override
    {
        form_.Image1MouseDown(e->position().toPoint().x(), e->position().toPoint().y(), e->button(),
                              (e->modifiers() & Qt::ShiftModifier) != 0);
    }
    void mouseMoveEvent(QMouseEvent* e) override
    {
        form_.Image1MouseMove(e->position().toPoint().x(), e->position().toPoint().y(),
                              (e->buttons() & Qt::LeftButton) != 0);
    }
    void mouseReleaseEvent(QMouseEvent* e) override
    {
        form_.Image1MouseUp(e->position().toPoint().x(), e->position().toPoint().y(), e->button());
    }

private:
    TdncForm& form_;
    const QImage& shown_;
};

// The 4-pixel marker strip just above the image.
class TDncStrip : public QWidget {
public:
    TDncStrip(QWidget* parent, const QImage& strip) : QWidget(parent), strip_(strip)
    {
        setFixedSize(DncImageSize, DncStripHeight);
    }

protected:
    void paintEvent(QPaintEvent*) override { QPainter(this).drawImage(0, 0, strip_); }

private:
    const QImage& strip_;
};

// One acquisition: the guard that restores mode and tip, and the sweep.
class TdncForm::Acquisition {
public:
    std::unique_ptr<TSweepModeGuard> Guard;
    std::unique_ptr<TDncSweep> Sweep;
    bool UsbList = false;
    bool CursorSet = false;
    // The noise measurement waits for its frame instead of sweeping.
    bool Noise = false;
    bool NoiseWaiting = false;
    int32_t Decimation = 2;
    QElapsedTimer NoiseClock;
    QMetaObject::Connection NoiseFrames;
};

TdncForm::TdncForm(TDeviceWorkers& workers, TDncOptions& options, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowStaysOnTopHint), workers_(workers), io_(workers.Link()), options_(options),
      inputScale_(std::make_unique<TIOScale>("Input", "V")), bitmap_(DncImageSize, DncImageSize, QImage::Format_RGB32),
      shown_(bitmap_), strip_(DncImageSize, DncStripHeight, QImage::Format_RGB32)
{
    setObjectName("dncForm");
    setWindowTitle("Dynamic Non-Contact");
    dncForm = this;
    bitmap_.fill(Qt::white);
    shown_ = bitmap_;
    strip_.fill(Qt::white);
    for (int k = 0; k < DncColorCount; ++k)
        colors_[static_cast<size_t>(k)] = DncColorFromBgr(DncDefaultColors[static_cast<size_t>(k)]);
    sweepTimer_ = new QTimer(this);
    sweepTimer_->setInterval(0);
    connect(sweepTimer_, &QTimer::timeout, this, &TdncForm::AcquisitionTick);
    BuildControls();
    connect(&options_, &TDncOptions::changed, this, &TdncForm::OptionChanged);
}

TdncForm::~TdncForm()
{
    acquisition_.reset();
    if (LockInState.DncInputScale == inputScale_.get())
        LockInState.DncInputScale = nullptr;
    if (dncForm == this)
        dncForm = nullptr;
}

// ---- building ------------------------------------------------------------------------------

void TdncForm::BuildControls()
{
    auto* top = new QVBoxLayout(this);

    auto* range = new QGridLayout;
    const char* names[3] = {"Edit1", "Edit2", "Edit3"};
    const char* captions[3] = {"start", "stop", "use"};
    for (int i = 0; i < 3; ++i) {
        auto* edit = new TNumericEdit(names[i], this);
        edit->OnKey = [this, i](EditKey key) { EditKeyPress(i + 1, key); };
        edits_[static_cast<size_t>(i)] = edit;
        auto* unit = new QPushButton("Hz", this);
        unit->setObjectName(QString("Label%1").arg(8 + i));
        unit->setFlat(true);
        connect(unit, &QPushButton::clicked, this, &TdncForm::UnitLabelClick);
        unitLabels_[static_cast<size_t>(i)] = unit;
        range->addWidget(new QLabel(captions[i], this), 0, i * 2, 1, 2);
        range->addWidget(edit, 1, i * 2);
        range->addWidget(unit, 1, i * 2 + 1);
    }
    top->addLayout(range);

    auto* buttons = new QHBoxLayout;
    scanButton_ = new QToolButton(this);
    scanButton_->setObjectName("ScanButton");
    scanButton_->setText("acquire");
    scanButton_->setToolTip("acquire spectra");
    scanButton_->setCheckable(true);
    connect(scanButton_, &QToolButton::clicked, this, &TdncForm::ScanButtonClick);
    repeatButton_ = new QToolButton(this);
    repeatButton_->setObjectName("RepeatButton");
    repeatButton_->setText("repeat");
    repeatButton_->setCheckable(true);
    escButton_ = new QPushButton("Esc", this);
    escButton_->setObjectName("EscButton");
    connect(escButton_, &QPushButton::clicked, this, &TdncForm::EscButtonClick);
    speedButton1_ = new QToolButton(this);
    speedButton1_->setObjectName("SpeedButton1");
    speedButton1_->setText("options");
    connect(speedButton1_, &QToolButton::clicked, this, &TdncForm::SpeedButton1Click);
    speedButton2_ = new QToolButton(this);
    speedButton2_->setObjectName("SpeedButton2");
    speedButton2_->setText("noise");
    speedButton2_->setToolTip("Thermal Noise Spectra");
    speedButton2_->setCheckable(true);
    connect(speedButton2_, &QToolButton::clicked, this, [this] {
        // The noise button switches the drive.
        EndRunFor("drive");
        SpeedButton2Click();
    });
    saveButton_ = new QToolButton(this);
    saveButton_->setObjectName("SaveButton");
    saveButton_->setText("save");
    saveButton_->setToolTip("Save all");
    saveButton_->setCheckable(true);
    connect(saveButton_, &QToolButton::clicked, this,
            [this] { SaveButtonClick((QGuiApplication::keyboardModifiers() & Qt::ShiftModifier) != 0); });
    saveAsButton_ = new QPushButton("Save as", this);
    saveAsButton_->setObjectName("SaveAsButton");
    connect(saveAsButton_, &QPushButton::clicked, this, &TdncForm::ItemSaveClick);
    buttonCopy_ = new QPushButton("copy", this);
    buttonCopy_->setObjectName("ButtonCopy");
    buttonCopy_->setToolTip("Copy to Clipboard");
    connect(buttonCopy_, &QPushButton::clicked, this, &TdncForm::CopytoClipboard1Click);
    buttons->addWidget(scanButton_);
    buttons->addWidget(repeatButton_);
    buttons->addWidget(escButton_);
    buttons->addWidget(speedButton2_);
    buttons->addWidget(saveButton_);
    buttons->addWidget(saveAsButton_);
    buttons->addWidget(buttonCopy_);
    buttons->addWidget(speedButton1_);
    buttons->addStretch();
    top->addLayout(buttons);

    auto* picture = new QVBoxLayout;
    picture->setSpacing(0);
    stripWidget_ = new TDncStrip(this, strip_);
    image_ = new TDncImage(*this, shown_);
    picture->addWidget(stripWidget_);
    picture->addWidget(image_);
    picture->addStretch(); // the strip stays on the image's top edge
    auto* middle = new QHBoxLayout;
    middle->addLayout(picture);

    auto* panel = new QVBoxLayout;
    inputGroup_ = new QGroupBox("Input Gain", this);
    inputGroup_->setObjectName("InputGroup");
    inputGroup_->setAutoFillBackground(true);
    auto* inputLayout = new QVBoxLayout(inputGroup_);
    const int gains[3] = {1, 10, 100};
    for (int i = 0; i < 3; ++i) {
        auto* radio = new QRadioButton(QString::number(gains[i]), inputGroup_);
        radio->setObjectName(QString("InputRadio%1").arg(gains[i]));
        connect(radio, &QRadioButton::clicked, this, [this, g = gains[i]] {
            EndRunFor("input gain");
            SetInputGain(g);
        });
        inputLayout->addWidget(radio);
        inputRadios_[static_cast<size_t>(i)] = radio;
    }
    popupMenuMsg_ = new QMenu(this);
    qClipBeep_ = popupMenuMsg_->addAction("Beep when Q clips");
    qClipBeep_->setCheckable(true);
    qClipShow_ = popupMenuMsg_->addAction("Show when Q clips");
    qClipShow_->setCheckable(true);
    connect(qClipBeep_, &QAction::triggered, this, [this](bool on) { options_.WriteBool(Opt::BeepOnQClip, on, this); });
    connect(qClipShow_, &QAction::triggered, this, [this](bool on) { options_.WriteBool(Opt::ShowOnError, on, this); });
    inputGroup_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(inputGroup_, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& p) { popupMenuMsg_->popup(inputGroup_->mapToGlobal(p)); });
    panel->addWidget(inputGroup_);
    clipPanel_ = new QLabel("Q clips", this);
    clipPanel_->setObjectName("ClipPanel");
    clipPanel_->setStyleSheet("background: red; color: white");
    clipPanel_->hide();
    panel->addWidget(clipPanel_);

    auto* drive = new QHBoxLayout;
    drive->addWidget(new QLabel("drive", this));
    edit4_ = new TNumericEdit("Edit4", this);
    edit4_->OnKey = [this](EditKey key) {
        if (key == EditKey::Enter)
            EndRunFor("drive");
        Edit4KeyPress(key);
    };
    drive->addWidget(edit4_);
    drive->addWidget(new QLabel("V", this));
    panel->addLayout(drive);

    scaleRadioGrp_ = new QGroupBox("Range", this);
    scaleRadioGrp_->setObjectName("ScaleRadioGrp");
    scaleRadioGrp_->setAutoFillBackground(true);
    scaleLayout_ = new QVBoxLayout(scaleRadioGrp_);
    scaleButtons_ = new QButtonGroup(this);
    connect(scaleButtons_, &QButtonGroup::idClicked, this, [this](int id) {
        EndRunFor("output range");
        ScaleRadioGrpClick(id);
    });

    redBandwidthButton_ = new QPushButton("bandwidth", this);
    redBandwidthButton_->setObjectName("RedBandwidthButton");
    redBandwidthButton_->setCheckable(true);
    connect(redBandwidthButton_, &QPushButton::clicked, this, [this] {
        EndRunFor("bandwidth");
        RedBandwidthButtonClick();
    });
    panel->addWidget(redBandwidthButton_);
    comboBox2_ = new QComboBox(this);
    comboBox2_->setObjectName("ComboBox2");
    comboBox2_->setToolTip("TimeConstant t");
    for (const char* text : DncTimeConstantTexts)
        comboBox2_->addItem(text);
    comboBox3_ = new QComboBox(this);
    comboBox3_->setObjectName("ComboBox3");
    comboBox3_->setToolTip("RollOff");
    for (const char* text : DncRollOffTexts)
        comboBox3_->addItem(text);
    connect(comboBox2_, &QComboBox::activated, this, [this] {
        EndRunFor("time constant");
        FilterBoxChange();
    });
    connect(comboBox3_, &QComboBox::activated, this, [this] {
        EndRunFor("roll-off");
        FilterBoxChange();
    });
    panel->addWidget(comboBox2_);
    panel->addWidget(comboBox3_);

    speakerButton_ = new QToolButton(this);
    speakerButton_->setObjectName("SpeakerButton");
    speakerButton_->setText("beep");
    speakerButton_->setCheckable(true);
    connect(speakerButton_, &QToolButton::clicked, this, &TdncForm::SpeakerButtonClick);
    panel->addWidget(speakerButton_);
    // Last in its column: shown only with Q control or the PLL mode, and with
    // as many ranges as the drive allows, it moves no control when it changes.
    panel->addWidget(scaleRadioGrp_);
    panel->addStretch();
    middle->addLayout(panel);
    top->addLayout(middle);

    auto* statusBar = new QHBoxLayout;
    for (int i = 0; i < 2; ++i) {
        auto* label = new QLabel(this);
        label->setObjectName(QString("StatusPanel%1").arg(i));
        status_[static_cast<size_t>(i)] = label;
    }
    status_[0]->setMinimumWidth(300); // room for the fit's "Q | fPeak | tau" and its remark
    status_[1]->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    statusBar->addWidget(status_[0]);
    statusBar->addWidget(status_[1], 1);
    mathErrLabel_ = new QLabel("Math Error while fitting SHO!", this);
    mathErrLabel_->setObjectName("MathErrLabel");
    noiseErrLabel_ = new QLabel("Too much noise for fitting SHO!", this);
    noiseErrLabel_->setObjectName("NoiseErrLabel");
    for (QLabel* l : {mathErrLabel_, noiseErrLabel_}) {
        l->setStyleSheet("color: red");
        l->hide();
        top->addWidget(l);
    }
    top->addLayout(statusBar);

    rangeMenu_ = new QMenu(this);
    rangeMenu_->setObjectName("MyPopupMenu");
    for (int i = 0; i < 4; ++i) {
        rangeActions_[static_cast<size_t>(i)] = rangeMenu_->addAction(recent_.Items[static_cast<size_t>(i)]);
        connect(rangeActions_[static_cast<size_t>(i)], &QAction::triggered, this, [this, i] { MyPopupHandler(i); });
    }
}

void TdncForm::FormCreate()
{
    if (MainIni) {
        RangeStart = MainIni->ReadFloat(Dnc, "Start", RangeStart);
        RangeStop = MainIni->ReadFloat(Dnc, "Stop", RangeStop);
        OperatingFrequency = MainIni->ReadFloat(Dnc, "Use", OperatingFrequency);
        unitTag_ = std::clamp(MainIni->ReadInteger(Dnc, "Tag", 0), -1, 2);
        move(MainIni->ReadFormPosLeft(Dnc, 10), MainIni->ReadInteger(Dnc, "FormPosTop", 10));
        for (int i = 0; i < 4; ++i) {
            recent_.Items[static_cast<size_t>(i)] = MainIni->ReadString(Dnc, QString("Popup%1").arg(i), "20k-400k");
            rangeActions_[static_cast<size_t>(i)]->setText(recent_.Items[static_cast<size_t>(i)]);
        }
        for (int k = 0; k < DncColorCount; ++k) {
            const int bgr = MainIni->ReadInteger(Dnc, QString("Color%1").arg(k),
                                                 static_cast<int>(DncDefaultColors[static_cast<size_t>(k)]));
            colors_[static_cast<size_t>(k)] = DncColorFromBgr(static_cast<uint32_t>(bgr));
        }
    }
    AverageReads = std::max(0, static_cast<int>(options_.Number(Opt::Average)));
    showX_ = options_.Flag(Opt::ShowX);
    SetSweepSize(static_cast<int>(options_.Number(Opt::DataPoints)), static_cast<int>(options_.Number(Opt::History)));

    LockInState.DncInputScale = inputScale_.get();
    LockInState.FrequencyUnit = "Hz";
    LockInState.AmplitudeUnit = "V";
    LockInState.DriveAmplitude = 0.0;

    speakerButton_->setChecked(options_.Flag(Opt::BeepOnOverload));
    qClipBeep_->setChecked(options_.Flag(Opt::BeepOnQClip));
    qClipShow_->setChecked(options_.Flag(Opt::ShowOnError));
    connect(&io_, &TInOutForm::dncStatusChanged, this, &TdncForm::DncStatusChanged);

    const QString ampl = MainIni ? MainIni->ReadString(Dnc, "Ampl", "1") : QString("1");
    edit4_->setText(ampl);
    const int rangeItem = MainIni ? MainIni->ReadInteger(Dnc, "AmplRadio", 0) : 0;
    SetOutputRange(rangeItem, 0.0);
    Edit4KeyPress(EditKey::Enter);
    redBandwidthButton_->setChecked(MainIni && MainIni->ReadBool(Dnc, "RedBandwidth", false));
    RedBandwidthButtonClick();
    saveButton_->setChecked(options_.Flag(Opt::AutoSave));
    EnableSaving(false);
    UpdateScanGlyph();
    if (!AskSaveName)
        AskSaveName = [this](const QString& filter, const QString& directory, const QString& name) {
            // The filter comes as "text|pattern"; the dialog shows the text, which holds the pattern.
            return GetSaveFileName(this, QString(), directory + "/" + name, filter.section('|', 0, 0));
        };
    ShowFrequencies();
}

void TdncForm::FormDestroy()
{
    AbortRequested = true;
    if (acquisition_ && acquisition_->Noise)
        EndNoiseWait();
    acquisition_.reset();
    sweepTimer_->stop();
    if (!MainIni)
        return;
    MainIni->WriteInteger(Dnc, "FormPosLeft", x());
    MainIni->WriteInteger(Dnc, "FormPosTop", y());
    for (int i = 1; i <= 3; ++i)
        MainIni->WriteString(Dnc, QString("Popup%1").arg(i), recent_.Items[static_cast<size_t>(i)]);
}

void TdncForm::SetSweepSize(int dataPoints, int historyDepth)
{
    if (Acquiring()) {
        // The arrays are being written: the new size waits for the end.
        deferredSize_ = std::make_pair(dataPoints, historyDepth);
        return;
    }
    DataPoints = ClampDataPoints(dataPoints);
    HistoryDepth = ClampHistoryDepth(historyDepth);
    PointShift = DncPointShift(DataPoints);
    Curves.Allocate(DataPoints, HistoryDepth);
    ClearRecord();
}

void TdncForm::ClearRecord()
{
    RecordPoints = 0;
    SweepStep = 0.0;
    Fit = TShoFit{};
    FitDone = false;
    HideFitLabels();
    status_[0]->clear();
    bitmap_.fill(Qt::white);
    shown_ = bitmap_;
    strip_.fill(Qt::white);
    image_->update();
    stripWidget_->update();
    EnableSaving(false);
}

void TdncForm::EndRunFor(const QString& setting)
{
    if (!Acquiring() || AbortRequested)
        return;
    AbortRequested = true;
    endedBy_ = setting;
}

void TdncForm::NoteNextRun(const QString& setting)
{
    if (Acquiring())
        status_[1]->setText(setting + ": from the next sweep");
}

int TdncForm::RecordRows() const
{
    return std::clamp(RecordPoints - 1, 0, DataPoints);
}

void TdncForm::ShowEndedRecord(bool noise)
{
    HideFitLabels();
    const QString why = endedBy_.isEmpty() ? QString(" aborted") : " ended by the " + endedBy_ + " change";
    if (noise)
        status_[0]->setText("Noise spectrum" + why);
    else
        status_[0]->setText(QString("Sweep%1: %2 of %3 points measured").arg(why).arg(RecordRows()).arg(DataPoints));
}

void TdncForm::ApplyDeferredSize()
{
    if (!deferredSize_)
        return;
    const auto [points, depth] = *deferredSize_;
    deferredSize_.reset();
    SetSweepSize(points, depth);
}

// ---- acquisition --------------------------------------------------------------------------

bool TdncForm::ScanButtonDown() const
{
    return scanButton_->isChecked();
}

void TdncForm::SetScanButton(bool down)
{
    scanButton_->setChecked(down);
    ScanButtonClick();
}

void TdncForm::AcquisitionCaption()
{
    const int mode = MicroscopeState.FeedbackMode;
    QString caption = "Dynamic Non-Contact R";
    if (IsTunnellingMode(mode))
        caption = "STS R";
    if (mode == FeedbackNcAFMX)
        caption = "Dynamic Non-Contact X";
    options_.WriteInteger(Opt::ShowX, mode == FeedbackNcAFMX ? 1 : 0, this);
    showX_ = mode == FeedbackNcAFMX;
    if (options_.Flag(Opt::ShowPhase))
        caption += " / Phi";
    setWindowTitle(caption);
}

void TdncForm::ScanButtonClick()
{
    if (!scanButton_->isChecked()) {
        AbortRequested = true;
        return;
    }
    if (Acquiring())
        return;
    scanButton_->setToolTip(QString());
    AcquisitionCaption();
    ShowPhaseTrace = !repeatButton_->isChecked();
    pendingAcquisitions_ = 0;
    if (options_.Flag(Opt::AutoTuneOn))
        AutoTunePrepare();
    ContAverageCount = static_cast<int32_t>(options_.Number(Opt::ContAverage));
    scanLoop_ = true;
    AcquireAndShow();
}

void TdncForm::EscButtonClick()
{
    AbortRequested = true;
}

void TdncForm::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape) {
        if (scanButton_->isChecked())
            AbortRequested = true;
        else
            close();
        return;
    }
    QWidget::keyPressEvent(event);
}

void TdncForm::hideEvent(QHideEvent* event)
{
    if (scanButton_->isChecked()) {
        scanButton_->setChecked(false);
        ScanButtonClick();
    }
    QWidget::hideEvent(event);
    emit visibilityChanged(false);
}

void TdncForm::showEvent(QShowEvent* event)
{
    // FormActivate: the range group belongs to Q-control and mode 6.
    scaleRadioGrp_->setVisible(options_.Flag(Opt::QEnabled) || MicroscopeState.FeedbackMode == FeedbackNcAFMPLL);
    QWidget::showEvent(event);
    emit visibilityChanged(true);
}

void TdncForm::StoreSweepRange()
{
    SweepStart = RangeStart;
    SweepStop = RangeStop;
    const QString text = DncRangeText(RangeStart, RangeStop);
    if (text != TDncRecentRanges::Plain(recent_.Items[3])) {
        Curves.ZeroHistory();
        // A running mean starts over: none of the old range's values count.
        Curves.ZeroNewestFrom(0);
        UpdateRecentRanges();
    }
    if (MainIni) {
        MainIni->WriteFloat(Dnc, "Start", RangeStart);
        MainIni->WriteFloat(Dnc, "Stop", RangeStop);
    }
}

void TdncForm::AcquireAndShow()
{
    if (Acquiring())
        return; // no acquisition inside another
    if (RangeStop < RangeStart) {
        // Refused before anything moves: the last sweep's range, step, curves
        // and status stay as they were, so what is shown and saved still
        // belongs together.
        ShowMessage(MsgKind::Information, "Start frequency bigger than stop frequency!");
        scanButton_->setChecked(false);
        scanLoop_ = false;
        AfterAcquireAndShow();
        return;
    }
    // A point the oscillator cannot run at would be read at another frequency
    // and labelled with this one: refused the same way.
    const bool type29 = io_.Caps.Type29();
    if (!LockInFrequencyFits(RangeStart, type29) || !LockInFrequencyFits(RangeStop, type29)) {
        for (int edit : {1, 2})
            if (!LockInFrequencyFits(edit == 1 ? RangeStart : RangeStop, type29))
                FrequencyEdit(edit)->MarkRefused();
        ShowMessage(MsgKind::Information, DncFrequencyRangeText(type29));
        scanButton_->setChecked(false);
        scanLoop_ = false;
        AfterAcquireAndShow();
        return;
    }
    // Sizes chosen during the last sweep take effect here, not on its record.
    ApplyDeferredSize();
    AutoTunePending = true;
    // No fit of an earlier curve outlives the start of a new one.
    Fit = TShoFit{};
    FitDone = false;
    StoreSweepRange();
    if (!BeginAcquisition())
        FinishAcquisition();
}

void TdncForm::LoadChannels()
{
    const int a = MainIni ? MainIni->ReadInteger(Dnc, "channel", DefaultAmplitudeSlot) : DefaultAmplitudeSlot;
    const int x = MainIni ? MainIni->ReadInteger(Dnc, "channelX", DefaultInPhaseSlot) : DefaultInPhaseSlot;
    const int y = MainIni ? MainIni->ReadInteger(Dnc, "channelY", DefaultQuadratureSlot) : DefaultQuadratureSlot;
    amplitude_ = ResolveDncChannel(a, DefaultAmplitudeSlot, ChannelTable);
    inPhase_ = ResolveDncChannel(x, DefaultInPhaseSlot, ChannelTable);
    quadrature_ = ResolveDncChannel(y, DefaultQuadratureSlot, ChannelTable);
    if (showX_)
        amplitude_ = inPhase_;
}

TSweepSetup TdncForm::MakeSweepSetup()
{
    LoadChannels();
    TSweepSetup s;
    s.Start = SweepStart;
    s.Stop = SweepStop;
    s.DataPoints = DataPoints;
    s.AverageReads = AverageReads;
    s.Settle = DncSettleCount(TimeConstant);
    s.StartSettle = DncStartSettleUs(TimeConstant);
    s.Wobbel = options_.Flag(Opt::Wobbel);
    s.ContAverage = ContAverageCount;
    const QString ampl = MainIni ? MainIni->ReadString(Dnc, "Ampl", "1.0") : QString("1.0");
    double drive = 1.0;
    s.VectorMean = !ParseNumber(ampl, drive) || drive != 0.0;
    s.ProcessBetweenReads = TimeConstant > 0.002;
    s.Amplitude = {amplitude_.Address, amplitude_.Factor};
    s.InPhase = {inPhase_.Address, inPhase_.Factor};
    s.Quadrature = {quadrature_.Address, quadrature_.Factor};
    return s;
}

bool TdncForm::BeginAcquisition()
{
    acquisition_ = std::make_unique<Acquisition>();
    Acquisition& a = *acquisition_;
    a.Guard = std::make_unique<TSweepModeGuard>(workers_, [this] { Edit4KeyPress(EditKey::Enter); });
    QApplication::setOverrideCursor(Qt::WaitCursor);
    a.CursorSet = true;

    if (options_.Flag(Opt::ShowWarning)) {
        const int channel = MainIni ? MainIni->ReadInteger(Dnc, "channel", DefaultAmplitudeSlot) : DefaultAmplitudeSlot;
        if (channel != 12 && channel != 20 &&
            ShowMessage(MsgKind::Confirmation, "Displayed Channel is not Amplitude!\rChange now?", MsgButtons::YesNo) ==
                MsgResult::Yes &&
            MainIni)
            MainIni->WriteInteger(Dnc, "channel", 12);
    }
    io_.SetLockInGain(0);
    io_.SetReferenceFrequency(DncReferenceHz);
    a.Noise = speedButton2_->isChecked() && !options_.Flag(Opt::Wobbel);
    CurrentFrequency = speedButton2_->isChecked() ? (SweepStart + SweepStop) / 2.0 : SweepStart;
    io_.SetLockInFrequency(CurrentFrequency);
    io_.DelayUs(DncStartDelay);
    AverageReads = std::max(AverageReads, DncLeastReads - 1);
    AbortRequested = false;
    endedBy_.clear();
    if (ContAverageCount <= 0)
        Curves.Rotate();
    const TSweepSetup setup = MakeSweepSetup();
    if (a.Noise) {
        SweepStep = (SweepStop - SweepStart) / static_cast<double>(DncMinDataPoints << PointShift);
        StartNoiseSpectrum();
        return true;
    }
    a.UsbList = io_.Caps.Usb() && !setup.Wobbel;
    if (a.UsbList)
        io_.BuildUsbChannelList(true, false, ReadAddrResonanceAmplitude);
    a.Sweep = std::make_unique<TDncSweep>(io_, Curves, setup);
    SweepStep = a.Sweep->Step();
    sweepTimer_->start();
    return true;
}

void TdncForm::AcquisitionTick()
{
    if (!acquisition_ || !acquisition_->Sweep) {
        sweepTimer_->stop();
        return;
    }
    try {
        QElapsedTimer clock;
        clock.start();
        TDncSweep& sweep = *acquisition_->Sweep;
        while (!AbortRequested && sweep.Next() && clock.elapsed() < TickBudgetMs) {
        }
        CurrentFrequency = sweep.CurrentFrequency();
        if (AbortRequested || sweep.Done())
            FinishAcquisition();
    } catch (...) {
        // The guard puts mode and tip back before the error is reported.
        FinishAcquisition();
        throw;
    }
}

void TdncForm::FinishAcquisition()
{
    sweepTimer_->stop();
    bool measured = false;
    bool noise = false;
    if (acquisition_) {
        noise = acquisition_->Noise;
        if (noise)
            EndNoiseWait();
        measured = acquisition_->Sweep || noise;
        const bool complete = acquisition_->Sweep && acquisition_->Sweep->Done();
        if (measured) {
            // The newest curve holds this acquisition's points and nothing of
            // the curve it replaced.
            RecordPoints = acquisition_->Sweep ? acquisition_->Sweep->LastStoredPoint() + 1
                           : NoiseDone         ? DataPoints + 1
                                               : 0;
            Curves.ZeroNewestFrom(RecordPoints);
        }
        if (acquisition_->UsbList && complete)
            io_.BuildUsbChannelList(true, true, 0);
        if (acquisition_->CursorSet)
            QApplication::restoreOverrideCursor();
        // Mode and tip go back here, also after an abort.
        acquisition_.reset();
        ApplySyncFilter();
    }
    if (measured) {
        if (!RecordComplete()) {
            // No fit of a part of a curve.
            Fit = TShoFit{};
            FitDone = true;
            ShowEndedRecord(noise);
        }
        EnableSaving(RecordRows() > 0);
        if (RecordRows() > 0 && options_.Flag(Opt::AutoSave))
            SaveSpectrum(options_.Text(Opt::SaveName));
    }
    DrawSpectrum();
    if (options_.Flag(Opt::FitShoAlways) && !options_.Flag(Opt::AutoTuneOn)) {
        mathErrLabel_->setVisible(Fit.MathError);
        noiseErrLabel_->setVisible(Fit.NoiseError);
    }
    AfterAcquireAndShow();
}

void TdncForm::AfterAcquireAndShow()
{
    if (scanLoop_) {
        if (ContAverageCount >= 0)
            ++ContAverageCount;
        if (autoTuning_) {
            // An ended sweep has no fit to narrow on: auto tune ends with it.
            const bool done = !RecordComplete() || AutoTuneNarrowing();
            if (!done && !AbortRequested && scanButton_->isChecked()) {
                AcquireAndShow();
                return;
            }
        } else if (repeatButton_->isChecked() && scanButton_->isChecked() && !AbortRequested) {
            AcquireAndShow();
            return;
        }
        scanLoop_ = false;
        scanButton_->setChecked(false);
        scanButton_->setToolTip("acquire spectra");
        if (autoTuning_)
            AutoTuneFinish();
    }
    if (pendingAcquisitions_ > 0) {
        --pendingAcquisitions_;
        AcquireAndShow();
        if (Acquiring())
            return;
    }
    emit acquisitionEnded();
}

// ---- operating frequency and setpoint ------------------------------------------------------

TDncMarks TdncForm::Marks() const
{
    TDncMarks m;
    m.OperatingFrequency = OperatingFrequency;
    m.SweepStart = SweepStart;
    m.Step = SweepStep;
    m.PointShift = PointShift;
    m.DataPoints = DataPoints;
    if (DisplayScale) {
        const int mode = MicroscopeState.FeedbackMode;
        const TFeedbackSet& set =
            MicroscopeState.FeedbackSets[static_cast<size_t>(FeedbackSetIndex(ValidFeedbackMode(mode)))];
        if (mode == FeedbackNcAFMR)
            m.SetpointRow = DncRow(set.Setpoint / 100.0 * MicroscopeState.NC100ProcentAmpl, *DisplayScale);
        else if (mode == FeedbackNcAFMX)
            m.SetpointRow = DncRow(set.Setpoint, *DisplayScale);
        else if (mode == FeedbackNcAFMPLL)
            m.SetpointRow = DncRow(MicroscopeState.AmplSetpoint, *DisplayScale);
    }
    return m;
}

void TdncForm::DrawStrip()
{
    const TDncHalfPower h = DrawDncStrip(strip_, Curves, Marks());
    if (!options_.Flag(Opt::FitShoAlways) && RecordComplete()) {
        // The half-power width counted in sweep points: too few and Q is a guess.
        const bool resolved = (h.Right - h.Left) >= DncResolvedPoints;
        const QString q = h.Q ? QString::number(static_cast<qint64>(Round(*h.Q))) : QString();
        status_[0]->setText(!h.Q ? QString() : resolved ? "Q: " + q : "Q: ~" + q + " | " + DncUnresolvedText);
    }
    stripWidget_->update();
}

void TdncForm::ApplyOperatingFrequency()
{
    // A running acquisition owns the oscillator: the operating frequency goes
    // to it when the acquisition ends (its end draws the spectrum, which applies it).
    if (Acquiring())
        return;
    io_.SetLockInFrequency(OperatingFrequency);
    if (MainIni)
        MainIni->WriteFloat(Dnc, "Use", OperatingFrequency);
    if (options_.Flag(Opt::QEnabled))
        io_.SetPhaseShifter(LockInState.QControlGain, LockInState.QControlDelay, OperatingFrequency);
    else
        io_.SetPhaseShifter(0, 0, OperatingFrequency);
    ApplySyncFilter();
    if (SweepStep != 0.0)
        DrawStrip();
    LockInState.DriveFrequency = OperatingFrequency;
    if (SweepStep != 0.0)
        DrawDncSetpointCross(shown_, Marks());
    image_->update();
}

void TdncForm::SetSetpointFromSpectrum(int column, int row)
{
    if (!DisplayScale || !(DisplayScale->Scale > 0.0) || !EnterInScanPara)
        return;
    const int mode = MicroscopeState.FeedbackMode;
    if (mode < FeedbackNcAFMR) {
        ShowMessage(MsgKind::Information, QString::fromUtf8("Feedback doesn\u00B4t use amplitude."));
        return;
    }
    const double v = DncValueAtRow(row, *DisplayScale);
    const int point = std::clamp(column << PointShift, 0, Curves.DataPoints());
    if (point >= RecordPoints)
        return; // not measured by the last sweep
    const double a0 = Curves.Newest()[static_cast<size_t>(point)];
    if (mode == FeedbackNcAFMR) {
        QString text = "100";
        if (a0 != 0.0) {
            MicroscopeState.NC100ProcentAmpl = static_cast<float>(a0);
            text = GeneralText(v / a0 * 100.0, 5);
        }
        EnterInScanPara("Edit1", text);
    } else if (mode == FeedbackNcAFMX) {
        EnterInScanPara("Edit1", GeneralText(v, 5));
    } else if (mode == FeedbackNcAFMPLL) {
        EnterInScanPara("Edit22", GeneralText(OperatingFrequency, 5));
        MicroscopeState.NC100ProcentAmpl = static_cast<float>(a0);
        EnterInScanPara("Edit18", FixedPointText(v, 9, 6));
    }
}

// ---- frequency edits and the range menu ---------------------------------------------------------

TNumericEdit* TdncForm::FrequencyEdit(int edit) const
{
    return edit >= 1 && edit <= 3 ? edits_[static_cast<size_t>(edit - 1)] : nullptr;
}

void TdncForm::EditKeyPress(int edit, EditKey key)
{
    TNumericEdit* e = FrequencyEdit(edit);
    if (!e)
        return;
    if (key == EditKey::Escape) {
        ShowFrequencies();
        e->SetColor(EditColor::White);
        return;
    }
    int tag = unitTag_;
    double hz = 0.0;
    const bool ok = ParseDncFrequency(e->text(), tag, hz);
    if (tag != unitTag_) {
        unitTag_ = tag;
        if (MainIni)
            MainIni->WriteInteger(Dnc, "Tag", unitTag_);
    }
    // Every frequency here reaches the oscillator, the operating one at once
    // and the edges at the next sweep: one it cannot run at is refused where
    // it is typed rather than replaced by another.
    if (!ok || !LockInFrequencyFits(edit == 3 ? std::abs(hz) : hz, io_.Caps.Type29())) {
        e->MarkRefused();
        return;
    }
    e->MarkAccepted();
    if (edit == 3 && Acquiring()) {
        // Retuning now would move the sweep's oscillator mid-point.
        OperatingFrequency = std::abs(hz);
        if (MainIni)
            MainIni->WriteFloat(Dnc, "Use", OperatingFrequency);
        status_[1]->setText("use frequency: when the sweep ends");
        return;
    }
    if (edit != 3)
        NoteNextRun(edit == 1 ? "start frequency" : "stop frequency");
    if (edit == 1) {
        RangeStart = hz;
        if (MainIni)
            MainIni->WriteFloat(Dnc, "Start", RangeStart);
    } else if (edit == 2) {
        RangeStop = hz;
        if (MainIni)
            MainIni->WriteFloat(Dnc, "Stop", RangeStop);
    } else {
        OperatingFrequency = std::abs(hz);
        io_.SetLockInFrequency(OperatingFrequency);
        LockInState.DriveFrequency = OperatingFrequency;
        if (MainIni)
            MainIni->WriteFloat(Dnc, "Use", OperatingFrequency);
        if (static_cast<int>(options_.Number(Opt::AutoPhase)) == 1)
            AutoPhase();
        if (options_.Flag(Opt::QEnabled))
            io_.SetPhaseShifter(LockInState.QControlGain, LockInState.QControlDelay, LockInState.DriveFrequency);
    }
    ShowFrequencies();
}

void TdncForm::ShowFrequencies()
{
    const double values[3] = {RangeStart, RangeStop, OperatingFrequency};
    for (int i = 0; i < 3; ++i) {
        edits_[static_cast<size_t>(i)]->setText(DncFrequencyText(values[i], unitTag_));
        edits_[static_cast<size_t>(i)]->MarkAccepted();
        unitLabels_[static_cast<size_t>(i)]->setText(DncUnitLabel(unitTag_));
    }
    shown_ = bitmap_;
    ApplyOperatingFrequency();
}

void TdncForm::UnitLabelClick()
{
    unitTag_ = DncNextUnitTag(unitTag_);
    if (MainIni)
        MainIni->WriteInteger(Dnc, "Tag", unitTag_);
    ShowFrequencies();
}

QString TdncForm::RangeMenuItem(int item) const
{
    return item >= 0 && item < 4 ? recent_.Items[static_cast<size_t>(item)] : QString();
}

QAction* TdncForm::RangeMenuAction(int item) const
{
    return item >= 0 && item < 4 ? rangeActions_[static_cast<size_t>(item)] : nullptr;
}

void TdncForm::MyPopupHandler(int item)
{
    if (Acquiring() || item < 0 || item > 3)
        return; // a sweep runs: no second one inside it
    QString halves[2];
    if (!SplitDncRange(recent_.Items[static_cast<size_t>(item)], halves[0], halves[1]))
        return;
    for (int i = 0; i < 2; ++i) {
        if (halves[i].contains('k') || halves[i].contains('m') || halves[i].contains('M')) {
            edits_[static_cast<size_t>(i)]->setText(halves[i]);
            EditKeyPress(i + 1, EditKey::Enter);
        } else {
            double v = 0.0;
            if (ParseNumber(halves[i], v))
                (i == 0 ? RangeStart : RangeStop) = v;
        }
    }
    ShowFrequencies();
    AcquisitionCaption();
    ContAverageCount = -1;
    AcquireAndShow();
    UpdateRecentRanges();
}

void TdncForm::UpdateRecentRanges()
{
    recent_.Add(DncRangeText(RangeStart, RangeStop));
    for (int i = 0; i < 4; ++i)
        rangeActions_[static_cast<size_t>(i)]->setText(recent_.Items[static_cast<size_t>(i)]);
}

// ---- display and mouse ---------------------------------------------------------------------------

void TdncForm::DrawSpectrum()
{
    // During a sweep the picture comes at its end; drawing now would retune
    // the drive in the middle of a point.
    if (Acquiring() || Curves.Empty() || DataPoints < 2)
        return;
    TDncDrawOptions o;
    o.ShowPhaseTrace = ShowPhaseTrace && options_.Flag(Opt::ShowPhase);
    o.ShowX = showX_;
    o.Vector = options_.Flag(Opt::Vector);
    o.PointShift = PointShift;
    o.Colors = colors_;
    o.Measured = RecordComplete() ? -1 : std::max(0, RecordPoints - 1);
    const bool fitOn = (options_.Flag(Opt::FitShoAlways) || options_.Flag(Opt::AutoTuneOn)) && SweepStep != 0.0;
    if (fitOn && !AbortRequested && RecordComplete())
        RunFit();
    if (fitOn && !Fit.FitCurve.empty()) {
        o.FitCurve = &Fit.FitCurve;
        const int color = static_cast<int>(options_.Number(Opt::FitShoColor));
        o.FitColor = DncColorFromBgr(DncFitColors[static_cast<size_t>(std::clamp(color, 0, 15))]);
        o.FitWidth = std::clamp(static_cast<int>(options_.Number(Opt::FitShoWidth)), 1, 10);
    }
    DisplayScale = DrawDncSpectrum(bitmap_, Curves, o);
    if (fitOn && !Fit.FitCurve.empty()) {
        status_[0]->setText(
            ShoStatusText(Fit.FitQ, Fit.FitPeakFrequency, DncPeakResolved(Fit.FitPeakFrequency, Fit.FitQ, SweepStep)));
        // A failed fit has no peak to tune to.
        if (options_.Flag(Opt::AutoTuneOn) && AutoTunePending && !Fit.MathError) {
            OperatingFrequency =
                AutoTuneOperatingFrequency(Fit.FitPeakFrequency, Fit.FitQ, options_.Number(Opt::AutoTuneOffset));
            AutoTunePending = false;
            ShowFrequencies();
        }
    }
    shown_ = bitmap_;
    ApplyOperatingFrequency();
}

void TdncForm::RunFit()
{
    // Redrawing does not refit: one fit per acquisition.
    if (FitDone)
        return;
    FillShoFit(Fit, Curves.Newest(), DataPoints, SweepStep, SweepStart);
    TShoProjection projection;
    projection.Enabled = MicroscopeState.FeedbackMode == FeedbackNcAFMX;
    projection.PhaseCurve = &Curves.Phase;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    FitSho(Fit, Curves.Newest(), DataPoints, projection, &AbortRequested);
    QApplication::restoreOverrideCursor();
    FitDone = true;
}

QString TdncForm::StatusText(int panel) const
{
    return panel >= 0 && panel < 2 ? status_[static_cast<size_t>(panel)]->text() : QString();
}

void TdncForm::Image1MouseDown(int x, int, Qt::MouseButton button, bool shift)
{
    shiftAtPress_ = shift;
    if (button == Qt::LeftButton) {
        dragStartX_ = x;
        dragging_ = true;
    } else if (button == Qt::RightButton && !Acquiring()) {
        rangeMenu_->popup(QCursor::pos());
    }
}

void TdncForm::Image1MouseMove(int x, int y, bool leftHeld)
{
    if (leftHeld && dragging_) {
        strip_.fill(Qt::white);
        if (std::abs(x - dragStartX_) > 3) {
            QPainter p(&strip_);
            QPen pen(QColor(0, 0x80, 0));
            pen.setWidth(2);
            p.setPen(pen);
            p.drawLine(dragStartX_, 1, x, 1);
        }
        stripWidget_->update();
    }
    if (!DisplayScale || SweepStep == 0.0)
        return;
    TDncStatusInput in;
    in.X = x;
    in.Y = y;
    in.PointShift = PointShift;
    in.Step = SweepStep;
    in.Start = SweepStart;
    in.Scale = *DisplayScale;
    in.Unit = ChannelTable[static_cast<size_t>(amplitude_.Slot)].UnitName;
    in.ScaleY = options_.Number(Opt::ScaleY);
    in.ZUnit = ChannelTable[SlotZ].UnitName;
    in.ShowPhase = options_.Flag(Opt::ShowPhase);
    status_[1]->setText(DncMouseStatus(in));
}

void TdncForm::Image1MouseUp(int x, int y, Qt::MouseButton button)
{
    const bool wasDragging = dragging_;
    dragging_ = false;
    if (Acquiring())
        return; // no retuning and no second sweep while one runs
    if (button != Qt::LeftButton || SweepStep == 0.0 || RecordRows() == 0 || !wasDragging) {
        Beep();
        ShowMessage(MsgKind::Information, "Spectra is invalid!\rPlease acquire new!");
        return;
    }
    bool acquire = false;
    if (DncIsClick(dragStartX_, x)) {
        OperatingFrequency = DncFrequencyAtColumn(x, PointShift, SweepStep, SweepStart);
        if (!shiftAtPress_) {
            ShowFrequencies();
            SetSetpointFromSpectrum(x, y);
        } else if (SetMultiLockInFrequency1) {
            SetMultiLockInFrequency1(OperatingFrequency);
        }
        if (static_cast<int>(options_.Number(Opt::AutoPhase)) == 1)
            AutoPhase();
    } else {
        const TDncRange r = DncDragRange(dragStartX_, x, PointShift, SweepStep, SweepStart);
        RangeStart = r.Start;
        RangeStop = r.Stop;
        ShowFrequencies();
        ContAverageCount = -1;
        acquire = true;
    }
    shown_ = bitmap_;
    ApplyOperatingFrequency();
    if (acquire)
        AcquireAndShow();
}

// ---- input gain, drive, range, bandwidth ----------------------------------------------------------

QRadioButton* TdncForm::InputRadio(int gain) const
{
    return gain == 1 ? inputRadios_[0] : gain == 10 ? inputRadios_[1] : gain == 100 ? inputRadios_[2] : nullptr;
}

void TdncForm::SetInputGain(int gain)
{
    io_.SetControlBits(InputGainMask, InputGainBits(gain, io_.Caps));
    if (QRadioButton* r = InputRadio(gain))
        r->setChecked(true);
    double factor = 1.0;
    if (MainIni) {
        MainIni->WriteBool(Dnc, "InputRadio1", gain == 1);
        MainIni->WriteBool(Dnc, "InputRadio10", gain == 10);
        MainIni->WriteBool(Dnc, "InputRadio100", gain == 100);
    }
    if (gain == 100)
        factor = MainIni ? MainIni->ReadFloat(Dnc, "Input100Scale", 0.01) : 0.01;
    else if (gain == 10)
        factor = MainIni ? MainIni->ReadFloat(Dnc, "Input10Scale", 0.1) : 0.1;
    else
        factor = MainIni ? MainIni->ReadFloat(Dnc, "Input1Scale", 1.0) : 1.0;
    inputScale_->Factor = static_cast<float>(factor);
    UpdateChannelScales();
    emit qGainScaleChanged();
    if (ReapplyScanParaSetpoint)
        ReapplyScanParaSetpoint();
}

void TdncForm::LoadInputGain()
{
    const bool r1 = MainIni && MainIni->ReadBool(Dnc, "InputRadio1", false);
    const bool r10 = MainIni && MainIni->ReadBool(Dnc, "InputRadio10", false);
    const bool r100 = MainIni && MainIni->ReadBool(Dnc, "InputRadio100", false);
    const TInputGainChoice c = LoadInputGainChoice(r1, r10, r100, io_.Caps);
    if (c.Rewrite100To10 && MainIni) {
        MainIni->WriteBool(Dnc, "InputRadio100", false);
        MainIni->WriteBool(Dnc, "InputRadio10", true);
    }
    inputRadios_[2]->setVisible(io_.Caps.InputGain100());
    if (c.Gain != 0)
        SetInputGain(c.Gain);
}

void TdncForm::UpdateChannelScales()
{
    const int slot = MainIni ? MainIni->ReadInteger(Dnc, "channel", DefaultAmplitudeSlot) : DefaultAmplitudeSlot;
    UpdateDncChannelScales(ChannelTable, inputScale_->Factor.load(), IsValidSlot(slot) ? slot : DefaultAmplitudeSlot,
                           LockInState.LockInGain != 0, MultiLockInPresent.load());
}

void TdncForm::Edit4KeyPress(EditKey key)
{
    if (key == EditKey::Escape)
        return;
    const double old = LockInState.DriveAmplitude;
    double value = 0.0;
    if (!ParseNumber(edit4_->text(), value)) {
        edit4_->MarkRefused();
        return;
    }
    edit4_->setText(FixedPointText(value, 15, 4));
    edit4_->MarkAccepted();
    if (options_.Flag(Opt::QEnabled))
        SetOutputRange(scaleButtons_->checkedId(), value);
    else
        io_.SetDriveAmplitude(value);
    // A drive beyond the ranges goes out limited: shown and stored as sent.
    const double applied = LockInState.DriveAmplitude;
    if (applied != value)
        edit4_->setText(FixedPointText(applied, 15, 3));
    if (MainIni)
        MainIni->WriteString(Dnc, "Ampl", edit4_->text());
    emit qGainScaleChanged();
    if (old > 0.0001) {
        // The free amplitude scales with the drive.
        MicroscopeState.NC100ProcentAmpl =
            RescaleNC100(MicroscopeState.NC100ProcentAmpl, old, LockInState.DriveAmplitude);
        io_.UpdateFeedback();
    }
}

void TdncForm::SetOutputRange(int item, double amplitude)
{
    scaleRadioGrp_->setPalette(QPalette());
    io_.SetDriveAmplitude(amplitude);
    const QStringList items = DncRangeItems(LockInState.AmplitudeRange);
    for (QAbstractButton* b : scaleButtons_->buttons()) {
        scaleButtons_->removeButton(b);
        delete b;
    }
    for (int i = 0; i < items.size(); ++i) {
        auto* radio = new QRadioButton(items[i], scaleRadioGrp_);
        scaleLayout_->addWidget(radio);
        scaleButtons_->addButton(radio, i);
    }
    const int index = std::clamp(item, 0, static_cast<int>(items.size()) - 1);
    scaleButtons_->button(index)->setChecked(true);
}

void TdncForm::ScaleRadioGrpClick(int itemIndex)
{
    if (!options_.Flag(Opt::QEnabled))
        return;
    double amplitude = 0.0;
    ParseNumber(edit4_->text(), amplitude);
    const int range = DncRangeOfItem(itemIndex, static_cast<int>(scaleButtons_->buttons().size()));
    if (MainIni)
        MainIni->WriteInteger(Dnc, "AmplRadio", itemIndex);
    if (io_.SetAmplitudeRange(range, amplitude)) {
        QPalette red = scaleRadioGrp_->palette();
        red.setColor(QPalette::Window, Qt::red);
        scaleRadioGrp_->setPalette(red);
    }
    emit qGainScaleChanged();
}

void TdncForm::UpdateBandwidthControls()
{
    if (!redBandwidthButton_->isChecked()) {
        comboBox2_->hide();
        comboBox3_->hide();
        comboBox2_->setCurrentIndex(0);
        comboBox3_->setCurrentIndex(-1);
        FilterBoxChange();
    }
    // The noise measurement's button keeps the drive off.
    if (speedButton2_->isChecked())
        return;
    edit4_->setEnabled(true);
    edit4_->setText(MainIni ? MainIni->ReadString(Dnc, "Ampl", "1") : QString("1"));
    Edit4KeyPress(EditKey::Enter);
}

void TdncForm::RedBandwidthButtonClick()
{
    UpdateBandwidthControls();
    const bool down = redBandwidthButton_->isChecked();
    if (down) {
        comboBox2_->setCurrentIndex(MainIni ? MainIni->ReadInteger(Dnc, "Tau", 0) : 0);
        comboBox3_->setCurrentIndex(std::max(0, MainIni ? MainIni->ReadInteger(Dnc, "RollOff", 0) : 0));
        comboBox2_->show();
        comboBox3_->show();
        FilterBoxChange();
    }
    if (MainIni)
        MainIni->WriteBool(Dnc, "RedBandwidth", down);
}

bool TdncForm::FilterChoice(int& timeConstant, int& rollOff) const
{
    timeConstant = comboBox2_->currentIndex();
    rollOff = comboBox3_->currentIndex();
    return true;
}

void TdncForm::FilterBoxChange()
{
    const int tau = comboBox2_->currentIndex();
    const int rollOff = comboBox3_->currentIndex();
    if (redBandwidthButton_->isChecked() && MainIni) {
        MainIni->WriteInteger(Dnc, "Tau", tau);
        MainIni->WriteInteger(Dnc, "RollOff", rollOff);
    }
    io_.SetLockInFilter(6, tau, rollOff);
    io_.SetLockInFilter(7, tau, rollOff);
    if (!DncTimeConstantOf(tau, TimeConstant))
        ShowMessage(MsgKind::Information, "Tau not supported!");
}

void TdncForm::ApplySyncFilter()
{
    const bool on = options_.Flag(Opt::SyncFilter);
    const bool stored = options_.Stored(Opt::SyncPeriode);
    const int32_t period = stored ? options_.Integer(Opt::SyncPeriode) : 0;
    io_.SetLockInGain(DncSyncPeriod(on, period, stored, LockInState.DriveFrequency));
    UpdateChannelScales();
}

void TdncForm::SpeakerButtonClick()
{
    options_.WriteBool(Opt::BeepOnOverload, speakerButton_->isChecked(), this);
}

void TdncForm::DncStatusChanged(bool overload, bool qClip, bool showWindow)
{
    QPalette p = inputGroup_->palette();
    p.setColor(QPalette::Window, overload ? QColor(Qt::red) : QPalette().color(QPalette::Window));
    inputGroup_->setPalette(p);
    clipPanel_->setVisible(qClip);
    if (showWindow && !isActiveWindow())
        show();
}

// ---- options ----------------------------------------------------------------------------------------

void TdncForm::OptionChanged(TDncOptions::Key key, QObject* by)
{
    // The tool's own writes need nothing more; the others' take effect as
    // their controls on the options window ask. The rest is read where it is used.
    if (by == this)
        return;
    switch (key) {
    case Opt::Harmonic:
    case Opt::Phase:
    case Opt::Ac:
    case Opt::SyncFilter:
        // They reach the lock-in at once: a running acquisition ends first.
        EndRunFor(key == Opt::Harmonic ? "harmonic"
                  : key == Opt::Phase  ? "phase"
                  : key == Opt::Ac     ? "input coupling"
                                       : "sync filter");
        ApplyOptions();
        break;
    case Opt::DataPoints:
    case Opt::Average:
    case Opt::ContAverage:
    case Opt::History:
        NoteNextRun(key == Opt::DataPoints ? "point count"
                    : key == Opt::Average  ? "average"
                    : key == Opt::History  ? "history depth"
                                           : "running mean");
        ApplyOptions();
        break;
    case Opt::All: // the options window shows what is stored
    case Opt::ScaleY:
    case Opt::Popup0:
        ApplyOptions();
        break;
    case Opt::Vector:
    case Opt::ShowPhase:
    case Opt::FitShoWidth:
    case Opt::FitShoColor:
        DrawSpectrum();
        break;
    case Opt::FitShoAlways:
        HideFitLabels();
        DrawSpectrum();
        break;
    case Opt::AutoTuneOn:
        UpdateScanGlyph();
        break;
    case Opt::QEnabled:
        QControlChanged();
        break;
    default:
        break;
    }
}

void TdncForm::ApplyOptions()
{
    AverageReads = std::max(0, static_cast<int>(options_.Number(Opt::Average)));
    const int points = ClampDataPoints(static_cast<int>(options_.Number(Opt::DataPoints)));
    const int depth = ClampHistoryDepth(static_cast<int>(options_.Number(Opt::History)));
    if (Acquiring()) {
        deferredSize_ = std::make_pair(points, depth);
    } else {
        // What the options say now replaces a size left waiting by the last sweep.
        deferredSize_.reset();
        if (points == DataPoints && !Curves.Empty()) {
            HistoryDepth = depth;
            Curves.SetDepth(depth);
        } else {
            SetSweepSize(points, depth);
        }
    }
    PointShift = DncPointShift(DataPoints);
    recent_.Items[0] = options_.Text(Opt::Popup0);
    rangeActions_[0]->setText(recent_.Items[0]);
    const int harmonic = static_cast<int>(options_.Number(Opt::Harmonic));
    const double phase = options_.Number(Opt::Phase);
    options_.WriteInteger(Opt::Harmonic, std::clamp(harmonic, 1, 15), this);
    ContAverageCount = static_cast<int32_t>(options_.Number(Opt::ContAverage));
    // A sweep that runs on keeps the lock-in as it started it; its end applies these.
    if (!Acquiring() || AbortRequested) {
        io_.SetLockInPhase(harmonic, phase);
        io_.SetControlBits(InputAcBit, options_.Flag(Opt::Ac) ? InputAcBit : 0);
        ApplySyncFilter();
    }
    UpdateScanGlyph();
}

void TdncForm::HideFitLabels()
{
    mathErrLabel_->hide();
    noiseErrLabel_->hide();
}

void TdncForm::UpdateScanGlyph()
{
    const bool autoTune = options_.Flag(Opt::AutoTuneOn);
    scanButton_->setText(autoTune ? "auto tune" : "acquire");
    scanButton_->setIcon(TuneGlyph(autoTune));
    scanButton_->setProperty("Glyph", autoTune ? "AUTOTUNEICON" : "TUNEICON");
    if (autoTune)
        repeatButton_->setChecked(false);
    repeatButton_->setEnabled(!autoTune);
}

void TdncForm::QControlChanged()
{
    const bool shown = options_.Flag(Opt::QEnabled) || MicroscopeState.FeedbackMode == FeedbackNcAFMPLL;
    scaleRadioGrp_->setVisible(shown);
    if (shown)
        Edit4KeyPress(EditKey::Enter);
}

QMetaObject::Connection TdncForm::WhenAcquisitionEnds(QObject* context, std::function<void()> f)
{
    return connect(this, &TdncForm::acquisitionEnded, context, std::move(f), Qt::SingleShotConnection);
}

QString TdncForm::AskSpectrumSaveName(const QString& filter, const QString& directory, const QString& name)
{
    return AskSaveName ? AskSaveName(filter, directory, name) : QString();
}

void TdncForm::SpeedButton1Click()
{
    emit optionsAsked();
}

// ---- auto tune ------------------------------------------------------------------------------------

void TdncForm::AutoTunePrepare()
{
    autoTuning_ = true;
    RangeStart = options_.Number(Opt::AutoTuneStartF);
    RangeStop = options_.Number(Opt::AutoTuneStopF);
    PreviousRangeStart = RangeStart;
    PreviousRangeStop = RangeStop;
    ShowFrequencies();
    savedContAverage_ = static_cast<int32_t>(options_.Number(Opt::ContAverage));
    options_.WriteInteger(Opt::ContAverage, -1, this);
    if (options_.Flag(Opt::QEnabled)) {
        savedQGain_ = LockInState.QControlGain;
        savedQDelay_ = LockInState.QControlDelay;
        LockInState.QControlGain = 0;
        LockInState.QControlDelay = 0;
        io_.SetPhaseShifter(0, 0, LockInState.DriveFrequency);
    }
}

bool TdncForm::AutoTuneNarrowing()
{
    if (Fit.MathError || Fit.NoiseError) {
        AbortRequested = true;
        return false;
    }
    PreviousRangeStart = RangeStart;
    PreviousRangeStop = RangeStop;
    TAutoTuneSettings s;
    s.StartF = options_.Number(Opt::AutoTuneStartF);
    s.StopF = options_.Number(Opt::AutoTuneStopF);
    s.Step = options_.Number(Opt::AutoTuneStep);
    s.Offset = options_.Number(Opt::AutoTuneOffset);
    const TAutoTuneStep step =
        AutoTuneNarrow(RangeStart, RangeStop, Fit.FitPeakFrequency, Fit.FitQ, Fit.PeakIndex, SweepStep, SweepStart, s);
    if (!step.Done) {
        RangeStart = step.Start;
        RangeStop = step.Stop;
        ShowFrequencies();
    }
    if (static_cast<int>(options_.Number(Opt::AutoPhase)) == 1)
        AutoPhase();
    return step.Done;
}

void TdncForm::AutoTuneFinish()
{
    autoTuning_ = false;
    const bool mathError = Fit.MathError;
    EditKeyPress(3, EditKey::Enter);
    const int mode = MicroscopeState.FeedbackMode;
    int column = 0;
    // An operating frequency outside the swept points has no curve value to carry over.
    if (!mathError && RecordComplete() && DisplayScale && DisplayScale->Scale > 0.0 && EnterInScanPara &&
        mode >= FeedbackNcAFMR &&
        AutoTuneColumn(OperatingFrequency, SweepStart, SweepStep, DataPoints, PointShift, column)) {
        double v = 0.0;
        const TFeedbackSet& set =
            MicroscopeState.FeedbackSets[static_cast<size_t>(FeedbackSetIndex(ValidFeedbackMode(mode)))];
        if (mode == FeedbackNcAFMR) {
            const TFeedbackSet& four =
                MicroscopeState.FeedbackSets[static_cast<size_t>(FeedbackSetIndex(FeedbackNcAFMR))];
            const int point = std::clamp(column << PointShift, 0, Curves.DataPoints());
            v = four.Setpoint / 100.0 * Curves.Newest()[static_cast<size_t>(point)];
        } else if (mode == FeedbackNcAFMX) {
            v = set.Setpoint;
        } else {
            v = MicroscopeState.AmplSetpoint;
        }
        const int row =
            256 - static_cast<int>(std::clamp(Round((v - DisplayScale->Offset) * DisplayScale->Scale), -1.0e6, 1.0e6));
        SetSetpointFromSpectrum(column, row);
    }
    noiseErrLabel_->setVisible(Fit.NoiseError);
    if (mathError) {
        ShowMessage(MsgKind::Information, "Math Error while fitting SHO!");
        RangeStart = PreviousRangeStart;
        RangeStop = PreviousRangeStop;
        ShowFrequencies();
        ++pendingAcquisitions_;
    }
    if (options_.Flag(Opt::QEnabled)) {
        LockInState.QControlGain = savedQGain_;
        LockInState.QControlDelay = savedQDelay_;
        io_.SetPhaseShifter(savedQGain_, savedQDelay_, LockInState.DriveFrequency);
        ++pendingAcquisitions_;
    }
    options_.WriteInteger(Opt::ContAverage, savedContAverage_, this);
}

// ---- thermal-noise spectrum ----------------------------------------------------------------------

void TdncForm::SpeedButton2Click()
{
    UpdateBandwidthControls();
    const bool qEnabled = options_.Flag(Opt::QEnabled);
    const int items = static_cast<int>(scaleButtons_->buttons().size());
    if (speedButton2_->isChecked()) {
        edit4_->setEnabled(false);
        savedDriveAmplitude_ = LockInState.DriveAmplitude;
        edit4_->setText("0.0");
        if (qEnabled) {
            savedRangeOffset_ = scaleButtons_->checkedId() - items + 3;
            SetOutputRange(2, 0.0);
        } else {
            io_.SetDriveAmplitude(0.0);
        }
    } else {
        edit4_->setEnabled(true);
        if (qEnabled)
            SetOutputRange(items + savedRangeOffset_ - 3, savedDriveAmplitude_);
        else
            io_.SetDriveAmplitude(savedDriveAmplitude_);
        edit4_->setText(FixedPointText(LockInState.DriveAmplitude, 15, 4));
    }
}

void TdncForm::StartNoiseSpectrum()
{
    Acquisition& a = *acquisition_;
    const int x = MainIni ? MainIni->ReadInteger(Dnc, "ChannelX", DefaultNoiseX) : DefaultNoiseX;
    const int y = MainIni ? MainIni->ReadInteger(Dnc, "ChannelY", DefaultNoiseY) : DefaultNoiseY;
    NoiseDone = false;
    io_.SetDriveAmplitude(0.0);
    a.Decimation = NoiseDecimation(SweepStop - SweepStart);
    DncScopePeriod = a.Decimation;
    DncScopeChannels = {NoiseFillAddress, NoiseReadAddress(x, DefaultNoiseX), NoiseReadAddress(y, DefaultNoiseY),
                        NoiseFillAddress};
    for (size_t b = 1; b <= 3; ++b)
        OsziBuffers[b].Count = 0;
    a.NoiseWaiting = true;
    a.NoiseClock.start();
    // The device window's buffer poll (100 ms) brings the frames; each one is looked at here.
    a.NoiseFrames = connect(&io_, &TInOutForm::noiseFrame, this, &TdncForm::NoiseSpectrumReady);
    OsziFlags.fetch_or(OsziNoiseMeasurement);
    io_.ConfigOsziAcquisition();
}

void TdncForm::NoiseSpectrumReady()
{
    if (!acquisition_ || !acquisition_->Noise || !acquisition_->NoiseWaiting)
        return;
    Acquisition& a = *acquisition_;
    const NoiseWaitState state =
        NoiseWaitStep(OsziBuffers[1].Count, AbortRequested, a.NoiseClock.elapsed() / 1000.0, a.Decimation);
    if (state == NoiseWaitState::Waiting)
        return;
    if (state == NoiseWaitState::Ready) {
        std::array<double, NoiseSamples> magnitudes{};
        if (!ComputeNoiseFft(OsziBuffers[1].Samples, OsziBuffers[2].Samples, magnitudes))
            ShowMessage(MsgKind::Information, "Error in FFT!");
        if (!ComputeAmplitudeCorrection(magnitudes, a.Decimation, NoiseSpectrum))
            ShowMessage(MsgKind::Information, "Error in AmplCorr!");
        TNoiseMapping m;
        m.SweepStart = SweepStart;
        m.SweepStop = SweepStop;
        m.SweepStep = SweepStep;
        m.DataPoints = DataPoints;
        m.Decimation = a.Decimation;
        m.Factor = amplitude_.Factor;
        m.ContAverage = ContAverageCount;
        MapNoiseSpectrum(NoiseSpectrum, m, Curves);
        NoiseDone = true;
        ApplyOperatingFrequency();
    }
    FinishAcquisition();
}

void TdncForm::EndNoiseWait()
{
    if (!acquisition_ || !acquisition_->NoiseWaiting)
        return;
    acquisition_->NoiseWaiting = false;
    disconnect(acquisition_->NoiseFrames);
    // The measurement stops taking frames, whichever way it ended.
    OsziFlags.fetch_and(OsziThreeTrace);
    for (size_t b = 1; b <= 3; ++b)
        OsziBuffers[b].Count = 1;
    io_.ConfigOsziAcquisition();
}

// ---- export -----------------------------------------------------------------------------------------

void TdncForm::EnableSaving(bool on)
{
    saveButton_->setEnabled(on);
    saveAsButton_->setEnabled(on);
    buttonCopy_->setEnabled(on);
}

void TdncForm::SaveSpectrum(const QString& name)
{
    const QString ext = options_.Text(Opt::SaveExt);
    const bool numbered = options_.Flag(Opt::SaveNumbered);
    int next = static_cast<int>(options_.Number(Opt::NextNumber));
    const QString full = DncSaveFileName(DncLocalPath(name), ext, numbered, next);
    // A number is used up by a written file or one already there, never by a failed write.
    const auto useNumber = [&] {
        if (numbered)
            options_.WriteInteger(Opt::NextNumber, next, this);
    };
    const bool dirExists = QFileInfo(full).absoluteDir().exists();
    if (!dirExists || QFileInfo::exists(full)) {
        if (dirExists)
            useNumber();
        ShowMessage(MsgKind::Information, dirExists ? "File already exists!" : "Directory does not exist!");
        ItemSaveClick();
        return;
    }
    TDncExportColumns c;
    c.XAxis = options_.Flag(Opt::XAxis);
    c.Phase = options_.Flag(Opt::SavePhase);
    c.Delimiter = SaveDelimiter(static_cast<int>(options_.Number(Opt::DelimiterSave)));
    c.WithComment = options_.Flag(Opt::SaveComment);
    c.Comment = options_.Text(Opt::Comment);
    const DncSaveResult r = WriteDncExport(full, DncExportText(Curves, RecordRows(), SweepStep, SweepStart, c));
    if (r == DncSaveResult::Exists) {
        // Created by someone else since the check: still never overwritten.
        useNumber();
        ShowMessage(MsgKind::Information, "File already exists!");
        ItemSaveClick();
    } else if (r != DncSaveResult::Saved) {
        ShowMessage(MsgKind::Warning, "File access error!");
    } else {
        useNumber();
        options_.WriteText(Opt::LastSaveName, "\"" + full + "\"", this);
    }
}

void TdncForm::ItemSaveClick()
{
    if (saveDialogDepth_ >= MaxSaveDialogs) {
        ShowMessage(MsgKind::Warning, "File not saved!");
        return;
    }
    const QString ext = options_.Text(Opt::SaveExt);
    const QString local = DncLocalPath(options_.Text(Opt::SaveName));
    const QString chosen = AskSaveName ? AskSaveName("spectra (*." + ext + ")|*." + ext, QFileInfo(local).path(),
                                                     QFileInfo(local).fileName() + "." + ext)
                                       : QString();
    if (chosen.isEmpty()) {
        ShowMessage(MsgKind::Warning, "File not saved!");
        return;
    }
    const int dot = chosen.lastIndexOf('.');
    const int slash = chosen.lastIndexOf('/');
    const bool hasExt = dot > slash;
    const QString newExt = hasExt ? chosen.mid(dot + 1) : QString();
    const QString base = hasExt ? chosen.left(dot) : chosen;
    options_.WriteText(Opt::SaveExt, newExt, this);
    options_.WriteText(Opt::SaveName, base, this);
    options_.WriteInteger(Opt::NextNumber, 1, this);
    ++saveDialogDepth_;
    SaveSpectrum(base);
    --saveDialogDepth_;
}

void TdncForm::SaveButtonClick(bool shift)
{
    if (shift) {
        const bool on = !options_.Flag(Opt::AutoSave);
        options_.WriteInteger(Opt::AutoSave, on ? 1 : 0, this);
        saveButton_->setChecked(on);
        return;
    }
    options_.WriteInteger(Opt::AutoSave, 0, this);
    saveButton_->setChecked(false);
    SaveSpectrum(options_.Text(Opt::SaveName));
}

void TdncForm::CopytoClipboard1Click()
{
    const QString delimiter = SaveDelimiter(static_cast<int>(options_.Number(Opt::DelimiterSave)));
    QGuiApplication::clipboard()->setText(DncClipboardText(Curves, RecordRows(), SweepStep, SweepStart, delimiter));
}

void TdncForm::AutoPhase()
{
    // The device window wrote the phase taken into the settings itself.
    io_.DncAutoPhase();
    options_.Announce(Opt::Phase, this);
}

} // namespace qvt
