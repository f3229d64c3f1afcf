#include "lockin/MultiLockInForm.h"

#include "core/IniFile.h"
#include "core/NumberText.h"
#include "core/SharedState.h"
#include "device/ChannelTable.h"
#include "device/InOutForm.h"
#include "lockin/LinkFormula.h"
#include "lockin/MultiLockInWords.h"
#include "platform/MessageBoxes.h"
#include "widgets/SimpleChart.h"

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

void Colour(QWidget* w, const char* colour)
{
    w->setStyleSheet(colour ? QString("background-color: %1").arg(colour) : QString());
}

// "k", "m", "M" set the unit (in this order) and are removed.
bool ParseWithUnit(QString text, double& value)
{
    double factor = 1.0;
    if (text.contains('k')) {
        factor = 1000.0;
        text.remove('k');
    }
    if (text.contains('m')) {
        factor = 0.001;
        text.remove('m');
    }
    if (text.contains('M')) {
        factor = 1.0e6;
        text.remove('M');
    }
    if (!ParseNumber(text, value))
        return false;
    value *= factor;
    return true;
}

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
        linkBoxes_[k] = new QComboBox(box);
        linkBoxes_[k]->setEditable(true);
        amplEdits_[k] = new QLineEdit(box);
        phaseEdits_[k] = new QLineEdit(box);
        auto* autoButton = new QPushButton("Auto", box);
        inputButtons_[k] = new QPushButton("In A", box);
        g->addWidget(new QLabel("f [Hz]", box), 0, 0);
        g->addWidget(freqEdits_[k], 0, 1);
        g->addWidget(linkBoxes_[k], 1, 0, 1, 2);
        g->addWidget(new QLabel("Ampl [V]", box), 2, 0);
        g->addWidget(amplEdits_[k], 2, 1);
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
        connect(freqEdits_[k], &QLineEdit::returnPressed, this, [this, k] { EnterText(0, k, freqEdits_[k]->text()); });
        connect(amplEdits_[k], &QLineEdit::returnPressed, this, [this, k] { EnterText(1, k, amplEdits_[k]->text()); });
        connect(phaseEdits_[k], &QLineEdit::returnPressed, this,
                [this, k] { EnterText(2, k, phaseEdits_[k]->text()); });
        for (QLineEdit* e : {freqEdits_[k], amplEdits_[k], phaseEdits_[k]})
            connect(e, &QLineEdit::textEdited, this, [e] { Colour(e, "silver"); });
        connect(linkBoxes_[k], &QComboBox::activated, this, [this, k](int index) {
            if (MainIni && index >= 0)
                MainIni->WriteInteger("MultiLockIn", LinkBoxNames[k], index);
            ApplyFrequencies();
        });
        linkBoxes_[k]->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(linkBoxes_[k], &QComboBox::customContextMenuRequested, this, [this, k](const QPoint& at) {
            QMenu menu;
            QLineEdit* e = linkBoxes_[k]->lineEdit();
            menu.addAction("Cut", e, &QLineEdit::cut);
            menu.addAction("Copy", e, &QLineEdit::copy);
            menu.addAction("Paste", e, [e] { e->insert(QGuiApplication::clipboard()->text().left(10000)); });
            if (AdminMode && AdminMode()) {
                QAction* store = menu.addAction("Store", this, [this, k] { StorePreset(k); });
                store->setEnabled(linkBoxes_[k]->count() < LinkPresetMaxItems);
                QAction* del = menu.addAction("Delete", this, [this, k] { DeletePreset(k); });
                del->setEnabled(linkBoxes_[k]->count() > 1);
            }
            menu.exec(linkBoxes_[k]->mapToGlobal(at));
        });
        connect(linkBoxes_[k]->lineEdit(), &QLineEdit::returnPressed, this, [this] { ApplyFrequencies(); });
        connect(autoButton, &QPushButton::clicked, this, [this, k] { AutoPhase(k); });
        connect(inputButtons_[k], &QPushButton::clicked, this,
                [this, k] { SetInput(k, (inputTags_[static_cast<size_t>(k)] + 1) % 2); });
    }
    timeConstant_ = new QComboBox(this);
    for (int t = 0; t < MultiLockInFilterItems; ++t)
        timeConstant_->addItem(MultiLockInFilterText(t));
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
    stopEdit_ = new QLineEdit(this);
    scanButton_ = new QPushButton("Scan", this);
    scanButton_->setCheckable(true);
    auto* optionsButton = new QPushButton("Options", this);
    connect(optionsButton, &QPushButton::clicked, this, [this] {
        if (ShowOptions)
            ShowOptions();
    });
    grid->addWidget(optionsButton, 4, 2);
    grid->addWidget(sourceBox_, 4, 0);
    grid->addWidget(sourceLabel_, 4, 1);
    grid->addWidget(startEdit_, 5, 0);
    grid->addWidget(stopEdit_, 5, 1);
    grid->addWidget(scanButton_, 5, 2);
    auto* saveButton = new QPushButton("Save", this);
    auto* copyButton = new QPushButton("Copy", this);
    auto* rangeButton = new QPushButton("Range", this);
    grid->addWidget(saveButton, 7, 0);
    grid->addWidget(copyButton, 7, 1);
    grid->addWidget(rangeButton, 7, 2);
    connect(saveButton, &QPushButton::clicked, this, [this] {
        if (MainIni)
            SaveSpectrum(MainIni->ReadString(OptSection, "SaveName", "c:\\temp\\noname"));
    });
    connect(copyButton, &QPushButton::clicked, this, [this] {
        static const char* const delimiters[] = {"", "\t", " ", ",", "."};
        const int d = std::clamp(MainIni ? MainIni->ReadInteger(OptSection, "DelimiterSave", 0) : 0, 0, 4);
        chart_->CopyDataToClipboard(delimiters[d], QString(), !MainIni || MainIni->ReadBool(OptSection, "xAxis", true));
    });
    connect(rangeButton, &QPushButton::clicked, this, [this, rangeButton] {
        QMenu menu;
        QStringList items{MainIni ? MainIni->ReadString(Section, "Popup0", "20000-400000") : QString("20000-400000")};
        items << history_;
        for (const QString& item : items)
            menu.addAction(item, this, [this, item] { RangeMenuClick(item); });
        menu.exec(rangeButton->mapToGlobal(QPoint(0, rangeButton->height())));
    });
    chart_ = new TSimpleChart(this);
    chart_->setMinimumSize(480, 220);
    grid->addWidget(chart_, 6, 0, 1, 3);
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
        if (!ParseWithUnit(e->text(), v)) {
            Colour(e, "red");
            return;
        }
        Colour(e, nullptr);
        (isStart ? start_ : stop_) = v;
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
    SelectSweepSource(ini ? ini->ReadInteger(Section, "SpectSource", -1) : -1);
    const bool refA = ini && ini->ReadInteger("MultiLockIn", "RefLIa1Out", 0) > 0;
    (refA ? refA_ : refB_)->setChecked(true);
    if (refA)
        SetReferenceOutput(1);
    ShowFrequencies();
    timer_->start();
}

void TMultiLockInForm::FormDestroy()
{
    timer_->stop();
    sweepTimer_->stop();
    sweeping_ = false;
    if (!MultiLockInPresent || !MainIni)
        return;
    MainIni->WriteInteger(Section, "SpectSource", source_);
    MainIni->WriteInteger(Section, "Label25Tag", routeTags_[1]);
    MainIni->WriteInteger(Section, "Label26Tag", routeTags_[2]);
    MainIni->WriteInteger(Section, "FormPosLeft", x());
    MainIni->WriteInteger(Section, "FormPosTop", y());
    for (int i = 0; i < 3 && i < history_.size(); ++i)
        MainIni->WriteString(Section, QString("Popup%1").arg(i + 1), history_[i]);
}

void TMultiLockInForm::ApplyFrequencies()
{
    if (!link_)
        return;
    QString boxes[3];
    double typed[3];
    int32_t previous[3];
    for (int k = 0; k < 3; ++k) {
        boxes[k] = linkBoxes_[k]->currentText();
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
    if (source_ < 1 || sweeping_)
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
    repetition_ = -1;
    StartSweep();
    repetition_ = -1;
}

bool TMultiLockInForm::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == chart_ && event->type() == QEvent::MouseButtonRelease) {
        const auto* m = static_cast<QMouseEvent*>(event);
        if (m->button() == Qt::LeftButton)
            ChartClick(chart_->PixelToX(static_cast<int>(m->position().x())));
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
    const bool ok = kind == 2 ? ParseNumber(text, v) : ParseWithUnit(text, v);
    if (!ok) {
        Colour(edit, "red");
        return false;
    }
    Colour(edit, nullptr);
    const char* key = kind == 0 ? "Freq%1" : kind == 1 ? "Amplitude%1" : "Phase%1";
    if (MainIni)
        MainIni->WriteFloat(Section, QString(key).arg(k + 1), v);
    if (kind == 0) {
        typed_[k] = v;
        ApplyFrequencies();
    } else if (kind == 1) {
        MultiLockInParams.Amplitude[k] = v;
        ApplyAmplitudes();
        ShowFrequencies();
    } else {
        MultiLockInParams.Phase[k] = v;
        ApplyPhases();
    }
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
    const int digits = settle_ < 0.5 ? 1 : 0;
    for (int k = 0; k < 3; ++k) {
        if (!refused_[k])
            freqEdits_[k]->setText(FixedPointText(MultiLockInParams.Frequency[k], 6, digits));
        amplEdits_[k]->setText(FixedPointText(MultiLockInParams.Amplitude[k], 9, 3));
    }
    startEdit_->setText(FixedPointText(start_, 6, digits));
    stopEdit_->setText(FixedPointText(stop_, 6, digits));
}

// ---- the spectrum ------------------------------------------------------------------------

void TMultiLockInForm::SelectSweepSource(int k)
{
    if (k < 1 || k > 3) {
        source_ = -1;
        sourceLabel_->setText("Please choose a channel!");
        chart_->hide();
        return;
    }
    source_ = k;
    sourceBox_->setCurrentIndex(k - 1);
    sourceLabel_->setText(QString("Source: LIA%1 Freq").arg(k));
    chart_->show();
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
    series_[4].Visible = ini && ini->ReadBool(OptSection, "Math", false);
    if (repetition_ < 0 || !sweeping_)
        repetition_ = ini ? ini->ReadInteger(OptSection, "ContAverage", -1) : -1;
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
    const bool again = means_.Points() == points_ + 1 && repetition_ >= 0;
    const int32_t keep = repetition_;
    LoadOptions();
    if (again)
        repetition_ = keep;
    if (!again)
        means_.Resize(points_);
    step_ = SpectrumStep(start_, stop_, points_);
    wait_ = SpectrumReadingWait(settle_);
    savedFrequency_ = typed_[static_cast<size_t>(source_ - 1)];
    for (auto& s : series_)
        s.Clear();
    for (int i = 0; i < 4; ++i)
        series_[static_cast<size_t>(i)].Visible = true;
    point_ = 0;
    reading_ = 0;
    stopRequest_ = false;
    sweeping_ = true;
    scanButton_->setChecked(true);
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

double TMultiLockInForm::ReadSlot(int n)
{
    return link_->ReadReg(-14 - n);
}

// One reading per tick when the filter settles slowly (the window stays
// alive between readings), else a whole point.
void TMultiLockInForm::SweepTick()
{
    if (!sweeping_)
        return;
    const double f = start_ + point_ * step_;
    if (reading_ == 0) {
        if (stopRequest_ || point_ >= points_) {
            EndSweep();
            return;
        }
        typed_[static_cast<size_t>(source_ - 1)] = f;
        ApplyFrequencies();
        sums_ = {};
    }
    do {
        link_->DelayUs(wait_);
        for (int c = 0; c < 4; ++c)
            sums_[static_cast<size_t>(c)] += ReadSlot(c);
        ++reading_;
    } while (reading_ <= average_ && settle_ <= 0.002);
    if (reading_ <= average_)
        return;
    reading_ = 0;
    double v[4];
    for (int c = 0; c < 4; ++c) {
        v[c] = sums_[static_cast<size_t>(c)] / (average_ + 1) * ChannelTable[14 + c].Factor.load();
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
    scanButton_->setChecked(false);
    // A stop shows and keeps only the points measured.
    if (repetition_ >= 0)
        ++repetition_;
    typed_[static_cast<size_t>(source_ - 1)] = savedFrequency_;
    ApplyFrequencies();
    if (MainIni) {
        MainIni->WriteFloat(Section, "Start", start_);
        MainIni->WriteFloat(Section, "Stop", stop_);
    }
    const QString range = SpectrumRangeText(start_, stop_);
    if (history_.isEmpty() || history_.last() != range)
        AddSpectrumRangeHistory(history_, range);
    if (MainIni && MainIni->ReadBool(OptSection, "AutoSave", false))
        SaveSpectrum(MainIni->ReadString(OptSection, "SaveName", "c:\\temp\\noname"));
    chart_->update();
}

bool TMultiLockInForm::SaveSpectrum(const QString& quotedName)
{
    // The options window stores the name inside double quotes.
    QString name = quotedName;
    if (name.size() >= 2 && name.startsWith('"') && name.endsWith('"'))
        name = name.mid(1, name.size() - 2);
    TQVTIniFile* ini = MainIni;
    const bool numbered = ini && ini->ReadBool(OptSection, "SaveNumbered", false);
    const int n = ini ? ini->ReadInteger(OptSection, "NextNumber", 0) : 0;
    if (numbered && ini) {
        ini->WriteInteger(OptSection, "NextNumber", n + 1);
        if (NextNumberChanged)
            NextNumberChanged(n + 1);
    }
    const QString ext = ini ? ini->ReadString(OptSection, "SaveExt", "txt") : QString("txt");
    const QString file = SpectrumFileName(name, numbered, n, ext);
    if (!QFileInfo(file).absoluteDir().exists()) {
        ShowMessage(MsgKind::Warning, "Directory does not exist!");
        return false;
    }
    if (QFileInfo::exists(file)) {
        ShowMessage(MsgKind::Warning, "File already exists!");
        return false;
    }
    static const char* const delimiters[] = {"", "\t", " ", ",", "."};
    const int d = std::clamp(ini ? ini->ReadInteger(OptSection, "DelimiterSave", 0) : 0, 0, 4);
    const QString comment =
        ini && ini->ReadBool(OptSection, "SaveComment", false) ? ini->ReadString(OptSection, "Comment", "") : QString();
    return chart_->SaveDataToFile(file, delimiters[d], !ini || ini->ReadBool(OptSection, "xAxis", true), comment);
}

} // namespace qvt
