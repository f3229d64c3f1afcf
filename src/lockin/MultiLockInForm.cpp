#include "lockin/MultiLockInForm.h"

#include "core/IniFile.h"
#include "core/NumberText.h"
#include "core/SharedState.h"
#include "device/ChannelTable.h"
#include "device/InOutForm.h"
#include "device/LockInRequests.h"
#include "images/ChannelChoice.h"
#include "lockin/DncExport.h"
#include "lockin/DncPlot.h"
#include "lockin/LinkFormula.h"
#include "lockin/MultiLockInWords.h"
#include "platform/FileDialogs.h"
#include "platform/MessageBoxes.h"
#include "widgets/KeepRoom.h"
#include "widgets/SimpleChart.h"

#include <QBoxLayout>
#include <QButtonGroup>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

#include <cmath>
#include <numbers>

namespace qvt {

TMultiLockInForm* MultiLockInForm = nullptr;

namespace {

const QString Section = "MultiLockin";
const QString OptSection = "MultiLockinOpt";
const char* const LinkBoxNames[3] = {"ComboBox10", "ComboBox1", "ComboBox4"};
const char* const NumberItems[8] = {"LIA 1 X", "LIA 1 Y", "LIA 2 X",        "LIA 2 Y",
                                    "LIA 3 X", "LIA 3 Y", "LIA 0 X  (dnc)", "LIA 0 Y  (dnc)"};
const int32_t XAddress[3] = {ReadAddrLia1X, ReadAddrLia2X, ReadAddrLia3X};

// A paste into a link box: the clipboard's text (10000 characters at most)
// replaces the selection where the selected text first occurs; with nothing
// selected it goes at the end.
QString PastedLinkText(const QString& text, const QString& selected, const QString& clipboard)
{
    const QString piece = clipboard.left(10000);
    const qsizetype at = selected.isEmpty() ? -1 : text.indexOf(selected);
    if (at < 0)
        return text + piece;
    return text.left(at) + piece + text.mid(at + selected.size());
}

void Colour(QWidget* w, const char* colour)
{
    w->setStyleSheet(colour ? QString("background-color: %1").arg(colour) : QString());
}

double UnitTagFactor(int tag)
{
    return tag == -1 ? 0.001 : tag == 1 ? 1000.0 : tag == 2 ? 1.0e6 : 1.0;
}

// "k", "m", "M" set the unit label's tag (in this order) and are removed;
// the number is in the label's unit.
bool ParseWithUnit(QString text, int& tag, double& value)
{
    if (text.contains('k')) {
        tag = 1;
        text.remove('k');
    }
    if (text.contains('m')) {
        tag = -1;
        text.remove('m');
    }
    if (text.contains('M')) {
        tag = 2;
        text.remove('M');
    }
    if (!ParseNumber(text, value))
        return false;
    value *= UnitTagFactor(tag);
    return true;
}

const char* const UnitLabelNames[8] = {"Label2", "Label1",  "Label5",  "Label17",
                                       "Label3", "Label10", "Label20", "Label22"};

} // namespace

TMultiLockInForm::TMultiLockInForm(QWidget* parent) : QWidget(parent)
{
    MultiLockInForm = this;
    setWindowTitle("Multi Channel LockIn");
    BuildUi();
}

TMultiLockInForm::~TMultiLockInForm()
{
    if (MultiLockInForm == this)
        MultiLockInForm = nullptr;
}

void TMultiLockInForm::BuildUi()
{
    auto* grid = new QGridLayout(this);
    for (int k = 0; k < 3; ++k) {
        auto* box = new QGroupBox(QString("Lia %1 ").arg(k + 1), this);
        auto* g = new QGridLayout(box);
        freqEdits_[k] = new QLineEdit(box);
        freqEdits_[k]->setObjectName(QString("FreqEdit%1").arg(k + 1));
        linkBoxes_[k] = new QComboBox(box);
        linkBoxes_[k]->setObjectName(LinkBoxNames[k]);
        linkBoxes_[k]->setEditable(true);
        linkBoxes_[k]->setInsertPolicy(QComboBox::NoInsert);
        linkBoxes_[k]->setCompleter(nullptr); // a typed formula is taken as typed
        amplEdits_[k] = new QLineEdit(box);
        amplEdits_[k]->setObjectName(QString("AmplEdit%1").arg(k + 1));
        phaseEdits_[k] = new QLineEdit(box);
        phaseEdits_[k]->setObjectName(QString("PhaseEdit%1").arg(k + 1));
        auto* autoButton = new QPushButton("Auto", box);
        inputButtons_[k] = new QPushButton("In A", box);
        unitButtons_[k] = new QPushButton("Hz", box);
        unitButtons_[3 + k] = new QPushButton("V", box);
        g->addWidget(new QLabel("f", box), 0, 0);
        g->addWidget(freqEdits_[k], 0, 1);
        g->addWidget(unitButtons_[k], 0, 2);
        g->addWidget(linkBoxes_[k], 1, 0, 1, 2);
        g->addWidget(new QLabel("Ampl", box), 2, 0);
        g->addWidget(amplEdits_[k], 2, 1);
        g->addWidget(unitButtons_[3 + k], 2, 2);
        g->addWidget(new QLabel("Phase", box), 3, 0);
        g->addWidget(phaseEdits_[k], 3, 1);
        g->addWidget(autoButton, 4, 0);
        g->addWidget(inputButtons_[k], 4, 1);
        if (k > 0) {
            routeButtons_[k] = new QPushButton(box);
            g->addWidget(routeButtons_[k], 5, 0, 1, 2);
            connect(routeButtons_[k], &QPushButton::clicked, this, [this, k] { RouteClick(k); });
        }
        grid->addWidget(box, 0, k);
        groups_[k] = box;
        box->installEventFilter(this);
        connect(freqEdits_[k], &QLineEdit::returnPressed, this, [this, k] { EnterText(0, k, freqEdits_[k]->text()); });
        connect(amplEdits_[k], &QLineEdit::returnPressed, this, [this, k] { EnterText(1, k, amplEdits_[k]->text()); });
        connect(phaseEdits_[k], &QLineEdit::returnPressed, this,
                [this, k] { EnterText(2, k, phaseEdits_[k]->text()); });
        for (QLineEdit* e : {freqEdits_[k], amplEdits_[k], phaseEdits_[k]})
            connect(e, &QLineEdit::textEdited, this, [e] { Colour(e, "silver"); });
        connect(linkBoxes_[k], &QComboBox::activated, this, [this, k] { LinkBoxSelect(k); });
        linkBoxes_[k]->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(linkBoxes_[k], &QComboBox::customContextMenuRequested, this, [this, k](const QPoint& at) {
            QMenu menu;
            QLineEdit* e = linkBoxes_[k]->lineEdit();
            menu.addAction("Cut", e, &QLineEdit::cut);
            menu.addAction("Copy", e, &QLineEdit::copy);
            menu.addAction("Paste", e, [this, k, e] {
                e->setText(PastedLinkText(e->text(), e->selectedText(), QGuiApplication::clipboard()->text()));
                Colour(linkBoxes_[k], "silver"); // typed, not yet applied
            });
            if (AdminMode && AdminMode()) {
                QAction* store = menu.addAction("Store", this, [this, k] { StorePreset(k); });
                store->setEnabled(linkBoxes_[k]->count() < LinkPresetMaxItems);
                QAction* del = menu.addAction("Delete", this, [this, k] { DeletePreset(k); });
                del->setEnabled(linkBoxes_[k]->count() > 1);
            }
            menu.exec(linkBoxes_[k]->mapToGlobal(at));
        });
        connect(linkBoxes_[k]->lineEdit(), &QLineEdit::returnPressed, this, [this, k] {
            Colour(linkBoxes_[k], nullptr);
            LinkBoxSelect(k);
        });
        connect(linkBoxes_[k]->lineEdit(), &QLineEdit::textEdited, this,
                [this, k] { Colour(linkBoxes_[k], "silver"); });
        connect(autoButton, &QPushButton::clicked, this, [this, k] { AutoPhase(k); });
        connect(inputButtons_[k], &QPushButton::clicked, this,
                [this, k] { SetInput(k, (inputTags_[static_cast<size_t>(k)] + 1) % 2); });
    }
    timeConstant_ = new QComboBox(this);
    for (int t = 0; t < MultiLockInFilterItems; ++t)
        timeConstant_->addItem(MultiLockInFilterText(t));
    timeConstant_->setObjectName("FilterBox");
    rollOff_ = new QComboBox(this);
    rollOff_->addItems({"6 db/oct", "12 db/oct", "24 db/oct"});
    auto filterChange = [this] { FilterChange(timeConstant_->currentIndex(), rollOff_->currentIndex()); };
    connect(timeConstant_, &QComboBox::activated, this, filterChange);
    connect(rollOff_, &QComboBox::activated, this, filterChange);
    refA_ = new QRadioButton("Ref A (bimodal)", this);
    refB_ = new QRadioButton("Ref B (Kelvin)", this);
    connect(refA_, &QRadioButton::clicked, this, [this] { SetReferenceOutput(1); });
    connect(refB_, &QRadioButton::clicked, this, [this] { SetReferenceOutput(0); });
    grid->addWidget(timeConstant_, 1, 0);
    grid->addWidget(rollOff_, 1, 1);
    auto* refs = new QWidget(this);
    auto* refLayout = new QGridLayout(refs);
    refLayout->addWidget(refA_, 0, 0);
    refLayout->addWidget(refB_, 1, 0);
    grid->addWidget(refs, 1, 2);
    for (int s = 0; s < 2; ++s) {
        numberBoxes_[s] = new QComboBox(this);
        for (const char* item : NumberItems)
            numberBoxes_[s]->addItem(item);
        numberLabels_[s] = new QLabel(this);
        numberUnits_[s] = new QPushButton("V", this);
        numberUnits_[s]->setFlat(true);
        grid->addWidget(numberUnits_[s], 2 + s, 2);
        connect(numberUnits_[s], &QPushButton::clicked, this, [this, s] { NumbersUnitClick(s); });
        grid->addWidget(numberBoxes_[s], 2 + s, 0);
        grid->addWidget(numberLabels_[s], 2 + s, 1);
        numbersWidgets_.insert(numbersWidgets_.end(), {numberBoxes_[s], numberLabels_[s], numberUnits_[s]});
        connect(numberBoxes_[s], &QComboBox::activated, this, [this, s](int n) {
            numbers_[static_cast<size_t>(s)] = ClampNumbersChannel(n);
            if (MainIni)
                MainIni->WriteInteger(Section, QString("NumbersChannel%1").arg(s), n);
        });
    }
    timer_ = new QTimer(this);
    timer_->setInterval(100);
    connect(timer_, &QTimer::timeout, this, &TMultiLockInForm::Timer1Timer);

    sourceBox_ = new QComboBox(this);
    sourceBox_->addItems({"LIA1", "LIA2", "LIA3"});
    sourceLabel_ = new QLabel("Please choose a channel!", this);
    startEdit_ = new QLineEdit(this);
    startEdit_->setObjectName("StartEdit");
    stopEdit_ = new QLineEdit(this);
    stopEdit_->setObjectName("StopEdit");
    scanButton_ = new QPushButton("Scan", this);
    scanButton_->setObjectName("ScanButton");
    scanButton_->setCheckable(true);
    auto* optionsButton = new QPushButton("Options", this);
    connect(optionsButton, &QPushButton::clicked, this, [this] {
        if (ShowOptions)
            ShowOptions();
    });
    grid->addWidget(optionsButton, 4, 2);
    grid->addWidget(sourceBox_, 4, 0);
    grid->addWidget(sourceLabel_, 4, 1);
    unitButtons_[6] = new QPushButton("Hz", this);
    unitButtons_[7] = new QPushButton("Hz", this);
    for (int u = 0; u < 8; ++u) {
        unitButtons_[u]->setFlat(true);
        unitButtons_[u]->setObjectName(UnitLabelNames[u]);
        connect(unitButtons_[u], &QPushButton::clicked, this, [this, u] { LabelIncClick(u); });
    }
    auto* rangeRow = new QWidget(this);
    auto* rangeLayout = new QHBoxLayout(rangeRow);
    rangeLayout->setContentsMargins(0, 0, 0, 0);
    rangeLayout->addWidget(startEdit_);
    rangeLayout->addWidget(unitButtons_[6]);
    rangeLayout->addWidget(stopEdit_);
    rangeLayout->addWidget(unitButtons_[7]);
    grid->addWidget(rangeRow, 5, 0, 1, 2);
    repeatButton_ = new QPushButton("continue acquire", this);
    repeatButton_->setObjectName("RepeatButton");
    repeatButton_->setCheckable(true);
    // Beside Scan, which it repeats, in Scan's own cell: the chart below
    // has its row to itself.
    auto* scanRow = new QWidget(this);
    auto* scanLayout = new QHBoxLayout(scanRow);
    scanLayout->setContentsMargins(0, 0, 0, 0);
    scanLayout->addWidget(scanButton_);
    scanLayout->addWidget(repeatButton_);
    grid->addWidget(scanRow, 5, 2);
    saveButton_ = new QPushButton("Save", this);
    saveButton_->setCheckable(true);
    saveButton_->installEventFilter(this);
    auto* saveAsButton = new QPushButton("Save as", this);
    saveAsButton->setObjectName("SaveAsButton");
    auto* copyButton = new QPushButton("Copy", this);
    copyButton->setObjectName("CopyButton");
    saveAsButton_ = saveAsButton;
    copyButton_ = copyButton;
    EnableSaving(false); // until a sweep has brought data
    auto* copyImageButton = new QPushButton("Copy image", this);
    auto* rangeButton = new QPushButton("Range", this);
    auto* buttons = new QWidget(this);
    auto* buttonRow = new QHBoxLayout(buttons);
    buttonRow->setContentsMargins(0, 0, 0, 0);
    for (QPushButton* b : {saveButton_, saveAsButton, copyButton, copyImageButton, rangeButton})
        buttonRow->addWidget(b);
    static const char* const channelCaptions[5] = {"1", "2", "3", "4", "Math"};
    for (int b = 0; b < 5; ++b) {
        channelButtons_[b] = new QPushButton(channelCaptions[b], this);
        channelButtons_[b]->setCheckable(true);
        buttonRow->addWidget(channelButtons_[b]);
        connect(channelButtons_[b], &QPushButton::pressed, this, [this, b] {
            // Shown at once on mouse-down, before the click settles the buttons.
            series_[static_cast<size_t>(b)].Visible = true;
            chart_->update();
        });
        connect(channelButtons_[b], &QPushButton::clicked, this, [this, b] { ChannelButtonClick(b); });
    }
    grid->addWidget(buttons, 7, 0, 1, 4);
    auto* acqRow = new QWidget(this);
    auto* acqLayout = new QHBoxLayout(acqRow);
    acqLayout->setContentsMargins(0, 0, 0, 0);
    for (int b = 0; b < 4; ++b) {
        acqBoxes_[b] = new QComboBox(this);
        acqBoxes_[b]->setObjectName(QString("AcqComboBox%1").arg(b + 1));
        // Four boxes keep their room whatever the channel count: a long
        // channel name does not widen the window.
        acqBoxes_[b]->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
        acqBoxes_[b]->setMinimumContentsLength(12);
        acqLayout->addWidget(acqBoxes_[b]);
        connect(acqBoxes_[b], &QComboBox::activated, this, [this, b](int index) { AcqComboBoxChange(b, index); });
    }
    grid->addWidget(acqRow, 8, 0, 1, 4);
    status_ = new QLabel(this);
    grid->addWidget(status_, 9, 0, 1, 4);
    // Height the window has beyond its rows goes below them: a view change
    // that leaves the window taller does not spread the controls apart.
    grid->setRowStretch(10, 1);
    // The number rows, the channel buttons and boxes counted in or out and
    // the Math button keep their room while hidden, so the radios and the
    // buttons beside them stay under the pointer.
    for (QWidget* w : numbersWidgets_)
        KeepRoomWhenHidden(w);
    for (QPushButton* b : channelButtons_)
        KeepRoomWhenHidden(b);
    for (QComboBox* box : acqBoxes_)
        KeepRoomWhenHidden(box);
    connect(saveAsButton, &QPushButton::clicked, this, &TMultiLockInForm::SaveAsButtonClick);
    connect(copyImageButton, &QPushButton::clicked, this, &TMultiLockInForm::CopyImageBtnClick);
    connect(copyButton, &QPushButton::clicked, this, [this] {
        static const char* const delimiters[] = {"", "\t", " ", ",", "."};
        const int d = std::clamp(MainIni ? MainIni->ReadInteger(OptSection, "DelimiterSave", 0) : 0, 0, 4);
        const QString comment = MainIni && MainIni->ReadBool(OptSection, "SaveComment", false)
                                    ? MainIni->ReadString(OptSection, "Comment", "")
                                    : QString();
        chart_->CopyDataToClipboard(delimiters[d], comment, !MainIni || MainIni->ReadBool(OptSection, "xAxis", true));
    });
    connect(rangeButton, &QPushButton::clicked, this,
            [this, rangeButton] { RangeMenu(rangeButton->mapToGlobal(QPoint(0, rangeButton->height()))); });
    chart_ = new TSimpleChart(this);
    chart_->setMinimumSize(480, 220);
    grid->addWidget(chart_, 6, 0, 1, 4);
    chart_->setMouseTracking(true);
    numbersRadio_ = new QRadioButton("Numbers", this);
    spectrumRadio_ = new QRadioButton("Spectrum", this);
    numbersRadio_->setObjectName("NumbersRadioBtn");
    spectrumRadio_->setObjectName("SpektraRadioBtn");
    auto* views = new QButtonGroup(this); // apart from the reference radios
    views->addButton(numbersRadio_);
    views->addButton(spectrumRadio_);
    grid->addWidget(numbersRadio_, 2, 3);
    grid->addWidget(spectrumRadio_, 3, 3);
    connect(numbersRadio_, &QRadioButton::clicked, this, [this] { ShowNumbersView(true); });
    connect(spectrumRadio_, &QRadioButton::clicked, this, [this] { ShowNumbersView(false); });
    spectrumWidgets_ = {optionsButton, rangeRow, scanButton_, repeatButton_, chart_, buttons, acqRow};
    for (auto& s : series_) {
        s.Color = QColor(0x00, 0x00, 0xFF);
        s.Visible = false;
        chart_->AddSeries(&s);
    }
    series_[1].Color = Qt::red;
    series_[2].Color = Qt::darkGreen;
    series_[3].Color = Qt::magenta;
    connect(sourceBox_, &QComboBox::activated, this, [this](int i) { SelectSweepSource(i + 1); });
    auto rangeEdit = [this](QLineEdit* e, bool isStart) {
        double v = 0;
        // An edge the oscillator cannot run at is refused where it is typed,
        // as the resonance sweep's edges are.
        if (!ParseWithUnit(e->text(), unitTags_[isStart ? 6 : 7], v) || !LockInFrequencyFits(v, false)) {
            Colour(e, "red");
            return;
        }
        Colour(e, nullptr);
        (isStart ? start_ : stop_) = v;
        NoteNextSweep(isStart ? "start frequency" : "stop frequency");
    };
    connect(startEdit_, &QLineEdit::returnPressed, this, [this, rangeEdit] { rangeEdit(startEdit_, true); });
    connect(stopEdit_, &QLineEdit::returnPressed, this, [this, rangeEdit] { rangeEdit(stopEdit_, false); });
    connect(scanButton_, &QPushButton::clicked, this, [this](bool down) { down ? StartSweep() : StopSweep(); });
    chart_->installEventFilter(this);
    sweepTimer_ = new QTimer(this);
    sweepTimer_->setInterval(0);
    connect(sweepTimer_, &QTimer::timeout, this, &TMultiLockInForm::SweepTick);
}

void TMultiLockInForm::FormCreate(TInOutForm* link)
{
    link_ = link;
    if (!MultiLockInPresent)
        return;
    TQVTIniFile* ini = MainIni;
    if (ini) {
        move(ini->ReadFormPosLeft(Section, 10), ini->ReadInteger(Section, "FormPosTop", 10));
        for (int k = 0; k < 3; ++k) {
            int selected = 0;
            linkBoxes_[k]->addItems(LoadLinkPresets(*ini, LinkBoxNames[k], selected));
            linkBoxes_[k]->setCurrentIndex(selected);
            MultiLockInParams.Phase[k] = ini->ReadFloat(Section, QString("Phase%1").arg(k + 1), 0.0);
            typed_[k] = ini->ReadFloat(Section, QString("Freq%1").arg(k + 1), 0.0);
            // One no oscillator runs would block the chain of formulas at every
            // start: the oscillator starts at 0 Hz, and the settings say so.
            if (!MultiLockInFrequencyFits(typed_[k])) {
                typed_[k] = 0.0;
                ini->WriteFloat(Section, QString("Freq%1").arg(k + 1), 0.0);
            }
            MultiLockInParams.Amplitude[k] = ini->ReadFloat(Section, QString("Amplitude%1").arg(k + 1), 0.0);
        }
        amplitudes23_ = ini->ReadBool(Section, "Ampl2and3Visible", false);
        numbers_[0] = ClampNumbersChannel(ini->ReadInteger(Section, "NumbersChannel0", 2));
        numbers_[1] = ClampNumbersChannel(ini->ReadInteger(Section, "NumbersChannel1", 3));
        numberTags_[0] = ini->ReadInteger(Section, "Label28Tag", 0);
        numberTags_[1] = ini->ReadInteger(Section, "Label29Tag", 0);
        start_ = ini->ReadFloat(Section, "Start", 100000.0);
        stop_ = ini->ReadFloat(Section, "Stop", 200000.0);
        for (int i = 1; i <= 3; ++i)
            history_ << ini->ReadString(Section, QString("Popup%1").arg(i), "20000-400000");
        numbersView_ = ini->ReadBool(Section, "NumbersRadio", true);
        for (int u = 0; u < 8; ++u)
            unitTags_[static_cast<size_t>(u)] = ini->ReadInteger(Section, QString(UnitLabelNames[u]) + "Tag", 0);
    } else {
        for (int k = 0; k < 3; ++k)
            linkBoxes_[k]->addItem("no link");
    }
    for (int k = 1; k < 3; ++k) {
        amplEdits_[k]->setVisible(amplitudes23_);
        routeButtons_[k]->setVisible(amplitudes23_);
    }
    for (int s = 0; s < 2; ++s)
        numberBoxes_[s]->setCurrentIndex(numbers_[static_cast<size_t>(s)]);
    ApplyPhases();
    ApplyFrequencies();
    if (amplitudes23_ && ini) {
        SetPowerFeedback(1, ini->ReadString(Section, "Edit9Text", "0"), ini->ReadString(Section, "Edit11Text", "0"),
                         false);
        SetPowerFeedback(2, ini->ReadString(Section, "Edit12Text", "0"), ini->ReadString(Section, "Edit13Text", "0"),
                         false);
    }
    ApplyAmplitudes();
    // An amplitude beyond its range was limited: the settings keep what is sent.
    for (int k = 0; ini && k < (amplitudes23_ ? 3 : 1); ++k) {
        const QString key = QString("Amplitude%1").arg(k + 1);
        if (ini->ReadFloat(Section, key, 0.0) != MultiLockInParams.Amplitude[k])
            ini->WriteFloat(Section, key, MultiLockInParams.Amplitude[k]);
    }
    for (int k = 0; k < 3; ++k)
        SetInput(k, ini ? ini->ReadInteger(Section, QString("Label%1Tag").arg(7 + k), 0) : 0);
    // Restored by clicking from the tag before, so register 19 ends with the route bits.
    routeTags_[1] = ini && ini->ReadInteger(Section, "Label25Tag", 0) != 0 ? 0 : 1;
    routeTags_[2] = ini && ini->ReadInteger(Section, "Label26Tag", 0) != 0 ? 0 : 2;
    RouteClick(1);
    RouteClick(2);
    const int t = std::clamp(ini ? ini->ReadInteger(Section, "FilterIndex", 0) : 0, 0, MultiLockInFilterItems - 1);
    const int r = std::clamp(ini ? ini->ReadInteger(Section, "RollOfIndex", 0) : 0, 0, 2);
    timeConstant_->setCurrentIndex(t);
    rollOff_->setCurrentIndex(r);
    FilterChange(t, r);
    FillChannelCombos();
    const int source = ini ? ini->ReadInteger(Section, "SpectSource", -1) : -1;
    SelectSweepSource(source);
    ShowNumbersView(numbersView_);
    LoadOptions();
    const bool refA = ini && ini->ReadInteger("MultiLockIn", "RefLIa1Out", 0) > 0;
    (refA ? refA_ : refB_)->setChecked(true);
    if (refA)
        SetReferenceOutput(1);
    ShowFrequencies();
    timer_->start();
}

void TMultiLockInForm::FormDestroy()
{
    repeatButton_->setChecked(false);
    timer_->stop();
    sweepTimer_->stop();
    sweeping_ = false;
    if (!MultiLockInPresent || !MainIni)
        return;
    MainIni->WriteInteger(Section, "SpectSource", source_ >= 1 ? source_ : lastSource_);
    MainIni->WriteBool(Section, "NumbersRadio", numbersView_);
    MainIni->WriteInteger(Section, "Label25Tag", routeTags_[1]);
    MainIni->WriteInteger(Section, "Label26Tag", routeTags_[2]);
    MainIni->WriteInteger(Section, "FormPosLeft", x());
    MainIni->WriteInteger(Section, "FormPosTop", y());
    for (int i = 0; i < 3 && i < history_.size(); ++i)
        MainIni->WriteString(Section, QString("Popup%1").arg(i + 1), history_[i]);
}

void TMultiLockInForm::LinkBoxSelect(int k)
{
    // Another link moves an oscillator the sweep reads: its points so far stay its own.
    EndSweepFor("link");
    // A cleared box is "no link" (its Enter selects it), never word 0.
    QComboBox* box = linkBoxes_[k];
    if (box->currentText().isEmpty())
        box->setCurrentIndex(0);
    const int index = box->findText(box->currentText());
    if (index >= 0) {
        box->setCurrentIndex(index);
        if (MainIni)
            MainIni->WriteInteger("MultiLockIn", LinkBoxNames[k], index);
    }
    ApplyFrequencies();
}

void TMultiLockInForm::ApplyFrequencies()
{
    if (!link_)
        return;
    QString boxes[3];
    double typed[3];
    int32_t previous[3];
    for (int k = 0; k < 3; ++k) {
        // A box being cleared runs its oscillator at the typed frequency until
        // Enter selects "no link", not at 0 Hz.
        boxes[k] = linkBoxes_[k]->currentText().isEmpty() ? QString("no link") : linkBoxes_[k]->currentText();
        typed[k] = typed_[k];
        previous[k] = MultiLockInParams.FrequencyWord[k];
        freqEdits_[k]->setEnabled(boxes[k] == "no link");
    }
    const TFrequencyPasses r =
        RunFrequencyPasses(boxes, typed, MultiLockInParams.ResonanceWord, previous, [this](int k, int32_t word) {
            link_->WriteReg(RegLia1Freq + k, word);
            MultiLockInParams.FrequencyWord[k] = word;
            MultiLockInParams.Frequency[k] = static_cast<uint32_t>(word) / MultiLockInWordScale;
        });
    for (int k = 0; k < 3; ++k) {
        refused_[k] = r.Failed[k];
        Colour(freqEdits_[k], r.Failed[k] ? "red" : nullptr);
    }
    ShowFrequencies();
}

void TMultiLockInForm::ApplyPhases()
{
    int32_t w[3] = {};
    for (int k = 0; k < 3; ++k) {
        const TPhaseWord p = MultiLockInPhaseWord(MultiLockInParams.Phase[k]);
        if (!p.Ok) {
            for (QLineEdit* e : phaseEdits_)
                Colour(e, "red");
            return;
        }
        w[k] = p.Word;
        MultiLockInParams.Phase[k] = p.Degrees;
    }
    if (link_)
        link_->WriteReg(RegLiaPhases, MultiLockInPhaseRegister(w[0], w[1], w[2]));
    for (int k = 0; k < 3; ++k)
        phaseEdits_[k]->setText(FixedPointText(MultiLockInParams.Phase[k], 6, 2));
}

void TMultiLockInForm::ApplyAmplitudes()
{
    if (!link_)
        return;
    auto scale = [](const char* key) { return MainIni ? MainIni->ReadFloat(Section, key, 1.0) : 1.0; };
    const TLia1Amplitude a = MultiLockInLia1Amplitude(MultiLockInParams.Amplitude[0], scale("AmplScale3"),
                                                      scale("AmplScale2"), scale("AmplScale0"));
    MultiLockInParams.Amplitude[0] = a.Volts;
    MultiLockInParams.AmplitudeWord[0] = a.Word;
    link_->SetControlBits(0x300, a.RangeBits);
    if (MultiLockInParams.ReferenceMode == 0 || !ReapplyDriveRange)
        link_->WriteReg(RegLiaAmplitude, MultiLockInAmplitudeRegister(a.Word, LockInState.DriveAmplitudeWord));
    else
        ReapplyDriveRange();
    if (!amplitudes23_)
        return;
    const char* scales[3] = {"", "Ampl2Scale", "Ampl3Scale"};
    for (int k = 1; k < 3; ++k) {
        const TLiaWord w = MultiLockInLiaWord(MultiLockInParams.Amplitude[k], scale(scales[k]));
        MultiLockInParams.Amplitude[k] = w.Volts;
        if (w.Word != MultiLockInParams.AmplitudeWord[k]) {
            MultiLockInParams.AmplitudeWord[k] = w.Word;
            link_->SendMultiLockInChannel(k + 1);
        }
    }
    auto key = [](const char* name, int def) { return MainIni ? MainIni->ReadInteger(Section, name, def) : def; };
    link_->WriteReg(RegLaserConfig, LaserConfigRegister(key("Laser1Ch", 1), key("Laser2Ch", 1), key("Laser1Mid", 0),
                                                        key("Laser2Mid", 0)));
    link_->WriteReg(RegLaserDuty, LaserDutyRegister(key("Laser1Duty", 50), key("Laser2Duty", 50)));
}

bool TMultiLockInForm::Channel(int k, TMultiLockInChannel& channel) const
{
    if (k < 2 || k > 3)
        return false;
    const PowerFeedback& p = power_[static_cast<size_t>(k - 1)];
    channel = {};
    channel.Address = k == 2 ? ReadAddrLia2X : ReadAddrLia3X;
    channel.Setpoint = p.Setpoint;
    channel.Ki = p.Ki;
    channel.On = p.On;
    channel.AmplitudeWord = MultiLockInParams.AmplitudeWord[static_cast<size_t>(k - 1)];
    return true;
}

bool TMultiLockInForm::SetPowerFeedback(int k, const QString& setpoint, const QString& ki, bool on)
{
    if (k < 1 || k > 2)
        return false;
    double sp = 0, gain = 0;
    if (!ParseNumber(setpoint, sp) || !ParseNumber(ki, gain))
        return false;
    const double factor = ChannelTable[k == 1 ? 16 : 18].Factor.load();
    const double raw = sp / factor;
    if (!std::isfinite(raw) || std::fabs(raw) > 2.0e9 || std::fabs(gain) > 2.0e9)
        return false;
    PowerFeedback& p = power_[static_cast<size_t>(k)];
    p.Setpoint = static_cast<int32_t>(Round(raw));
    p.Ki = static_cast<int32_t>(Round(gain));
    p.On = on;
    if (MainIni) {
        MainIni->WriteString(Section, k == 1 ? "Edit9Text" : "Edit12Text", setpoint);
        MainIni->WriteString(Section, k == 1 ? "Edit11Text" : "Edit13Text", ki);
    }
    amplEdits_[k]->setEnabled(!on);
    if (on)
        amplEdits_[k]->setText("???");
    if (link_)
        link_->SendMultiLockInChannel(k + 1);
    if (!on) {
        ApplyAmplitudes();
        ShowFrequencies();
    }
    return true;
}

bool TMultiLockInForm::StorePreset(int k)
{
    if (!MainIni || k < 0 || k > 2 || linkBoxes_[k]->findText(linkBoxes_[k]->currentText()) >= 0)
        return false;
    QStringList items;
    for (int i = 0; i < linkBoxes_[k]->count(); ++i)
        items << linkBoxes_[k]->itemText(i);
    int selected = 0;
    if (!StoreLinkPreset(*MainIni, LinkBoxNames[k], items, linkBoxes_[k]->currentText(), selected))
        return false;
    linkBoxes_[k]->addItem(items.last());
    linkBoxes_[k]->setCurrentIndex(selected);
    return true;
}

bool TMultiLockInForm::DeletePreset(int k)
{
    if (!MainIni || k < 0 || k > 2)
        return false;
    QStringList items;
    for (int i = 0; i < linkBoxes_[k]->count(); ++i)
        items << linkBoxes_[k]->itemText(i);
    int selected = 0;
    const int index = linkBoxes_[k]->findText(linkBoxes_[k]->currentText());
    if (!DeleteLinkPreset(*MainIni, LinkBoxNames[k], items, index, selected))
        return false;
    linkBoxes_[k]->removeItem(index);
    linkBoxes_[k]->setCurrentIndex(selected);
    ApplyFrequencies();
    return true;
}

void TMultiLockInForm::RouteClick(int k)
{
    if (k < 1 || k > 2)
        return;
    EndSweepFor("output route");
    int& tag = routeTags_[static_cast<size_t>(k)];
    tag = tag != 0 ? 0 : k;
    static const char* const captions[3][2] = {{"", ""}, {"use\nHF0", "use\nHF2"}, {"use\nHF1", "use\nHF3"}};
    static const char* const hints[3][2] = {{"", ""}, {"yellow cable", "red cable"}, {"blue cable", "green cable"}};
    routeButtons_[k]->setText(captions[k][tag != 0]);
    routeButtons_[k]->setToolTip(hints[k][tag != 0]);
    if (link_)
        link_->WriteReg(RegLaserConfig, routeTags_[1] | routeTags_[2]);
}

void TMultiLockInForm::ChartClick(double x)
{
    if (step_ == 0.0) {
        Beep();
        ShowMessage(MsgKind::Warning, "Spectra is invalid!\rPlease acquire new!");
        return;
    }
    // Left of the axis lies no frequency the oscillator runs.
    if (source_ < 1 || sweeping_ || !MultiLockInFrequencyFits(x))
        return;
    typed_[static_cast<size_t>(source_ - 1)] = x;
    ApplyFrequencies();
}

void TMultiLockInForm::RangeMenuClick(const QString& text)
{
    double a = 0, b = 0;
    if (sweeping_ || !ParseSpectrumRange(text, a, b))
        return;
    SetRange(a, b);
    SweepOnce();
}

// A zoom or a range from the menu: one sweep with the running mean off.
void TMultiLockInForm::SweepOnce()
{
    repetition_ = -1;
    StartSweep();
    repetition_ = -1;
}

void TMultiLockInForm::RangeMenu(const QPoint& at)
{
    QMenu menu;
    QStringList items{MainIni ? MainIni->ReadString(Section, "Popup0", "20000-400000") : QString("20000-400000")};
    items << history_;
    for (const QString& item : items)
        menu.addAction(item, this, [this, item] { RangeMenuClick(item); });
    menu.exec(at);
}

void TMultiLockInForm::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (SetMainButton)
        SetMainButton(true);
}

void TMultiLockInForm::closeEvent(QCloseEvent* event)
{
    QWidget::closeEvent(event);
    if (SetMainButton)
        SetMainButton(false);
}

void TMultiLockInForm::keyPressEvent(QKeyEvent* event)
{
    if (ForwardKey && ForwardKey(event->key(), event->modifiers()))
        return;
    QWidget::keyPressEvent(event);
}

bool TMultiLockInForm::eventFilter(QObject* watched, QEvent* event)
{
    const auto type = event->type();
    const bool mouse =
        type == QEvent::MouseButtonPress || type == QEvent::MouseButtonRelease || type == QEvent::MouseMove;
    if (!mouse)
        return QWidget::eventFilter(watched, event);
    const auto* m = static_cast<QMouseEvent*>(event);
    const int px = static_cast<int>(m->position().x());
    const int py = static_cast<int>(m->position().y());
    if (watched == chart_) {
        if (type == QEvent::MouseButtonPress && m->button() == Qt::LeftButton)
            ChartMouseDown(px);
        else if (type == QEvent::MouseButtonPress && m->button() == Qt::RightButton)
            RangeMenu(chart_->mapToGlobal(m->position().toPoint()));
        else if (type == QEvent::MouseMove)
            ChartMouseMove(px, py, (m->buttons() & Qt::LeftButton) != 0);
        else if (type == QEvent::MouseButtonRelease && m->button() == Qt::LeftButton)
            ChartMouseUp(px);
    } else if (watched == saveButton_ && type == QEvent::MouseButtonRelease && m->button() == Qt::LeftButton &&
               saveButton_->isEnabled()) {
        // The filter sees the clicks of a disabled button too: nothing to save then.
        SaveButtonClick((m->modifiers() & Qt::ShiftModifier) != 0);
        return true; // the button shows the stored state, not a toggle of its own
    } else if (type == QEvent::MouseButtonPress && !numbersView_) {
        for (int k = 0; k < 3; ++k)
            if (watched == groups_[k])
                SelectSweepSource(k + 1);
    }
    return QWidget::eventFilter(watched, event);
}

void TMultiLockInForm::SetReferenceOutput(int mode)
{
    mode = mode > 0 ? 1 : 0;
    if (link_)
        link_->SetControlBits(0x8000, mode == 1 ? 0x8000 : 0);
    MultiLockInParams.ReferenceMode = mode;
    if (MainIni)
        MainIni->WriteInteger("MultiLockIn", "RefLIa1Out", mode);
    ApplyAmplitudes();
    if (link_)
        link_->SetDriveAmplitude(LockInState.DriveAmplitude);
}

void TMultiLockInForm::SetInput(int k, int tag)
{
    if (k < 0 || k > 2)
        return;
    EndSweepFor("input");
    tag = tag == 1 ? 1 : 0;
    inputTags_[static_cast<size_t>(k)] = tag;
    inputButtons_[k]->setText(tag ? "In B" : "In A");
    if (MainIni)
        MainIni->WriteInteger(Section, QString("Label%1Tag").arg(7 + k), tag);
    if (link_)
        link_->SetControlBits(MultiLockInInputMask, MultiLockInInputBits(inputTags_[0], inputTags_[1], inputTags_[2]));
}

void TMultiLockInForm::FilterChange(int t, int r)
{
    EndSweepFor("filter");
    bool supported = true;
    settle_ = MultiLockInSettleTime(t, &supported);
    if (!supported)
        ShowMessage(MsgKind::Information, "Tau not supported!");
    rollOff_->setVisible(t > 0);
    if (t <= 0)
        r = -1;
    if (link_)
        for (int i = 0; i < 6; ++i)
            link_->SetLockInFilter(i, t - 1, r);
    if (MainIni) {
        MainIni->WriteInteger(Section, "FilterIndex", t);
        MainIni->WriteInteger(Section, "RollOfIndex", r);
    }
}

void TMultiLockInForm::AutoPhase(int k)
{
    if (!link_ || k < 0 || k > 2)
        return;
    double x = link_->ReadReg(XAddress[k]);
    const double y = link_->ReadReg(XAddress[k] - 1);
    if (x == 0.0)
        x = 1.0;
    const double phase = MultiLockInParams.Phase[k] - std::atan2(y, x) * 180.0 / std::numbers::pi;
    EnterText(2, k, FixedPointText(phase, 4, 1));
}

void TMultiLockInForm::Timer1Timer()
{
    if (!link_ || sweeping_)
        return;
    for (int s = 0; s < 2; ++s) {
        const int n = numbers_[static_cast<size_t>(s)];
        numberValues_[static_cast<size_t>(s)] = link_->ReadReg(-14 - n) * ChannelTable[14 + n].Factor.load();
        int& tag = numberTags_[static_cast<size_t>(s)];
        static const char* const units[] = {"mV", "V", "nV", "\u00B5V"};
        static const double factors[] = {1000.0, 1.0, 1.0e9, 1.0e6};
        const bool known = tag >= -1 && tag <= 2;
        if (!known)
            tag = -1; // shown unscaled in volts on this pass
        const double f = known ? factors[tag + 1] : 1.0;
        const QString unit = QString::fromUtf8(known ? units[tag + 1] : "V");
        numberLabels_[s]->setText(FixedPointText(numberValues_[static_cast<size_t>(s)] * f, 9, 3));
        numberUnits_[s]->setText(unit);
    }
}

QString TMultiLockInForm::NumbersText(int slot) const
{
    return slot >= 0 && slot < 2 ? numberLabels_[slot]->text() + " " + numberUnits_[slot]->text() : QString();
}

void TMultiLockInForm::NumbersUnitClick(int slot)
{
    if (slot < 0 || slot > 1)
        return;
    int& tag = numberTags_[static_cast<size_t>(slot)];
    tag = tag >= 2 ? -1 : tag + 1;
    if (MainIni)
        MainIni->WriteInteger(Section, slot == 0 ? "Label28Tag" : "Label29Tag", tag);
    Timer1Timer();
}

bool TMultiLockInForm::EnterText(int kind, int k, const QString& text)
{
    if (k < 0 || k > 2 || kind < 0 || kind > 2)
        return false;
    QLineEdit* edit = kind == 0 ? freqEdits_[k] : kind == 1 ? amplEdits_[k] : phaseEdits_[k];
    double v = 0;
    const bool ok = kind == 2 ? ParseNumber(text, v) : ParseWithUnit(text, unitTags_[kind * 3 + k], v);
    if (!ok) {
        Colour(edit, "red");
        return false;
    }
    Colour(edit, nullptr);
    if (kind == 0)
        return SetFrequency(k, v);
    // Only a value taken changes what a running sweep reads.
    EndSweepFor(kind == 1 ? "amplitude" : "phase");
    // Stored as applied: an amplitude beyond its range is limited, a phase
    // brought onto its word.
    if (kind == 1) {
        MultiLockInParams.Amplitude[k] = v;
        ApplyAmplitudes();
        ShowFrequencies();
    } else {
        MultiLockInParams.Phase[k] = v;
        ApplyPhases();
    }
    const double applied = kind == 1 ? MultiLockInParams.Amplitude[k] : MultiLockInParams.Phase[k];
    if (MainIni)
        MainIni->WriteFloat(Section, QString(kind == 1 ? "Amplitude%1" : "Phase%1").arg(k + 1), applied);
    return true;
}

bool TMultiLockInForm::SetFrequency(int k, double f)
{
    if (k < 0 || k > 2)
        return false;
    // Refused, not kept: the oscillator goes on at its frequency (a running
    // sweep too), and the settings and later passes keep the one it runs.
    if (!MultiLockInFrequencyFits(f)) {
        refused_[static_cast<size_t>(k)] = true;
        Colour(freqEdits_[k], "red");
        return false;
    }
    EndSweepFor("frequency");
    if (MainIni)
        MainIni->WriteFloat(Section, QString("Freq%1").arg(k + 1), f);
    typed_[static_cast<size_t>(k)] = f;
    ApplyFrequencies();
    ShowFrequencies();
    return true;
}

void TMultiLockInForm::SetLinkText(int k, const QString& text)
{
    if (k < 0 || k > 2)
        return;
    linkBoxes_[k]->setCurrentText(text);
    ApplyFrequencies();
}

void TMultiLockInForm::ShowFrequencies()
{
    static const char* const freqUnits[] = {"mHz", "Hz", "kHz", "MHz"};
    const int digits = settle_ < 0.5 ? 1 : 0;
    auto frequencyText = [this, digits](int u, double hz) {
        int& tag = unitTags_[static_cast<size_t>(u)];
        if (tag < -1 || tag > 2)
            tag = -1;
        unitButtons_[u]->setText(freqUnits[tag + 1]);
        const double v = hz / UnitTagFactor(tag);
        return tag <= 0 ? FixedPointText(v, 6, digits) : FixedPointText(v, 7, tag == 1 ? 3 : 6);
    };
    for (int k = 0; k < 3; ++k) {
        if (!refused_[k])
            freqEdits_[k]->setText(frequencyText(k, MultiLockInParams.Frequency[k]));
        int& tag = unitTags_[static_cast<size_t>(3 + k)];
        if (tag != 0 && tag != -1)
            tag = -1;
        unitButtons_[3 + k]->setText(tag == -1 ? "mV" : "V");
        const double a = MultiLockInParams.Amplitude[k];
        amplEdits_[k]->setText(tag == -1 ? FixedPointText(a * 1000.0, 6, 0) : FixedPointText(a, 9, 3));
    }
    startEdit_->setText(frequencyText(6, start_));
    stopEdit_->setText(frequencyText(7, stop_));
}

void TMultiLockInForm::LabelIncClick(int label)
{
    if (label < 0 || label > 7)
        return;
    int& tag = unitTags_[static_cast<size_t>(label)];
    ++tag;
    if (MainIni)
        MainIni->WriteInteger(Section, QString(UnitLabelNames[label]) + "Tag", tag);
    ShowFrequencies(); // wraps a tag past its last unit back to the first
}

QString TMultiLockInForm::UnitText(int label) const
{
    return label >= 0 && label < 8 ? unitButtons_[static_cast<size_t>(label)]->text() : QString();
}

// ---- the spectrum ------------------------------------------------------------------------

void TMultiLockInForm::SelectSweepSource(int k)
{
    NoteNextSweep("source");
    for (QGroupBox* g : groups_)
        g->setStyleSheet(QString());
    const bool chosen = k >= 1 && k <= 3;
    for (QWidget* w : spectrumWidgets_)
        w->setVisible(chosen && !numbersView_);
    if (!chosen) {
        source_ = -1;
        sourceLabel_->setText("Please choose a channel!");
        return;
    }
    source_ = k;
    lastSource_ = k;
    groups_[static_cast<size_t>(k - 1)]->setStyleSheet("QGroupBox { background-color: #A6CAF0; }");
    sourceBox_->setCurrentIndex(k - 1);
    sourceLabel_->setText(QString("Source: LIA%1 Freq").arg(k));
}

void TMultiLockInForm::SetRange(double start, double stop)
{
    start_ = start;
    stop_ = stop;
    ShowFrequencies();
}

void TMultiLockInForm::LoadOptions()
{
    TQVTIniFile* ini = MainIni;
    average_ = std::max(ini ? ini->ReadInteger(OptSection, "average", 0) : 0, SpectrumMinimumReadings - 1);
    points_ = ClampSpectrumPoints(ini ? ini->ReadInteger(OptSection, "datapoints", 512) : 512);
    const bool math = ini && ini->ReadBool(OptSection, "Math", false);
    channelButtons_[4]->setVisible(math);
    if (!math)
        channelButtons_[4]->setChecked(false);
    chart_->YAxis.LinLog = YAxisLog() ? atLog : atLin;
    saveButton_->setChecked(AutoSave());
    if (ini && ini->ReadInteger(OptSection, "CountChannels", 1) != countChannels_)
        FillChannelCombos();
    ShowOnlyPressedSeries();
    if (repetition_ < 0 || !sweeping_)
        repetition_ = ini ? ini->ReadInteger(OptSection, "ContAverage", -1) : -1;
    NoteNextSweep("point count and average");
}

void TMultiLockInForm::StartSweep()
{
    if (sweeping_ || source_ < 1 || !link_) {
        scanButton_->setChecked(sweeping_);
        return;
    }
    if (stop_ < start_) {
        ShowMessage(MsgKind::Warning, "Start frequency bigger than stop frequency!");
        scanButton_->setChecked(false);
        return;
    }
    // A point the oscillator cannot run at would be read at its last
    // frequency and labelled with this one: refused as the resonance sweep does.
    if (!LockInFrequencyFits(start_, false) || !LockInFrequencyFits(stop_, false)) {
        for (QLineEdit* e : {startEdit_, stopEdit_})
            if (!LockInFrequencyFits(e == startEdit_ ? start_ : stop_, false))
                Colour(e, "red");
        ShowMessage(MsgKind::Information, DncFrequencyRangeText(false));
        scanButton_->setChecked(false);
        return;
    }
    // A source on a link formula runs at the formula's frequency whatever the
    // sweep sets: its readings would be labelled with frequencies it never ran.
    const QString link = linkBoxes_[source_ - 1]->currentText();
    if (!link.isEmpty() && link != "no link") {
        ShowMessage(MsgKind::Information,
                    QString("LIA%1 follows a link formula: choose \"no link\" to sweep it!").arg(source_));
        scanButton_->setChecked(false);
        return;
    }
    const bool again = means_.Points() == points_ + 1 && repetition_ >= 0;
    const int32_t keep = repetition_;
    LoadOptions();
    if (again)
        repetition_ = keep;
    if (!again)
        means_.Resize(points_);
    step_ = SpectrumStep(start_, stop_, points_);
    wait_ = SpectrumReadingWait(settle_);
    runSource_ = source_;
    runStart_ = start_;
    runPoints_ = points_;
    runAverage_ = average_;
    runSlots_ = acqSlots_;
    endedBy_.clear();
    savedFrequency_ = typed_[static_cast<size_t>(source_ - 1)];
    for (size_t c = 0; c < 4; ++c) {
        const int slot = acqSlots_[c];
        readAddress_[c] =
            slot >= 0 ? ChannelTable[static_cast<size_t>(slot)].Address.load() : -14 - static_cast<int>(c);
        readFactor_[c] = ChannelTable[static_cast<size_t>(slot >= 0 ? slot : 14 + static_cast<int>(c))].Factor.load();
    }
    for (QPushButton* b : channelButtons_)
        b->setEnabled(false);
    for (auto& s : series_)
        s.Clear();
    EnableSaving(false);
    point_ = 0;
    reading_ = 0;
    stopRequest_ = false;
    sweeping_ = true;
    scanButton_->setChecked(true);
    status_->clear();
    typed_[static_cast<size_t>(source_ - 1)] = start_;
    ApplyFrequencies();
    link_->DelayUs(6 * SpectrumMinimumWait);
    sweepTimer_->start();
}

void TMultiLockInForm::StopSweep()
{
    if (sweeping_)
        stopRequest_ = true;
}

void TMultiLockInForm::EndSweepFor(const QString& setting)
{
    if (!sweeping_ || stopRequest_)
        return;
    stopRequest_ = true;
    endedBy_ = setting;
}

void TMultiLockInForm::NoteNextSweep(const QString& setting)
{
    if (sweeping_)
        status_->setText(setting + ": from the next sweep");
}

double TMultiLockInForm::ReadSlot(int n)
{
    return link_->ReadReg(readAddress_[static_cast<size_t>(n)]);
}

// One reading per tick when the filter settles slowly (the window stays
// alive between readings), else a whole point.
void TMultiLockInForm::SweepTick()
{
    if (!sweeping_)
        return;
    const double f = runStart_ + point_ * step_;
    // A stop between two readings of a point drops the point: a setting may
    // have changed after its first readings.
    if (stopRequest_ || (reading_ == 0 && point_ >= runPoints_)) {
        reading_ = 0;
        EndSweep();
        return;
    }
    if (reading_ == 0) {
        typed_[static_cast<size_t>(runSource_ - 1)] = f;
        ApplyFrequencies();
        sums_ = {};
    }
    do {
        link_->DelayUs(wait_);
        for (int c = 0; c < 4; ++c)
            sums_[static_cast<size_t>(c)] += ReadSlot(c);
        ++reading_;
    } while (reading_ <= runAverage_ && settle_ <= 0.002);
    if (reading_ <= runAverage_)
        return;
    reading_ = 0;
    double v[4];
    for (int c = 0; c < 4; ++c) {
        v[c] = sums_[static_cast<size_t>(c)] / (runAverage_ + 1) * readFactor_[static_cast<size_t>(c)];
        const double shown = means_.Add(c, point_, v[c], repetition_);
        series_[static_cast<size_t>(c)].AddXY(f, shown);
    }
    series_[4].AddXY(f, std::hypot(v[0], v[1]));
    ++point_;
    chart_->update();
}

void TMultiLockInForm::EndSweep()
{
    sweepTimer_->stop();
    sweeping_ = false;
    // Released Scan ends the run; with "continue acquire" down the next
    // sweep follows (its running mean goes on).
    const bool next = repeatButton_->isChecked() && scanButton_->isChecked() && !stopRequest_;
    scanButton_->setChecked(false);
    // A stop shows and keeps only the points measured.
    if (repetition_ >= 0)
        ++repetition_;
    typed_[static_cast<size_t>(runSource_ - 1)] = savedFrequency_;
    ApplyFrequencies();
    if (MainIni) {
        MainIni->WriteFloat(Section, "Start", start_);
        MainIni->WriteFloat(Section, "Stop", stop_);
    }
    // A box changed during the sweep shows no curve: the one drawn is the old channel's.
    for (int b = 0; b < 5; ++b)
        channelButtons_[static_cast<size_t>(b)]->setEnabled(
            b == 4 || (b < countChannels_ && acqSlots_[static_cast<size_t>(b)] == runSlots_[static_cast<size_t>(b)]));
    if (point_ < runPoints_) {
        const QString why = endedBy_.isEmpty() ? QString(" stopped") : " ended by the " + endedBy_ + " change";
        status_->setText(QString("Sweep%1: %2 of %3 points measured").arg(why).arg(point_).arg(runPoints_));
    }
    EnableSaving(point_ > 0);
    ShowOnlyPressedSeries();
    const QString range = SpectrumRangeText(start_, stop_);
    if (history_.isEmpty() || history_.last() != range)
        AddSpectrumRangeHistory(history_, range);
    if (MainIni && MainIni->ReadBool(OptSection, "AutoSave", false))
        SaveSpectrum(SpectrumSaveName(MainIni));
    chart_->update();
    // From the event loop, so a click on Scan or the window's close comes first.
    if (next)
        QTimer::singleShot(0, this, [this] {
            if (repeatButton_->isChecked() && !sweeping_)
                StartSweep();
        });
}

bool TMultiLockInForm::SaveSpectrum(const QString& quotedName)
{
    // The options window stores the name inside double quotes.
    QString name = quotedName;
    if (name.size() >= 2 && name.startsWith('"') && name.endsWith('"'))
        name = name.mid(1, name.size() - 2);
    name = DncLocalPath(name);
    TQVTIniFile* ini = MainIni;
    const bool numbered = ini && ini->ReadBool(OptSection, "SaveNumbered", false);
    const int n = ini ? ini->ReadInteger(OptSection, "NextNumber", 0) : 0;
    const QString ext = ini ? ini->ReadString(OptSection, "SaveExt", "txt") : QString("txt");
    const QString file = SpectrumFileName(name, numbered, n, ext);
    // A number is used up by a written file or one already there, never by a failed write.
    const auto useNumber = [&] {
        if (!numbered || !ini)
            return;
        ini->WriteInteger(OptSection, "NextNumber", n + 1);
        if (NextNumberChanged)
            NextNumberChanged(n + 1);
    };
    const bool dirExists = QFileInfo(file).absoluteDir().exists();
    if (!dirExists || QFileInfo::exists(file)) {
        if (dirExists)
            useNumber();
        ShowMessage(MsgKind::Information, dirExists ? "File already exists!" : "Directory does not exist!");
        return SaveAsButtonClick();
    }
    static const char* const delimiters[] = {"", "\t", " ", ",", "."};
    const int d = std::clamp(ini ? ini->ReadInteger(OptSection, "DelimiterSave", 0) : 0, 0, 4);
    const QString comment =
        ini && ini->ReadBool(OptSection, "SaveComment", false) ? ini->ReadString(OptSection, "Comment", "") : QString();
    if (!chart_->SaveDataToFile(file, delimiters[d], !ini || ini->ReadBool(OptSection, "xAxis", true), comment)) {
        // The spectrum stays in the window and the number stays free for the next try.
        ShowMessage(MsgKind::Warning, "File access error!");
        return false;
    }
    useNumber();
    return true;
}

} // namespace qvt

namespace qvt {

void TMultiLockInForm::EnableSaving(bool on)
{
    saveButton_->setEnabled(on);
    saveAsButton_->setEnabled(on);
    copyButton_->setEnabled(on);
}

bool TMultiLockInForm::AutoSave() const
{
    return MainIni && MainIni->ReadBool(OptSection, "AutoSave", false);
}

bool TMultiLockInForm::YAxisLog() const
{
    return !channelButtons_[4]->isHidden() && channelButtons_[4]->isChecked() && MainIni &&
           MainIni->ReadBool(OptSection, "YAxisLog", false);
}

void TMultiLockInForm::SaveButtonClick(bool shift)
{
    const bool on = shift && !AutoSave();
    if (MainIni)
        MainIni->WriteBool(OptSection, "AutoSave", on);
    saveButton_->setChecked(on);
    if (AutoSaveChanged)
        AutoSaveChanged(on);
    if (!shift && MainIni)
        SaveSpectrum(SpectrumSaveName(MainIni));
}

bool TMultiLockInForm::SaveAsButtonClick()
{
    // A dialog answered with another existing name asks again, a few times at most.
    constexpr int MaxSaveDialogs = 3;
    TQVTIniFile* ini = MainIni;
    const QString ext = ini ? ini->ReadString(OptSection, "SaveExt", "txt") : QString("txt");
    const QString stored = SpectrumSaveName(ini);
    if (!AskSaveName)
        AskSaveName = [this](const QString& filter, const QString& directory, const QString& name) {
            return GetSaveFileName(this, QString(), directory + "/" + name, filter.section('|', 0, 0));
        };
    const QString chosen = saveDialogDepth_ < MaxSaveDialogs
                               ? AskSaveName("spectra (*." + ext + ")|*." + ext, QFileInfo(stored).path(),
                                             QFileInfo(stored).fileName() + "." + ext)
                               : QString();
    if (chosen.isEmpty()) {
        ShowMessage(MsgKind::Warning, "File not saved!");
        return false;
    }
    const int dot = chosen.lastIndexOf('.');
    const bool hasExt = dot > chosen.lastIndexOf('/');
    const QString newExt = hasExt ? chosen.mid(dot + 1) : QString();
    const QString base = hasExt ? chosen.left(dot) : chosen;
    if (ini) {
        ini->WriteString(OptSection, "SaveName", "\"" + base + "\"");
        ini->WriteString(OptSection, "SaveExt", newExt);
        ini->WriteInteger(OptSection, "NextNumber", 1);
    }
    if (SaveNameChanged)
        SaveNameChanged(base, newExt);
    if (NextNumberChanged)
        NextNumberChanged(1);
    ++saveDialogDepth_;
    const bool saved = SaveSpectrum(base);
    --saveDialogDepth_;
    return saved;
}

void TMultiLockInForm::CopyImageBtnClick()
{
    chart_->CopyToClipboard();
}

void TMultiLockInForm::FillChannelCombos()
{
    const std::vector<TChoiceChannel> channels = MainIni ? ReadChoiceChannels(*MainIni) : std::vector<TChoiceChannel>{};
    int count = MainIni ? MainIni->ReadInteger(OptSection, "CountChannels", 1) : 1;
    if (count < 1 || count > 4) {
        count = 1;
        if (MainIni)
            MainIni->WriteInteger(OptSection, "CountChannels", 1);
    }
    countChannels_ = count;
    for (int b = 0; b < 4; ++b) {
        QComboBox* box = acqBoxes_[static_cast<size_t>(b)];
        box->clear();
        for (const TChoiceChannel& c : channels)
            box->addItem(c.Label, c.Slot);
        box->setVisible(b < count);
        // Until a channel is chosen the box reads the lock-in output it always
        // read (LIA 1 X, LIA 1 Y, LIA 2 X, LIA 2 Y), which the settings rely on.
        box->setPlaceholderText(NumberItems[b]);
        const QString key = QString("Channel%1").arg(b);
        const int index = MainIni && MainIni->ValueExists(Section, key) ? MainIni->ReadInteger(Section, key, 0) : -1;
        box->setCurrentIndex(index >= 0 && index < box->count() ? index : -1);
        acqSlots_[static_cast<size_t>(b)] = box->currentIndex() >= 0 ? box->currentData().toInt() : -1;
        channelButtons_[static_cast<size_t>(b)]->setVisible(b < count);
        channelButtons_[static_cast<size_t>(b)]->setChecked(b == 0);
    }
    ShowOnlyPressedSeries();
}

void TMultiLockInForm::AcqComboBoxChange(int box, int index)
{
    if (box < 0 || box > 3)
        return;
    QComboBox* combo = acqBoxes_[static_cast<size_t>(box)];
    if (index < 0 && combo->count() > 0)
        index = 0;
    combo->setCurrentIndex(index);
    if (index < 0)
        return;
    acqSlots_[static_cast<size_t>(box)] = combo->itemData(index).toInt();
    if (MainIni)
        MainIni->WriteInteger(Section, QString("Channel%1").arg(box), index);
    // Its old curve is not this channel's: the button waits for the next sweep.
    channelButtons_[static_cast<size_t>(box)]->setEnabled(false);
}

bool TMultiLockInForm::ChannelButtonDown(int button) const
{
    return button >= 0 && button < 5 && channelButtons_[static_cast<size_t>(button)]->isChecked();
}

void TMultiLockInForm::ChannelButtonClick(int button)
{
    for (int b = 0; b < 5; ++b)
        channelButtons_[static_cast<size_t>(b)]->setChecked(b == button);
    ShowOnlyPressedSeries();
    chart_->YAxis.LinLog = YAxisLog() ? atLog : atLin;
}

void TMultiLockInForm::ShowOnlyPressedSeries()
{
    for (int b = 0; b < 5; ++b)
        series_[static_cast<size_t>(b)].Visible = channelButtons_[static_cast<size_t>(b)]->isChecked();
    chart_->update();
}

void TMultiLockInForm::ShowNumbersView(bool numbers)
{
    numbersView_ = numbers;
    (numbers ? numbersRadio_ : spectrumRadio_)->setChecked(true);
    for (QWidget* w : numbersWidgets_)
        w->setVisible(numbers);
    sourceBox_->setVisible(!numbers);
    sourceLabel_->setVisible(!numbers);
    if (numbers) {
        SelectSweepSource(-1);
    } else {
        SelectSweepSource(lastSource_);
    }
    // Resized once the other view's controls are gone: the chart's room would
    // otherwise hold the window at the spectrum's height.
    if (layout() != nullptr)
        layout()->activate();
    resize(width(), numbers ? (amplitudes23_ ? 460 : 380) : (amplitudes23_ ? 668 : 588));
}

QString TMultiLockInForm::StatusText() const
{
    return status_->text();
}

QString TMultiLockInForm::CursorText(int px, int py) const
{
    if (step_ == 0.0 || chart_->SeriesList.isEmpty())
        return QString();
    int button = 3;
    for (int b = 0; b < 3; ++b)
        if (ChannelButtonDown(b)) {
            button = b;
            break;
        }
    const int slot = acqSlots_[static_cast<size_t>(button)];
    const QString unit = ChannelTable[static_cast<size_t>(slot >= 0 ? slot : 14 + button)].UnitName;
    return "f: " + FormatWithSIPrefix("Hz", chart_->PixelToX(px)) + "  " +
           FormatWithSIPrefix(unit, chart_->PixelToY(py));
}

void TMultiLockInForm::ChartMouseDown(int px)
{
    dragX0_ = px;
}

void TMultiLockInForm::ChartMouseMove(int px, int py, bool leftDown)
{
    if (leftDown && dragX0_ >= 0 && std::abs(px - dragX0_) > 3 && step_ != 0.0) {
        start_ = chart_->PixelToX(dragX0_);
        stop_ = chart_->PixelToX(px);
        ShowFrequencies();
    }
    status_->setText(CursorText(px, py));
}

void TMultiLockInForm::ChartMouseUp(int px)
{
    const int x0 = dragX0_;
    dragX0_ = -1;
    if (step_ == 0.0) {
        Beep();
        ShowMessage(MsgKind::Warning, "Spectra is invalid!\rPlease acquire new!");
        return;
    }
    if (x0 >= 0 && std::abs(px - x0) > 3) {
        if (sweeping_)
            return;
        const double a = chart_->PixelToX(x0);
        const double b = chart_->PixelToX(px);
        SetRange(std::min(a, b), std::max(a, b));
        SweepOnce();
        return;
    }
    ChartClick(chart_->PixelToX(px));
}

} // namespace qvt
