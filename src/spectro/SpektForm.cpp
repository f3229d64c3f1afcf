#include "spectro/SpektForm.h"

#include "core/IniFile.h"
#include "core/NumberText.h"
#include "core/SharedState.h"
#include "device/ChannelTable.h"
#include "device/InOutForm.h"
#include "device/SpektRequests.h"
#include "lockin/OsziFrame.h"
#include "platform/MessageBoxes.h"
#include "scan/DeviceWorkers.h"
#include "widgets/NumericEdit.h"
#include "widgets/SimpleChart.h"
#include "widgets/SteadyLayout.h"

#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTextStream>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace qvt {

TSpektForm* SpektForm = nullptr;

namespace {

constexpr int FirstAdcSlotForRef = 26; // ADC1: the unit of the Ref edit
constexpr int ConstantHeightMode = 3;
constexpr int TrackIntervalMs = 20;
constexpr int PlotSize = 360;
const char* const HintDz = ">0 for retract";
constexpr double UsPerSecond = 1.0e6;

QString Number5(double v)
{
    return QString::number(v, 'g', 5);
}

// Microseconds with their tenths (a tick is 25.6 µs): every digit the
// controller runs, so the edit and the key read back as the delay sent.
QString MicrosecondsText(double us)
{
    return QString::number(us, 'g', 10);
}

// The shortest text, five digits at least, that reads back as the same digit
// of an output (v / factor - offset rounded): 1234.55 nm on a 0.05 nm grid
// must not come back as 1234.6.
QString GridText(double v, const TIOScale& scale, bool withOffset = false)
{
    const double factor = scale.Factor.load();
    const double offset = withOffset ? double(scale.Offset.load()) : 0.0;
    if (factor == 0.0 || !std::isfinite(factor) || !std::isfinite(v))
        return Number5(v);
    const double digit = Round(v / factor - offset);
    for (int precision = 5; precision < 17; ++precision) {
        const QString text = QString::number(v, 'g', precision);
        if (Round(text.toDouble() / factor - offset) == digit)
            return text;
    }
    return QString::number(v, 'g', 17);
}

QColor FromWindowsRgb(uint32_t rgb)
{
    return QColor(int(rgb & 0xFF), int((rgb >> 8) & 0xFF), int((rgb >> 16) & 0xFF));
}

QString RunEndedText(const QString& what, bool kept)
{
    return "Run ended: " + what + " changed" +
           (kept ? QString("; the curves measured so far are kept") : QString(" before a curve was complete"));
}

QString AxisText(const TIOScale& scale)
{
    if (scale.Label.isEmpty() && scale.UnitName.isEmpty())
        return {};
    return scale.Label + " [" + scale.UnitName + "]";
}

TFeedbackSet& FeedbackSetOf(int mode)
{
    return MicroscopeState.FeedbackSets[FeedbackSetIndex(ValidFeedbackMode(mode))];
}

} // namespace

TSpektForm::TSpektForm(TInOutForm& device, QWidget* parent) : QWidget(parent, Qt::Tool), device_(device)
{
    SpektForm = this;
    setObjectName("SpektForm");
    setWindowTitle("Spectroscopy");
    setWindowFlag(Qt::WindowStaysOnTopHint);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    Random = [this, uniform]() mutable { return uniform(noise_); };
    noiseTable_ = std::make_unique<TSpektData>();
    preview_ = std::make_unique<TSpektData>();
    run_ = std::make_unique<TSpektData>();
    BuildControls();
    connect(&device_, &TInOutForm::spektDataReady, this, &TSpektForm::CurveReady);
    trackTimer_ = new QTimer(this);
    trackTimer_->setInterval(TrackIntervalMs);
    connect(trackTimer_, &QTimer::timeout, this, [this] {
        if (measuring_ && device_.Timer3Active())
            device_.TrackXY(lastX_, lastY_);
    });
}

TSpektForm::~TSpektForm()
{
    // The base class closes the window after this one's members are gone; the focus leaving
    // the kind box then must not choose a kind.
    ComboBox1->disconnect(this);
    if (SpektForm == this)
        SpektForm = nullptr;
}

// ---- controls ---------------------------------------------------------------------------

void TSpektForm::BuildControls()
{
    auto* top = new QVBoxLayout(this);
    top->setSizeConstraint(QLayout::SetFixedSize);

    auto* kindRow = new QHBoxLayout;
    ComboBox1 = new QComboBox(this);
    ComboBox1->setObjectName("ComboBox1");
    ComboBox1->setEditable(true);
    ComboBox1->setInsertPolicy(QComboBox::NoInsert);
    ComboBox1->setCompleter(nullptr); // a part of a name stays red, not completed
    ComboBox1->setMinimumWidth(150);
    connect(ComboBox1, &QComboBox::textActivated, this, [this] { ComboBox1Change(); });
    connect(ComboBox1->lineEdit(), &QLineEdit::returnPressed, this, [this] { ComboBox1Change(); });
    kindRow->addWidget(ComboBox1);
    Button1 = new QPushButton("Pre", this);
    Button1->setObjectName("Button1");
    Button1->setToolTip("Preview Exitation");
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
    kindRow->addWidget(Button1);
    kindRow->addStretch();
    top->addLayout(kindRow);

    auto* grid = new QGridLayout;
    const auto addEdit = [&](int number, const QString& label, const QString& hint, int row, int col) {
        auto* edit = new TNumericEdit(QString("Edit%1").arg(number), this);
        edit->setFixedWidth(80);
        auto* name = new QLabel(label, this);
        name->setToolTip(hint);
        auto* unit = new QLabel(this);
        // A kind hides the edits it has no use for: their room stays, so the
        // plot and the buttons below keep their place from kind to kind.
        for (QWidget* w : std::initializer_list<QWidget*>{name, edit, unit})
            KeepPlaceWhenHidden(w);
        grid->addWidget(name, row, col * 3);
        grid->addWidget(edit, row, col * 3 + 1);
        grid->addWidget(unit, row, col * 3 + 2);
        edits_[number - 1] = edit;
        editLabels_[number - 1] = name;
        unitLabels_[number - 1] = unit;
        return edit;
    };
    Edit1 = addEdit(1, "X", "", 0, 0);
    Edit2 = addEdit(2, "Y", "", 0, 1);
    Edit3 = addEdit(3, "delay1", "Delay after reach (X,Y)", 1, 0);
    Edit4 = addEdit(4, "delay2", "Delay between Data Points", 1, 1);
    Edit5 = addEdit(5, "dz1", HintDz, 2, 0);
    Edit6 = addEdit(6, "dz2", HintDz, 2, 1);
    Edit8 = addEdit(8, "U1", "", 3, 0);
    Edit7 = addEdit(7, "U2", "", 3, 1);
    Edit5Label = editLabels_[4];
    Edit1->setReadOnly(true);
    Edit2->setReadOnly(true);
    unitLabels_[2]->setText("µs");
    unitLabels_[3]->setText("µs");
    top->addLayout(grid);

    // X and Y: quantised to the X/Y outputs; they stay silver, as typed points do.
    const auto pointEnter = [this](TNumericEdit* edit, bool isX) {
        edit->OnValue = [this, edit, isX](double v) {
            double x = isX ? v : PointX;
            double y = isX ? PointY : v;
            device_.SetSpektPosition(x, y);
            PointX = static_cast<float>(x);
            PointY = static_cast<float>(y);
            edit->setText(GridText(isX ? x : y, ChannelTable[isX ? SlotX : SlotY]));
            if (UserIni)
                UserIni->WriteString("Spekt", isX ? "Edit1" : "Edit2", edit->text());
            QTimer::singleShot(0, edit, [edit] { edit->SetColor(EditColor::Silver); });
            return true;
        };
    };
    pointEnter(Edit1, true);
    pointEnter(Edit2, false);
    Edit3->OnValue = [this](double us) {
        const double applied = device_.SetSpektDelay(us);
        Delay1 = applied / UsPerSecond;
        Edit3->setText(MicrosecondsText(applied));
        if (UserIni)
            UserIni->WriteString("Spekt", "Edit3", Edit3->text());
        SettingChanged("delay1");
        return true;
    };
    Edit4->OnValue = [this](double us) {
        const double applied = device_.SetSpektSampleTime(us);
        Delay2 = applied / UsPerSecond;
        Edit4->setText(MicrosecondsText(applied));
        if (UserIni)
            UserIni->WriteString(Section(), "Edit4", Edit4->text());
        SettingChanged("delay2");
        return true;
    };
    const auto zEdit = [this](TNumericEdit* edit, double& store, const char* key) {
        edit->OnValue = [this, edit, &store, key](double v) {
            if (SpektVisibleEdits(SpektModeName) & SpektEditRef && edit == Edit5) {
                FeedbackSetOf(ConstantHeightMode).Setpoint = static_cast<float>(v);
                // The run ends before the loop gets the new set point.
                SettingChanged("Ref");
                device_.UpdateFeedback();
                edit->setText(Number5(v));
                return true;
            }
            // Toward the sample no further than the tip bears: limited here,
            // as the outputs' limits are, so the edit shows what will run.
            store = device_.QuantizeZ(std::max(v, -device_.SpektPressMax()));
            edit->setText(GridText(store, ChannelTable[SlotZ]));
            if (UserIni)
                UserIni->WriteString(Section(), key, edit->text());
            SettingChanged(edit == Edit6 ? QString("dz2") : Edit5Label->text());
            QTimer::singleShot(0, edit, [this, edit, v = store] { MarkNegative(edit, v); });
            return true;
        };
    };
    zEdit(Edit5, Dz1, "Edit5");
    zEdit(Edit6, Dz2, "Edit6");
    const auto biasEdit = [this](TNumericEdit* edit, double& store, const char* key) {
        edit->OnValue = [this, edit, &store, key](double v) {
            store = device_.QuantizeBias(v);
            edit->setText(GridText(store, ChannelTable[SlotBias], true));
            if (UserIni)
                UserIni->WriteString(Section(), key, edit->text());
            SettingChanged(edit == Edit8 ? "U1" : "U2");
            return true;
        };
        // Esc reloads the key and applies it.
        edit->OnRestore = [this, edit, key] {
            LoadKindEdit(edit, key);
            ApplyLoadedEdit(edit);
        };
    };
    biasEdit(Edit8, U1, "Edit8");
    biasEdit(Edit7, U2, "Edit7");
    Edit5->OnRestore = [this] {
        if (SpektVisibleEdits(SpektModeName) & SpektEditRef)
            Edit5->setText(Number5(FeedbackSetOf(ConstantHeightMode).Setpoint));
        else
            LoadKindEdit(Edit5, "Edit5");
    };
    Edit6->OnRestore = [this] { LoadKindEdit(Edit6, "Edit6"); };
    Edit4->OnRestore = [this] { LoadKindEdit(Edit4, "Edit4"); };

    auto* channels = new QGridLayout;
    const char* plotNames[4] = {"SpeedButton1", "SpeedButton2", "SpeedButton3", "SpeedButton5"};
    for (int c = 0; c < 4; ++c) {
        auto* box = new QComboBox(this);
        box->setObjectName(QString("ComboBox%1").arg(c + 2));
        connect(box, &QComboBox::activated, this, [this, c] { ComboBox2Change(c); });
        auto* plot = new QToolButton(this);
        plot->setObjectName(plotNames[c]);
        plot->setText(QString("ch %1").arg(c + 1));
        plot->setCheckable(true);
        plot->setEnabled(false);
        connect(plot, &QToolButton::clicked, this, [this, c] { DisplayDataClick(c + 3); });
        // Fewer channels hide the others' selectors, not their room.
        KeepPlaceWhenHidden(box);
        KeepPlaceWhenHidden(plot);
        channels->addWidget(box, c / 2, (c % 2) * 2);
        channels->addWidget(plot, c / 2, (c % 2) * 2 + 1);
        ChannelBoxes[c] = box;
        PlotButtons[c] = plot;
    }
    top->addLayout(channels);

    Image1 = new TSimpleChart(this);
    Image1->setObjectName("Image1");
    Image1->setFixedSize(PlotSize, PlotSize);
    top->addWidget(Image1);

    auto* runRow = new QHBoxLayout;
    ScanButton = new QToolButton(this);
    ScanButton->setObjectName("ScanButton");
    ScanButton->setText("acquire spectra");
    ScanButton->setCheckable(true);
    connect(ScanButton, &QToolButton::clicked, this, [this] { DoButtonClick(); });
    RepeatButton = new QToolButton(this);
    RepeatButton->setObjectName("RepeatButton");
    RepeatButton->setText("continue acquire");
    RepeatButton->setCheckable(true);
    CancelButton1 = new QPushButton("Stop", this);
    CancelButton1->setObjectName("CancelButton1");
    connect(CancelButton1, &QPushButton::clicked, this, [this] { CancelButton1Click(); });
    runRow->addWidget(ScanButton);
    runRow->addWidget(RepeatButton);
    runRow->addWidget(CancelButton1);
    runRow->addStretch();
    top->addLayout(runRow);
    StatusBar = new TElidedLabel(this); // a long text must not widen the window
    StatusBar->setObjectName("StatusBar");
    top->addWidget(StatusBar);
    BuildSaveControls();
}

QString TSpektForm::Section() const
{
    return SpektModeName;
}

int32_t TSpektForm::KindBits() const
{
    const int32_t table = SpektKindValue(Section());
    return UserIni ? UserIni->ReadInteger(Section(), "Kind", table) : table;
}

int TSpektForm::Points() const
{
    const int n = UserIni ? UserIni->ReadInteger(Section(), "DataPoints", SpektDefaultPoints) : SpektDefaultPoints;
    return SpektClampPoints(n);
}

// ---- lifecycle ------------------------------------------------------------------------------

void TSpektForm::FormCreate()
{
    ColumnScales = {&TimeScale,       &ChannelTable[SlotZ], &ChannelTable[SlotBias], &ChannelTable[0],
                    &ChannelTable[0], &ChannelTable[0],     &ChannelTable[0],        &FrequencyScale};
    if (UserIni) {
        move(UserIni->ReadInteger("Spekt", "FormPosLeft", 10), UserIni->ReadInteger("Spekt", "FormPosTop", 10));
        Edit1->setText(UserIni->ReadString("Spekt", "Edit1", "0"));
        Edit2->setText(UserIni->ReadString("Spekt", "Edit2", "0"));
        Edit3->setText(UserIni->ReadString("Spekt", "Edit3", "0"));
    }
    double v = 0.0;
    if (ParseNumber(Edit1->text(), v))
        PointX = static_cast<float>(v);
    if (ParseNumber(Edit2->text(), v))
        PointY = static_cast<float>(v);
    Edit1->PressKey(EditKey::Enter);
    Edit2->PressKey(EditKey::Enter);
    Edit3->PressKey(EditKey::Enter);
    if (SetMainButton)
        SetMainButton(false);
    FillChannelLists();
    const bool massSpec = MainIni && MainIni->ReadBool("Spekt", "MassSpec", false);
    ComboBox1->clear();
    ComboBox1->addItems(SpektKindNames(massSpec));
    const int index = UserIni ? UserIni->ReadInteger("Spekt", "ItemIndex", 0) : 0;
    ComboBox1->setCurrentIndex(std::clamp(index, 0, ComboBox1->count() - 1));
    ComboBox1Change();
    started_ = true;
    // Written now, not only at the next select: a script that starts the
    // spectroscopy first must not send Kind 0.
    if (UserIni)
        UserIni->WriteInteger(Section(), "Kind", SpektKindValue(Section()));
    setVisible(UserIni && UserIni->ReadBool("Main", "SpectButton", false));
}

void TSpektForm::FormDestroy()
{
    if (measuring_)
        CancelButton1Click();
    if (UserIni) {
        UserIni->WriteInteger("Spekt", "FormPosTop", y());
        UserIni->WriteInteger("Spekt", "FormPosLeft", x());
    }
}

void TSpektForm::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (SetMainButton)
        SetMainButton(true);
    FillChannelLists();
    SetupChannels();
}

void TSpektForm::closeEvent(QCloseEvent* event)
{
    if (UserIni)
        UserIni->WriteBool("Spect", "Visible", isVisible());
    QWidget::closeEvent(event);
    if (SetMainButton)
        SetMainButton(false);
}

void TSpektForm::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape) {
        if (ScanButton->isChecked())
            Beep();
        else
            close();
        return;
    }
    QWidget::keyPressEvent(event);
}

// ---- kinds and settings -------------------------------------------------------------------

void TSpektForm::ComboBox1Change()
{
    const QString text = ComboBox1->currentText();
    const bool known = ComboBox1->findText(text, Qt::MatchExactly) >= 0;
    QPalette p = ComboBox1->palette();
    p.setColor(QPalette::Base, known ? Qt::white : Qt::red);
    ComboBox1->setPalette(p);
    ComboBox1->lineEdit()->setPalette(p);
    if (known)
        SelectKind(text);
}

void TSpektForm::LoadKindEdit(TNumericEdit* edit, const QString& key)
{
    edit->setText(UserIni ? UserIni->ReadString(Section(), key, "0") : "0");
}

void TSpektForm::ApplyLoadedEdit(TNumericEdit* edit)
{
    edit->PressKey(EditKey::Enter);
}

void TSpektForm::MarkNegative(TNumericEdit* edit, double value)
{
    if (value < 0.0 && edit->Color() == EditColor::White) {
        QPalette p = edit->palette();
        p.setColor(QPalette::Base, Qt::yellow);
        edit->setPalette(p);
    }
}

void TSpektForm::ShowEdit(TNumericEdit* edit, bool visible)
{
    for (int i = 0; i < 8; ++i) {
        if (edits_[i] != edit)
            continue;
        edit->setVisible(visible);
        editLabels_[i]->setVisible(visible);
        unitLabels_[i]->setVisible(visible);
    }
}

void TSpektForm::SelectKind(const QString& name)
{
    if (selecting_)
        return; // a selection is already being made
    selecting_ = true;
    SpektModeName = name;
    if (UserIni) {
        UserIni->WriteInteger("Spekt", "ItemIndex", ComboBox1->findText(name, Qt::MatchExactly));
        UserIni->WriteString("Spekt", "ItemString", "\"" + name + "\"");
    }
    unitLabels_[0]->setText(ChannelTable[SlotX].UnitName);
    unitLabels_[1]->setText(ChannelTable[SlotY].UnitName);
    // Every unit column is as wide as the widest unit any kind shows there,
    // so the edits right of it stay whichever kind is made current.
    int unitWidth = 0;
    for (const QString& unit :
         {ChannelTable[SlotX].UnitName, ChannelTable[SlotY].UnitName, QString("µs"), ChannelTable[SlotZ].UnitName,
          ChannelTable[SlotBias].UnitName, ChannelTable[FirstAdcSlotForRef].UnitName})
        unitWidth = std::max(unitWidth, unitLabels_[0]->fontMetrics().horizontalAdvance(unit));
    for (QLabel* unit : unitLabels_)
        unit->setMinimumWidth(unitWidth);
    LoadKindEdit(Edit4, "Edit4");
    ApplyLoadedEdit(Edit4);

    for (TNumericEdit* e : {Edit5, Edit6, Edit7, Edit8}) {
        ShowEdit(e, false);
        e->setText("0");
    }
    U1 = U2 = Dz1 = Dz2 = 0.0;
    const unsigned shown = SpektVisibleEdits(name);
    const QString zUnit = ChannelTable[SlotZ].UnitName;
    const QString biasUnit = ChannelTable[SlotBias].UnitName;
    if (shown & (SpektEditDz1 | SpektEditDz)) {
        Edit5Label->setText(shown & SpektEditDz ? "dz" : "dz1");
        Edit5Label->setToolTip(HintDz);
    }
    // Each shown edit is loaded from the kind's section and applied as Enter.
    const struct {
        unsigned Flags;
        int Number;
        const QString& Unit;
    } loaded[] = {{SpektEditDz1 | SpektEditDz, 5, zUnit},
                  {SpektEditDz2, 6, zUnit},
                  {SpektEditU1, 8, biasUnit},
                  {SpektEditU2, 7, biasUnit}};
    for (const auto& e : loaded) {
        if (!(shown & e.Flags))
            continue;
        auto* edit = static_cast<TNumericEdit*>(edits_[e.Number - 1]);
        unitLabels_[e.Number - 1]->setText(e.Unit);
        ShowEdit(edit, true);
        LoadKindEdit(edit, QString("Edit%1").arg(e.Number));
        ApplyLoadedEdit(edit);
    }
    if (shown & SpektEditRef) {
        Edit5Label->setText("Ref");
        Edit5Label->setToolTip("");
        unitLabels_[4]->setText(ChannelTable[FirstAdcSlotForRef].UnitName);
        ShowEdit(Edit5, true);
        Edit5->setText(Number5(FeedbackSetOf(ConstantHeightMode).Setpoint));
        Edit5->MarkAccepted();
    }
    if (name == SpektZNoiseName && UserIni) {
        UserIni->WriteString(name, "Leadinout", "Off");
        UserIni->WriteFloat(name, "Cycle", 0.5);
    }
    SetupChannels();
    selecting_ = false;
    SettingChanged("kind");
    Button1Click();
}

void TSpektForm::FillChannelLists()
{
    ChannelList = SpektChannelList();
    for (QComboBox* box : ChannelBoxes) {
        const int keep = box->currentIndex();
        box->clear();
        for (const TSpektChannelEntry& e : ChannelList)
            box->addItem(e.Text);
        if (keep >= 0 && keep < box->count())
            box->setCurrentIndex(keep);
    }
    ColumnScales[0] = &TimeScale;
    ColumnScales[1] = &ChannelTable[SlotZ];
    ColumnScales[2] = &ChannelTable[SlotBias];
    ColumnScales[7] = &FrequencyScale;
    for (int c = 0; c < 4; ++c)
        ColumnScales[3 + c] = &ChannelTable[ChannelSlots[c]];
}

int TSpektForm::CurrentCountCh() const
{
    return UserIni ? std::clamp(UserIni->ReadInteger(Section(), "CountCh", 1), 1, 4) : 1;
}

void TSpektForm::SetupChannels()
{
    if (UserIni == nullptr)
        return;
    const TSpektChannelSetup setup = ReadSpektChannelSetup(*UserIni, Section(), int(ChannelList.size()));
    // The channels are reported together, once all are set.
    const bool selecting = selecting_;
    selecting_ = true;
    for (int c = 0; c < 4; ++c) {
        const bool used = c < setup.Count;
        if (c > 0) {
            ChannelBoxes[c]->setVisible(used);
            PlotButtons[c]->setVisible(used);
        }
        if (used && setup.Entry[c] >= 0) {
            ChannelBoxes[c]->setCurrentIndex(setup.Entry[c]);
            ComboBox2Change(c);
        } else {
            ChannelSlots[c] = 0;
            ColumnScales[3 + c] = &ChannelTable[0];
        }
    }
    UserIni->WriteInteger(Section(), "ViewY0", 3);
    if (started_)
        UserIni->WriteInteger(Section(), "Kind", SpektKindValue(Section()));
    selecting_ = selecting;
    SettingChanged("the channels");
    if (KindMadeCurrent)
        KindMadeCurrent();
}

void TSpektForm::ComboBox2Change(int channel)
{
    QComboBox* box = ChannelBoxes[channel];
    if (box->currentIndex() < 0 && box->count() > 0)
        box->setCurrentIndex(0);
    const int entry = box->currentIndex();
    if (entry < 0 || entry >= int(ChannelList.size()))
        return;
    const int slot = ChannelList[entry].Slot;
    ChannelSlots[channel] = slot;
    ColumnScales[3 + channel] = &ChannelTable[slot];
    device_.SetSpektChannel(channel, ChannelTable[slot]);
    if (UserIni)
        UserIni->WriteInteger(Section(), QString("Channel%1").arg(channel), entry);
    SettingChanged(QString("channel %1").arg(channel + 1));
    EnablePlotButtons();
}

void TSpektForm::EnablePlotButtons()
{
    // The buttons show the measurement's columns, whatever the boxes now say.
    for (int c = 0; c < 4; ++c)
        PlotButtons[c]->setEnabled(measured_.Valid && c < measured_.CountCh);
    for (QWidget* w : std::initializer_list<QWidget*>{SaveButton, SaveAsButton, ButtonCopy})
        w->setEnabled(measured_.Valid);
}

void TSpektForm::SetPoint(double x, double y)
{
    // Every digit of the point: the edits quantise it to the outputs.
    Edit1->Apply(QString::number(x, 'g', 17));
    Edit2->Apply(QString::number(y, 'g', 17));
}

void TSpektForm::LinkNavigatorPoint(bool linked, double x, double y)
{
    navigatorLinked_ = linked;
    navigatorX_ = x;
    navigatorY_ = y;
    if (linked) {
        SetPoint(x, y);
        ScanButton->setEnabled(!fastMode_);
        ScanButton->setToolTip("Acquire Spectra");
    } else {
        ScanButton->setToolTip("No Points defined");
        Edit1->setText("Current Pos.");
        Edit2->setText("Current Pos.");
    }
    SettingChanged("the point");
}

void TSpektForm::SetFastMode(bool on)
{
    fastMode_ = on;
    ScanButton->setEnabled(!on);
    if (on)
        close();
}

// ---- excitation ---------------------------------------------------------------------------

TExcitationShape TSpektForm::Shape() const
{
    TExcitationShape shape;
    shape.Points = Points();
    shape.Dt = Delay2;
    if (UserIni == nullptr)
        return shape;
    const QString section = Section();
    shape.Cycle = UserIni->ReadFloat(section, "Cycle", 1.0);
    shape.LeadInOut = UserIni->ReadString(section, "Leadinout", "On") == "On";
    for (int i = 0; i < 4; ++i)
        shape.Colors[i] =
            static_cast<uint32_t>(UserIni->ReadInteger(section, QString("Color%1").arg(i), int(SpektDefaultColors[i])));
    return shape;
}

bool TSpektForm::PrepareExcitation()
{
    return PrepareExcitationInto(*preview_);
}

bool TSpektForm::PrepareExcitationInto(TSpektData& table)
{
    const TExcitationShape shape = Shape();
    if (shape.Cycle < 0.0) {
        const QString file = UserIni ? UserIni->ReadString(Section(), "BiasCycleName", "./default.dat") : QString();
        if (LoadRampFileInto(file, table) == 0) {
            ShowMessage(MsgKind::Information, SpektNoRampMessage);
            return false;
        }
        return true;
    }
    TExcitationParams params;
    params.U1 = U1;
    params.U2 = U2;
    params.Dz1 = Dz1;
    params.Dz2 = Dz2;
    params.B0 = FeedbackSetOf(MicroscopeState.FeedbackMode.load()).Bias;
    const int32_t kind = KindBits();
    qvt::PrepareExcitation(table, Section(), kind, shape, params, Random,
                           [](const QString& text) { ShowMessage(MsgKind::Information, text); });
    return true;
}

int TSpektForm::LoadRampFile(const QString& name)
{
    return LoadRampFileInto(name, *preview_);
}

int TSpektForm::LoadRampFileInto(const QString& name, TSpektData& table)
{
    if (name.isEmpty())
        return 0;
    QFile file(name);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return 0;
    QStringList lines;
    QTextStream in(&file);
    while (!in.atEnd() && lines.size() <= SpektMaxPoints)
        lines << in.readLine();
    const TRampFile read = ParseRampFile(lines, table);
    if (!read.Error.isEmpty())
        ShowMessage(MsgKind::Error, RampFileErrorMessage(name, read.ErrorLine));
    else if (read.Cut)
        ShowMessage(MsgKind::Information, SpektMismatchMessage);
    if (read.Rows < 1)
        return 0;
    if (UserIni)
        UserIni->WriteInteger(Section(), "DataPoints", read.Rows);
    const uint32_t color = UserIni ? uint32_t(UserIni->ReadInteger("SpektOpt", "Color1", 0)) : 0u;
    for (int i = 0; i < read.Rows; ++i) {
        table.Color[i] = color;
        table.Col[TSpektData::Time][i] = i * Delay2;
    }
    table.LeadInEnd = 0;
    table.LeadOutStart = read.Rows - 1;
    return read.Rows;
}

void TSpektForm::Button1Click()
{
    if (UserIni == nullptr)
        return;
    const QString section = Section();
    const int viewX = UserIni->ReadInteger(section, "ViewX", 0);
    const int viewY = UserIni->ReadInteger(section, "ViewY0", 3);
    const int32_t kind = KindBits();
    UserIni->WriteInteger(section, "ViewY0", (uint32_t(kind) & SpektBitBiasExcited) ? 2 : 1);
    UserIni->WriteInteger(section, "ViewX", 0);
    bool ok = true;
    if (Shape().Cycle > 0.0) {
        ok = PrepareExcitation();
    } else if (LoadRampFileInto(UserIni->ReadString(section, "BiasCycleName", "./default.dat"), *preview_) == 0) {
        ShowMessage(MsgKind::Information, SpektNoRampMessage);
        ok = false;
    }
    if (ok)
        DisplayData(TSpektSender::Preview);
    UserIni->WriteInteger(section, "ViewX", viewX);
    UserIni->WriteInteger(section, "ViewY0", viewY);
}

// ---- run ----------------------------------------------------------------------------------

void TSpektForm::DoButtonClick(bool fromScript)
{
    if (fromScript)
        ScanButton->setChecked(!ScanButton->isChecked());
    if (!ScanButton->isChecked()) {
        // Released by the operator: stop at once, keep what was averaged.
        device_.StopSpektroscopy();
        RestoreKi();
        EndRun();
        return;
    }
    if (measuring_)
        return;
    // The fast scan holds the controller: a script's press is refused as
    // the disabled button refuses the operator's.
    if (fastMode_) {
        ScanButton->setChecked(false);
        return;
    }
    // The run builds and averages in a table of its own: until its first
    // curve is in, the last measurement stays what Save and Copy write.
    *run_ = TSpektData{};
    if (!PrepareExcitationInto(*run_) || !RampReachable(*run_)) {
        ScanButton->setChecked(false);
        return;
    }
    AverageCount = 1;
    // The count of curves is the run's own: a new one applies from the next run.
    counter_.Start(UserIni ? UserIni->ReadInteger(Section(), "CountAverage", 1) : 1);
    runInfo_.Valid = true;
    runInfo_.Settings = CurrentSettings();
    runInfo_.Points = runInfo_.Settings.Points;
    runInfo_.CountCh = runInfo_.Settings.CountCh;
    runInfo_.ZNoise = Section() == SpektZNoiseName;
    for (size_t c = 0; c < ColumnScales.size(); ++c) {
        runInfo_.Scales[c] = ColumnScales[c] ? *ColumnScales[c] : TIOScale();
        runInfo_.Slots[c] = -1;
    }
    runInfo_.Slots[TSpektData::Dz] = SlotZ;
    runInfo_.Slots[TSpektData::Bias] = SlotBias;
    for (int c = 0; c < 4; ++c)
        runInfo_.Slots[TSpektData::Ch0 + c] = ChannelSlots[c];
    device_.LoadSpektRamp(run_->Col[TSpektData::Bias].data(), run_->Col[TSpektData::Dz].data(), runInfo_.Points,
                          runInfo_.Settings.KindBits);
    measuring_ = true;
    StartCurve();
}

bool TSpektForm::RampReachable(const TSpektData& table)
{
    const int n = Points();
    std::vector<double> z(table.Col[TSpektData::Dz].begin(), table.Col[TSpektData::Dz].begin() + n);
    std::vector<double> bias(table.Col[TSpektData::Bias].begin(), table.Col[TSpektData::Bias].begin() + n);
    if (Section() == SpektZNoiseName) {
        // Every curve draws new noise within ±dz/2: the bounds, not this draw, must fit.
        z.insert(z.end(), {Dz1 / 2.0, -Dz1 / 2.0});
        bias.insert(bias.end(), 2, bias.empty() ? 0.0 : bias.front());
    }
    const TSpektReach reach = device_.SpektReach(bias.data(), z.data(), int(z.size()));
    if (reach.ZInRange && reach.BiasInRange)
        return true;
    // Red: the edits whose value the outputs cannot take (a hidden edit holds 0).
    const unsigned shown = SpektVisibleEdits(Section());
    if (!reach.ZInRange) {
        const bool noise = Section() == SpektZNoiseName;
        const bool dz1Out =
            noise ? !reach.DzReachable(Dz1 / 2.0) || !reach.DzReachable(-Dz1 / 2.0) : !reach.DzReachable(Dz1);
        if ((shown & (SpektEditDz1 | SpektEditDz)) && dz1Out)
            Edit5->MarkRefused();
        if ((shown & SpektEditDz2) && !reach.DzReachable(Dz2))
            Edit6->MarkRefused();
    }
    if (!reach.BiasInRange) {
        if ((shown & SpektEditU1) && !reach.BiasReachable(U1))
            Edit8->MarkRefused();
        if ((shown & SpektEditU2) && !reach.BiasReachable(U2))
            Edit7->MarkRefused();
    }
    ShowMessage(MsgKind::Error,
                SpektReachMessage(reach, ChannelTable[SlotZ].UnitName, ChannelTable[SlotBias].UnitName));
    return false;
}

void TSpektForm::StartCurve()
{
    if (!measuring_)
        return;
    // A change the window was not told of (a script, another window) is
    // caught here, before the controller would measure with it.
    if (CurrentSettings() != runInfo_.Settings) {
        EndRunChanged("a setting");
        return;
    }
    BusyCursor(true);
    double x = 0.0, y = 0.0;
    if (navigatorLinked_) {
        x = navigatorX_;
        y = navigatorY_;
        setWindowTitle(QString("Spectroscopy on [%1,%2]").arg(Number5(x), Number5(y)));
    } else {
        setWindowTitle("Spectroscopy here");
        if (DeviceWorkers != nullptr)
            DeviceWorkers->GetTipPosition(x, y);
    }
    device_.SetSpektPosition(x, y);
    PointX = static_cast<float>(x);
    PointY = static_cast<float>(y);
    lastX_ = x;
    lastY_ = y;
    Edit1->setText(GridText(x, ChannelTable[SlotX]));
    Edit2->setText(GridText(y, ChannelTable[SlotY]));

    savedKiMode_ = MicroscopeState.FeedbackMode.load();
    savedKi_ = FeedbackSetOf(savedKiMode_).Ki;
    kiSaved_ = true;
    if (Section() == SpektMassSpecName) {
        FeedbackSetOf(savedKiMode_).Ki = 0.0f;
        device_.UpdateFeedback();
    }
    device_.StartSpektroscopy();
    trackTimer_->start();
}

void TSpektForm::RestoreKi()
{
    if (!kiSaved_)
        return;
    kiSaved_ = false;
    FeedbackSetOf(savedKiMode_).Ki = savedKi_;
    device_.UpdateFeedback();
}

void TSpektForm::CurveReady(int points)
{
    if (!measuring_)
        return; // a run of the script or another window
    trackTimer_->stop();
    TSpektRun run;
    run.Slots = &device_.SpektSlots;
    run.Returned = device_.SpektReturned;
    run.Points = points;
    run.AverageCount = AverageCount.load();
    run.ZNoise = runInfo_.ZNoise;
    std::array<const TIOScale*, 8> scales{};
    for (size_t c = 0; c < scales.size(); ++c)
        scales[c] = &runInfo_.Scales[c];
    FoldSpektRun(run, scales, *run_);
    if (run.ZNoise) {
        // The spectrum's x axis: frequency of each output.
        const int n = std::max(points, 1);
        const double dt = runInfo_.Settings.Delay2;
        for (int k = 0; k < points; ++k)
            run_->Col[TSpektData::Frequency][k] = dt > 0.0 ? k / (2.0 * n * dt) : 0.0;
    }
    // A finished curve: it becomes the measurement, with the settings it was taken with.
    SpektData = *run_;
    measured_ = runInfo_;
    if (Section() == SpektMassSpecName)
        ShowMessage(MsgKind::Information, "System is waiting.\rPress OK to release.");
    RestoreKi();
    const int count = counter_.Count();
    if (run.ZNoise && CurrentSettings() == runInfo_.Settings && PrepareExcitationInto(*noiseTable_)) {
        // A new noise table for every curve, built apart: the averaged
        // spectra in the point table must not be mixed with it.
        device_.LoadSpektRamp(noiseTable_->Col[TSpektData::Bias].data(), noiseTable_->Col[TSpektData::Dz].data(),
                              runInfo_.Points, runInfo_.Settings.KindBits);
    }
    EnablePlotButtons();
    StatusBar->setText(QString("%1 / %2").arg(count).arg(counter_.Target() > 0 ? QString::number(counter_.Target())
                                                                               : QString("inf.")));
    DisplayData();
    BusyCursor(false);
    const bool more = counter_.Next(RepeatButton->isChecked(), ScanButton->isChecked());
    AverageCount = counter_.Count();
    emit curveDone(count);
    if (more) {
        // The next curve starts once this handler has unwound.
        QTimer::singleShot(0, this, [this] { StartCurve(); });
        return;
    }
    ScanButton->setChecked(false);
    EndRun();
    if (UserIni && UserIni->ReadBool("SpektOpt", "AutoSave", false) && SaveSpectrum)
        SaveSpectrum(UserIni->ReadString("SpektOpt", "SaveName", DefaultSaveName()));
}

void TSpektForm::EndRun()
{
    const bool was = measuring_;
    measuring_ = false;
    trackTimer_->stop();
    BusyCursor(false);
    ShowTitle();
    if (was)
        emit runEnded();
}

void TSpektForm::BusyCursor(bool on)
{
    if (on == busyCursor_)
        return;
    busyCursor_ = on;
    if (on)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QApplication::restoreOverrideCursor();
}

void TSpektForm::CancelButton1Click()
{
    device_.StopSpektroscopy();
    RestoreKi();
    ScanButton->setChecked(false);
    EndRun();
}

TSpektForm::TSettings TSpektForm::CurrentSettings() const
{
    TSettings s;
    s.Kind = Section();
    s.KindBits = KindBits();
    s.Points = Points();
    s.CountCh = CurrentCountCh();
    for (int c = 0; c < 4; ++c)
        s.Slots[c] = c < s.CountCh ? ChannelSlots[c] : -1;
    s.Delay1 = Delay1;
    s.Delay2 = Delay2;
    s.U1 = U1;
    s.U2 = U2;
    s.Dz1 = Dz1;
    s.Dz2 = Dz2;
    if (SpektVisibleEdits(s.Kind) & SpektEditRef)
        s.Ref = FeedbackSetOf(ConstantHeightMode).Setpoint;
    const TExcitationShape shape = Shape();
    s.Cycle = shape.Cycle;
    s.LeadInOut = shape.LeadInOut;
    if (shape.Cycle < 0.0 && UserIni)
        s.RampFile = UserIni->ReadString(s.Kind, "BiasCycleName", "./default.dat");
    s.Linked = navigatorLinked_;
    if (navigatorLinked_) {
        s.X = navigatorX_;
        s.Y = navigatorY_;
    }
    return s;
}

void TSpektForm::SettingChanged(const QString& what)
{
    // A kind being selected reports once, when all of it is in place.
    if (!measuring_ || selecting_ || CurrentSettings() == runInfo_.Settings)
        return;
    EndRunChanged(what);
}

void TSpektForm::EndRunChanged(const QString& what)
{
    CancelButton1Click();
    StatusBar->setText(RunEndedText(what, measured_.Valid));
    DisplayData();
}

// ---- display ------------------------------------------------------------------------------

void TSpektForm::ShowTitle()
{
    // The plot says what it shows: a preview is never taken for a curve.
    Image1->Title.Visible = true;
    Image1->Title.Text = shown_.Preview ? "Preview " + Section() + ": not measured"
                                        : "Measured " + measured_.Settings.Kind +
                                              (measuring_ ? QString(", run in progress") : QString());
    Image1->update();
}

void TSpektForm::DisplayDataClick(int tag)
{
    if (UserIni)
        UserIni->WriteInteger(Section(), "ViewY0", tag);
    DisplayData();
}

const TSpektData& TSpektForm::ShownData(TSpektSender sender, int& points, std::array<TIOScale, 8>& scales) const
{
    if (sender != TSpektSender::Preview && measured_.Valid) {
        points = measured_.Points;
        scales = measured_.Scales;
        return SpektData;
    }
    points = Points();
    for (size_t c = 0; c < scales.size(); ++c)
        scales[c] = ColumnScales[c] ? *ColumnScales[c] : TIOScale();
    return *preview_;
}

void TSpektForm::DisplayData(TSpektSender sender)
{
    const QString section = Section();
    const int width = std::max(1, UserIni ? int(Round(UserIni->ReadFloat(section, "LineWidth", 1.0))) : 1);
    const int w = sender == TSpektSender::Self ? 2 * width : width;
    const int xColumn = std::clamp(UserIni ? UserIni->ReadInteger(section, "ViewX", 0) : 0, 0, 7);
    const int yColumn = std::clamp(UserIni ? UserIni->ReadInteger(section, "ViewY0", 0) : 0, 0, 7);
    const bool vectors = UserIni && UserIni->ReadBool(section, "Vectors", false);
    const bool showLead =
        sender == TSpektSender::Preview || !UserIni || UserIni->ReadBool(section, "ShowLeadInOut", true);
    int points = 0;
    std::array<TIOScale, 8> scales;
    const TSpektData& data = ShownData(sender, points, scales);
    const TSpektPlot plot = MapSpektPlot(data, points, xColumn, yColumn, showLead);
    shown_.Preview = &data == preview_.get();
    shown_.Plot = plot;
    shown_.X = xColumn;
    shown_.Y = yColumn;
    ShowTitle();

    if (sender != TSpektSender::Self) {
        Image1->SeriesList.clear();
        series_.clear();
        // The fit line went with the old drawing: so does the fit.
        fit_ = TSpektFit{};
        fitLine_.reset();
        fitEnds_.reset();
        if (Label21 != nullptr)
            Label21->clear();
    }
    // One series per run of equal colour; a line segment takes its end point's colour.
    const auto& xs = data.Col[xColumn];
    const auto& ys = data.Col[yColumn];
    TChartSeries* current = nullptr;
    uint32_t currentColor = 0;
    for (int i = plot.First; i <= plot.Last; ++i) {
        if (current == nullptr || data.Color[i] != currentColor) {
            series_.push_back(std::make_unique<TChartSeries>());
            current = series_.back().get();
            currentColor = data.Color[i];
            current->Color = FromWindowsRgb(currentColor);
            current->Width = w;
            current->Style = vectors ? ssLine : ssPoint;
            if (!vectors)
                current->Width = std::max(1, w / 2);
            if (vectors && i > plot.First)
                current->AddXY(xs[i - 1], ys[i - 1]);
            Image1->AddSeries(current);
        }
        current->AddXY(xs[i], ys[i]);
    }
    // A constant column puts every point on the left or top edge.
    Image1->XAxis.AutoScale = false;
    Image1->YAxis.AutoScale = false;
    Image1->XAxis.Min = plot.XMin;
    Image1->XAxis.Max = plot.XScale != 0.0 ? plot.XMax : plot.XMin + 1.0;
    Image1->YAxis.Max = plot.YMax;
    Image1->YAxis.Min = plot.YScale != 0.0 ? plot.YMin : plot.YMax - 1.0;
    Image1->XAxis.Text = AxisText(scales[xColumn]);
    Image1->YAxis.Text = AxisText(scales[yColumn]);
    Image1->XAxis.SIPrefix = !UnitHasPrefix(scales[xColumn].UnitName);
    Image1->YAxis.SIPrefix = !UnitHasPrefix(scales[yColumn].UnitName);
    Image1->update();
    for (int c = 0; c < 4; ++c)
        PlotButtons[c]->setChecked(c + 3 == yColumn);
}

} // namespace qvt
