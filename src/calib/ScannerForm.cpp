#include "calib/ScannerForm.h"

#include "core/IniFile.h"
#include "core/NumberText.h"
#include "core/SharedState.h"
#include "device/ChannelTable.h"
#include "device/InOutForm.h"
#include "platform/CheckedWrite.h"
#include "platform/FileDialogs.h"
#include "platform/MessageBoxes.h"
#include "platform/SerialPort.h"
#include "scan/DeviceWorkers.h"
#include "scan/GoXYThread.h"
#include "scan/ScanGeometry.h"
#include "widgets/NumericEdit.h"
#include "widgets/SimpleChart.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace qvt {

TScannerForm* ScannerForm = nullptr;

namespace {

const char* const WinSection = "ScannerWin";
constexpr double DigitsFullScale = 2.14e9;
constexpr int ShownTickMs = 100;
constexpr int HiddenTickMs = 1000;
// A supply line closed because it took nothing is tried again after this long.
constexpr int64_t PowerLineRetryMs = 10000;
constexpr double DragMax = 10.0;
const char* const CheckResponseCaption = "Check Frequency Response";
const char* const PleaseWaitCaption = "Please Wait!";

// The window's own clock for the supply link's resend.
int64_t NowMs()
{
    static QElapsedTimer clock;
    if (!clock.isValid())
        clock.start();
    return clock.elapsed();
}

void Paint(QWidget* w, const QString& color)
{
    w->setStyleSheet(color.isEmpty() ? QString() : QString("background-color: %1;").arg(color));
}

// Table column of grid column `c` of a coefficient grid.
int CoefficientColumn(bool xAxis, int c)
{
    return (xAxis ? ColX2F : ColY2F) + c - 1;
}

} // namespace

TScannerForm::TScannerForm(TDeviceWorkers* workers, QWidget* parent) : QMainWindow(parent), workers_(workers)
{
    setObjectName("ScannerForm");
    setWindowTitle("Scanner");
    ScannerForm = this;
    BuildUi();
    timer_ = new QTimer(this);
    connect(timer_, &QTimer::timeout, this, &TScannerForm::TimerTick);
    if (workers_)
        connect(&workers_->GoXYThread(), &TGoXYThread::linearisationHoldsChanged, this, &TScannerForm::ShowLinStatus);
}

TScannerForm::~TScannerForm()
{
    if (ScannerForm == this)
        ScannerForm = nullptr;
}

bool TScannerForm::Type29() const
{
    return InOutForm != nullptr && InOutForm->Caps.Type29();
}

// ---- building ---------------------------------------------------------------------------

void TScannerForm::BuildUi()
{
    tabs_ = new QTabWidget(this);
    tabs_->setObjectName("PageControl1");
    tabs_->addTab(BuildRangePage(), "Scan Range");
    tabs_->addTab(BuildLinPage(true), "Linearisation X");
    tabs_->addTab(BuildLinPage(false), "Linearisation Y");
    tabs_->addTab(BuildHardLinPage(), "HardLin");
    tabs_->addTab(BuildZPage(), "Z");
    freqPage_ = BuildFreqPage();
    tabs_->addTab(freqPage_, "Frequency Response");
    tabs_->addTab(BuildPowerPage(), "PowerOff");
    setCentralWidget(tabs_);
    statusLabel_ = new QLabel(this);
    statusBar()->addWidget(statusLabel_, 1);
    BuildMenus();
    resize(760, 560);
}

void TScannerForm::BuildMenus()
{
    QMenu* file = menuBar()->addMenu("&File");
    file->addAction("&New", this, &TScannerForm::FileNew);
    file->addAction("&Open", this, [this] {
        const QString dir =
            MainIni ? MainIni->ReadString("Scanner", "Path", QFileInfo(scannerIni_->FileName()).path()) : QString();
        const QString path = GetOpenFileName(this, "Open", dir, "Softlin-File (*.ini)");
        if (!path.isEmpty())
            OpenFile(path);
    });
    file->addAction("&Save", this, [this] {
        if (ShowMessage(MsgKind::Confirmation, "Do you want to override existing file?", MsgButtons::YesNo) ==
            MsgResult::Yes)
            SaveRangeTables();
    });
    file->addAction("Save &As", this, [this] {
        QString path = GetSaveFileName(this, "Save As", QString(), "SoftLin-File (*.ini)");
        if (path.isEmpty())
            return;
        // A settings file is found by its extension.
        if (QFileInfo(path).suffix().isEmpty())
            path += ".ini";
        if (!SaveAs(path))
            ShowMessage(MsgKind::Warning, "File not saved!");
    });
    QMenu* ranges = menuBar()->addMenu("&Ranges");
    ranges->addAction("&Add", this, &TScannerForm::AddRange);
    ranges->addAction("&Delete", this, [this] { DeleteRange(grid1_->currentRow()); });
    ranges->addAction("&Sort", this, &TScannerForm::SaveRangeTables);
}

QWidget* TScannerForm::BuildRangePage()
{
    auto* page = new QWidget;
    auto* layout = new QHBoxLayout(page);
    grid1_ = new QTableWidget(ScannerRowCount, 3, page);
    grid1_->setObjectName("StringGrid1");
    layout->addWidget(grid1_, 1);
    rangeChart_ = new TSimpleChart(page);
    rangeChart_->setObjectName("SensitivityChart");
    for (const char* title : {"X", "Y"}) {
        auto* s = NewSeries();
        s->Title.Text = title;
        s->Color = rangeChart_->SeriesList.isEmpty() ? Qt::red : Qt::blue;
        s->Style = ssLine;
        rangeChart_->AddSeries(s);
    }
    rangeChart_->installEventFilter(this);
    auto* right = new QVBoxLayout;
    right->addWidget(rangeChart_, 1);
    auto* axes = new QHBoxLayout;
    xAxisChoice_ = new QComboBox(page);
    xAxisChoice_->setObjectName("XAxisChoice");
    xAxisChoice_->addItems({"Range", "Volt"});
    yAxisChoice_ = new QComboBox(page);
    yAxisChoice_->setObjectName("YAxisChoice");
    yAxisChoice_->addItems({"/V", "/digit"});
    axes->addWidget(new QLabel("X-Axis", page));
    axes->addWidget(xAxisChoice_);
    axes->addWidget(new QLabel("Y-Axis", page));
    axes->addWidget(yAxisChoice_);
    axes->addStretch();
    right->addLayout(axes);
    layout->addLayout(right, 1);
    for (QComboBox* box : {xAxisChoice_, yAxisChoice_})
        connect(box, &QComboBox::activated, this, [this, box](int index) {
            if (MainIni)
                MainIni->WriteInteger(WinSection, box == xAxisChoice_ ? "XAxis" : "YAxis", index);
            RedrawCharts();
        });
    connect(grid1_, &QTableWidget::cellChanged, this, [this](int r, int c) { GridEdited(grid1_, r, c); });
    return page;
}

QWidget* TScannerForm::BuildLinPage(bool xAxis)
{
    auto* page = new QWidget;
    auto* layout = new QHBoxLayout(page);
    auto* grid = new QTableWidget(ScannerRowCount, 5, page);
    grid->setObjectName(xAxis ? "StringGrid2" : "StringGrid3");
    const QString a = xAxis ? "X" : "Y";
    grid->setHorizontalHeaderLabels({"Range", a + "2Fwd", a + "2Bwd", a + "3Fwd", a + "3Bwd"});
    layout->addWidget(grid, 1);
    auto* chart = new TSimpleChart(page);
    const std::array<QColor, 4> colors = {Qt::red, Qt::darkRed, Qt::blue, Qt::darkBlue};
    for (int c = 1; c <= 4; ++c) {
        auto* s = NewSeries();
        s->Title.Text = grid->horizontalHeaderItem(c)->text();
        s->Color = colors[static_cast<size_t>(c - 1)];
        chart->AddSeries(s);
    }
    chart->XAxis.Text = "Range";
    chart->YAxis.Text = a + " coefficients";
    layout->addWidget(chart, 1);
    (xAxis ? grid2_ : grid3_) = grid;
    (xAxis ? linChartX_ : linChartY_) = chart;
    connect(grid, &QTableWidget::cellChanged, this, [this, grid](int r, int c) { GridEdited(grid, r, c); });
    return page;
}

QWidget* TScannerForm::BuildHardLinPage()
{
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    useHardLin_ = new QCheckBox("use HardLin", page);
    offlineCorrection_ = new QCheckBox("Offline Correction", page);
    kiEdit_ = new TNumericEdit("KiEdit", page);
    kiEdit_->OnValue = [this](double v) {
        if (MainIni)
            MainIni->WriteString("HardLin", "KiPoly", kiEdit_->text());
        if (useHardLin_->isChecked() && workers_)
            workers_->GoXYThread().KiPoly = v;
        return true;
    };
    auto* row = new QHBoxLayout;
    row->addWidget(useHardLin_);
    row->addWidget(offlineCorrection_);
    row->addWidget(new QLabel("Ki", page));
    row->addWidget(kiEdit_);
    row->addStretch();
    layout->addLayout(row);

    // Tags 1..8: LinXFwd2, LinYFwd2, LinXFwd3, LinYFwd3, LinXBwd2, LinYBwd2,
    // LinXBwd3, LinYBwd3; an edit writes its coefficient to the scan thread.
    auto* coefficients = new QGridLayout;
    for (int tag = 1; tag <= 8; ++tag) {
        const int i = tag - 1;
        const bool x = i % 2 == 0;
        const QString name = QString("Lin%1%2%3").arg(x ? "X" : "Y", i < 4 ? "Fwd" : "Bwd").arg(i % 4 < 2 ? 2 : 3);
        auto* e = new TNumericEdit(name + "Edit", page);
        e->setProperty("Tag", tag);
        e->Rules.Min = -1.0;
        e->Rules.Max = 1.0;
        e->OnValue = [this, e, i](double v) {
            TLinCoefficients k = CurrentLinearisation();
            std::array<double*, 8> fields = {&k.X2F, &k.Y2F, &k.X3F, &k.Y3F, &k.X2B, &k.Y2B, &k.X3B, &k.Y3B};
            *fields[static_cast<size_t>(i)] = v;
            ApplyLinearisation(k);
            ShowLinStatus();
            // The refresh spares the edit the operator is in; the value it keeps (limited to -1..1) is shown all the
            // same.
            e->setText(QString::number(v, 'g', QLocale::FloatingPointShortest));
            return true;
        };
        linEdits_[i] = e;
        // X beside Y, one row per order and direction.
        coefficients->addWidget(new QLabel(name, page), i / 2, x ? 0 : 2);
        coefficients->addWidget(e, i / 2, x ? 1 : 3);
    }
    layout->addLayout(coefficients);
    for (QLabel*& l : linLabels_) {
        l = new QLabel(page);
        l->setTextInteractionFlags(Qt::TextSelectableByMouse);
        layout->addWidget(l);
    }
    linLabels_[1]->setObjectName("BXLabel");
    linLabels_[2]->setObjectName("CXLabel");
    auto* copy = new QHBoxLayout;
    for (bool x : {true, false}) {
        auto* b = new QPushButton(x ? "Copy X" : "Copy Y", page);
        b->setObjectName(x ? "CopyXButton" : "CopyYButton");
        connect(b, &QPushButton::clicked, this, [this, x] {
            const QString line = CoefficientLine(x);
            memo_->appendPlainText(line);
            QApplication::clipboard()->setText(line);
        });
        copy->addWidget(b);
    }
    // Teaching writes the thread's coefficients into the row of the current range.
    teachButton_ = new QWidget(page);
    teachButton_->setObjectName("TeachButton");
    auto* teach = new QHBoxLayout(teachButton_);
    teach->setContentsMargins(0, 0, 0, 0);
    for (bool x : {true, false}) {
        auto* b = new QPushButton(x ? "Teach X" : "Teach Y", teachButton_);
        b->setObjectName(x ? "TeachXButton" : "TeachYButton");
        connect(b, &QPushButton::clicked, this, [this, x] { Teach(x); });
        teach->addWidget(b);
    }
    teachButton_->hide();
    copy->addWidget(teachButton_);
    copy->addStretch();
    layout->addLayout(copy);
    memo_ = new QPlainTextEdit(page);
    memo_->setObjectName("Memo1");
    layout->addWidget(memo_, 1);
    connect(useHardLin_, &QCheckBox::clicked, this, &TScannerForm::SetHardLin);
    connect(offlineCorrection_, &QCheckBox::clicked, this, [this](bool checked) {
        if (MainIni)
            MainIni->WriteBool("HardLin", "FitPoly", !checked);
        kiEdit_->setEnabled(!checked);
        for (TNumericEdit* e : linEdits_)
            e->setEnabled(checked);
        if (checked) {
            kiEdit_->setText("0");
            if (workers_)
                workers_->GoXYThread().KiPoly = 0.0;
        } else if (MainIni) {
            kiEdit_->Apply(MainIni->ReadString("HardLin", "KiPoly", "0"));
        }
    });
    return page;
}

QString TScannerForm::CoefficientLine(bool xAxis) const
{
    const TLinCoefficients k = CurrentLinearisation();
    const TFitResults fit = workers_ ? workers_->GoXYThread().FitResults() : TFitResults{};
    const std::array<float, 4>& abcd = xAxis ? fit.X : fit.Y;
    // The line map is v + Lin^2 v^2 + Lin^3 v^3: its linear term is 1.
    const std::array<double, 9> values = {abcd[0],
                                          abcd[1],
                                          abcd[2],
                                          abcd[3],
                                          1.0,
                                          xAxis ? k.X2F : k.Y2F,
                                          xAxis ? k.X3F : k.Y3F,
                                          xAxis ? k.X2B : k.Y2B,
                                          xAxis ? k.X3B : k.Y3B};
    QStringList parts;
    for (double v : values)
        parts << FloatToText(v);
    return parts.join('\t');
}

void TScannerForm::ShowHardLinEdits()
{
    const TLinCoefficients k = CurrentLinearisation();
    const std::array<double, 8> values = {k.X2F, k.Y2F, k.X3F, k.Y3F, k.X2B, k.Y2B, k.X3B, k.Y3B};
    for (size_t i = 0; i < 8; ++i)
        // The operator's typing is not overwritten under his hands.
        if (!linEdits_[i]->hasFocus())
            linEdits_[i]->setText(QString::number(values[i], 'g', 5));
}

void TScannerForm::ShowHardLinCoeff()
{
    if (!hardLinActive_ || offlineCorrection_->isChecked())
        return;
    ShowLinStatus();
}

void TScannerForm::ShowTeachButton(bool visible)
{
    teachButton_->setVisible(visible);
}

int TScannerForm::ZSensorSlot() const
{
    return hardLinActive_ && hardLinInZ_ != 0 ? SlotOfChannelIndex(hardLinInZ_) : -1;
}

QWidget* TScannerForm::BuildZPage()
{
    auto* page = new QWidget;
    auto* layout = new QGridLayout(page);
    zLabel_ = new QLabel(page);
    layout->addWidget(zLabel_, 0, 0, 1, 2);
    auto gainEdit = [this, page, layout](const char* name, const QString& caption, int row, auto store) {
        auto* e = new TNumericEdit(name, page);
        e->Rules.Min = 0.0;
        e->OnValue = [this, e, store](double v) {
            store(v);
            ApplyZScale();
            e->setText(FloatToText(v)); // a negative gain is kept as 0
            return true;
        };
        auto* label = new QLabel(caption, page);
        e->setMaximumWidth(140);
        layout->addWidget(label, row, 0);
        layout->addWidget(e, row, 1);
        // The fast Z rows come and go with their edit.
        fastZLabels_.push_back(label);
        return e;
    };
    zGainEdit_ = gainEdit("ZGainEdit", "ZGain", 1, [this](double v) {
        if (scannerIni_)
            scannerIni_->WriteFloat("Gains", "ZGain", v);
    });
    zFastGainEdit_ = gainEdit("ZFastGainEdit", "ZFastGain", 2, [this](double v) {
        if (scannerIni_)
            scannerIni_->WriteFloat("Gains", "ZFastGain", v);
    });
    gainzFastEdit_ = gainEdit("GainzFastEdit", "GainzFast", 3, [](double v) {
        if (MainIni)
            MainIni->WriteFloat("TestMic", "GainzFast", v);
    });
    // A Z gain that leaves no Z factor (0, or too small for one) would make every
    // Z conversion a division by zero: refused, the gain in force kept.
    const auto storeZGain = zGainEdit_->OnValue;
    zGainEdit_->OnValue = [this, storeZGain](double v) { return ZFactorUsable(ZScale(v).ZFactor) && storeZGain(v); };
    dualZ_ = new QCheckBox("enable Dual Z", page);
    layout->addWidget(dualZ_, 4, 0, 1, 2);
    layout->setRowStretch(5, 1);
    layout->setColumnStretch(2, 1);
    connect(dualZ_, &QCheckBox::clicked, this, [this](bool checked) {
        monoFastz_ = !checked;
        if (scannerIni_)
            scannerIni_->WriteBool("Hardware", "MonoFastz", monoFastz_);
        ShowZGains();
        // The high-speed module takes the mode with the next request (the
        // device window asks MonoFastz for the bit).
        OsziRequest.HighSpeedControl |= HscApplyRequest;
        if (InOutForm)
            InOutForm->OsziTimerTimer();
    });
    return page;
}

QWidget* TScannerForm::BuildFreqPage()
{
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    for (int axis = 0; axis < 2; ++axis) {
        auto* row = new QHBoxLayout;
        responseLabel_[axis] = new QLabel(page);
        responseLabel_[axis]->setObjectName(axis == 0 ? "XFileLabel" : "YFileLabel");
        auto* choose = new QPushButton("...", page);
        auto* check = new QPushButton(CheckResponseCaption, page);
        check->setObjectName(axis == 0 ? "CheckXButton" : "CheckYButton");
        checkButton_[axis] = check;
        connect(check, &QPushButton::clicked, this, [this, axis] { CheckFrequencyResponse(axis); });
        recalcButton_[axis] = new QPushButton("Recalculate", page);
        // Which curves of the axis the chart shows; the file is read again with the choice.
        const char* suffix = axis == 0 ? "X" : "Y";
        showAmplitude_[axis] = new QCheckBox("Amplitude", page);
        showAmplitude_[axis]->setObjectName(QString("Amplitude%1Check").arg(suffix));
        showMinMax_[axis] = new QCheckBox("MinMax", page);
        showMinMax_[axis]->setObjectName(QString("MinMax%1Check").arg(suffix));
        for (QCheckBox* box : {showAmplitude_[axis], showMinMax_[axis]}) {
            const QString key = QString(box == showAmplitude_[axis] ? "Show%1" : "ShowMinMax%1").arg(suffix);
            connect(box, &QCheckBox::clicked, this, [this, axis, key](bool on) {
                if (MainIni)
                    MainIni->WriteBool(WinSection, key, on);
                ReadFreqResponse(axis, false);
            });
        }
        row->addWidget(new QLabel(axis == 0 ? "X:" : "Y:", page));
        row->addWidget(responseLabel_[axis], 1);
        row->addWidget(showAmplitude_[axis]);
        row->addWidget(showMinMax_[axis]);
        row->addWidget(choose);
        row->addWidget(check);
        row->addWidget(recalcButton_[axis]);
        layout->addLayout(row);
        connect(recalcButton_[axis], &QPushButton::clicked, this, [this, axis] { Recalculate(axis); });
        connect(choose, &QPushButton::clicked, this, [this, axis] {
            const QString path = GetOpenFileName(this, "Open", filterFolder_, "Text File (*.txt)");
            if (path.isEmpty() || !scannerIni_)
                return;
            scannerIni_->WriteString("FreqResp", axis == 0 ? "XPath" : "YPath", "\"" + path + "\"");
            ReadFreqResponse(axis, true);
            ReadFreqResponse(1 - axis, false);
        });
    }
    freqChart_ = new TSimpleChart(page);
    freqChart_->setObjectName("FreqChart");
    freqChart_->XAxis.LinLog = atLog;
    for (const char* title : {"Amplitude X", "Amplitude Y", "MinMax X", "MinMax Y"}) {
        auto* s = NewSeries();
        s->Title.Text = title;
        s->Color = QString(title).endsWith('X') ? Qt::red : Qt::blue;
        freqChart_->AddSeries(s);
    }
    layout->addWidget(freqChart_, 1);

    auto* group = new QGroupBox(page);
    auto* g = new QGridLayout(group);
    filterGroup_ = new QLabel(group);
    filterGroup_->setObjectName("FilterGroup");
    g->addWidget(filterGroup_, 0, 0, 1, 6);
    const std::array<const char*, 4> names = {"X", "X2", "Y", "Y2"};
    for (int k = 0; k < 4; ++k) {
        filterChoice_[k] = new QRadioButton(names[static_cast<size_t>(k)], group);
        g->addWidget(filterChoice_[k], 1, k);
        connect(filterChoice_[k], &QRadioButton::clicked, this, [this, k] {
            if (MainIni)
                MainIni->WriteInteger(WinSection, "FreqRepDirection", k + 1);
            ShowFilterFormula();
        });
    }
    auto* load = new QPushButton("Load", group);
    auto* off = new QPushButton("Off", group);
    g->addWidget(load, 1, 4);
    g->addWidget(off, 1, 5);
    formulaNum_ = new QLabel(group);
    formulaDen_ = new QLabel(group);
    g->addWidget(new QLabel("hz =", group), 2, 0, 2, 1);
    g->addWidget(formulaNum_, 2, 1, 1, 5, Qt::AlignCenter);
    g->addWidget(formulaDen_, 3, 1, 1, 5, Qt::AlignCenter);
    formulaNum_->setStyleSheet("border-bottom: 1px solid black;");
    layout->addWidget(group);
    auto chosen = [this] {
        for (int k = 0; k < 4; ++k)
            if (filterChoice_[k]->isChecked())
                return k;
        return 0;
    };
    connect(off, &QPushButton::clicked, this, [this, chosen] {
        const int k = chosen();
        ResetFilter(filters_, k);
        if (scannerIni_)
            SaveFilterAxis(*scannerIni_, filters_, k / 2);
        LoadFilterCoeffs();
    });
    connect(load, &QPushButton::clicked, this, [this, chosen] {
        const QString dir = MainIni ? MainIni->ReadString("SmartFeedback", "LoadNotchCoeffPath", ".") : ".";
        const QString path = GetOpenFileName(this, "Open", dir, "filter coeff. (*.txt);;all files (*.*)");
        if (path.isEmpty() || !scannerIni_)
            return;
        if (MainIni)
            MainIni->WriteString("SmartFeedback", "LoadNotchCoeffPath", QFileInfo(path).path());
        QFile f(path);
        const auto values =
            f.open(QIODevice::ReadOnly) ? ParseFilterFile(QString::fromUtf8(f.readAll())) : std::nullopt;
        if (!values) {
            ShowMessage(MsgKind::Error, "\"" + path + "\" holds no five filter coefficients.");
            return;
        }
        const std::array<const char*, 5> keys = {"a0", "a1", "a2", "b0", "b1"};
        for (size_t i = 0; i < 5; ++i)
            scannerIni_->WriteFloat(FilterSection(chosen()), keys[i], (*values)[i]);
        LoadFilterCoeffs();
    });

    sciLabRow_ = new QWidget(page);
    auto* row = new QHBoxLayout(sciLabRow_);
    row->setContentsMargins(0, 0, 0, 0);
    sciLabEdit_ = new QLineEdit(sciLabRow_);
    sciLabEdit_->setObjectName("SciLabEdit");
    sciLabEdit_->setPlaceholderText("numerics program");
    auto* browse = new QPushButton("...", sciLabRow_);
    browse->setObjectName("SciLabButton");
    row->addWidget(new QLabel("Fit program:", sciLabRow_));
    row->addWidget(sciLabEdit_, 1);
    row->addWidget(browse);
    layout->addWidget(sciLabRow_);
    connect(browse, &QPushButton::clicked, this, [this] {
        // The fit program is WScilex.exe where it comes from; a Linux installation names it otherwise.
        const QString path = GetOpenFileName(this, "Open", QString(), "WScilex.exe (WScilex.exe);;all files (*)");
        if (path.isEmpty())
            return;
        sciLabEdit_->setText(path);
        Paint(sciLabEdit_, QString());
        if (MainIni)
            MainIni->WriteString("Tools", "SciLab", "\"" + path + "\"");
    });
    connect(sciLabEdit_, &QLineEdit::returnPressed, this, [this] {
        const QString path = sciLabEdit_->text().trimmed();
        if (!QFileInfo(path).isExecutable()) {
            Paint(sciLabEdit_, "red");
            return;
        }
        Paint(sciLabEdit_, QString());
        if (MainIni)
            MainIni->WriteString("Tools", "SciLab", "\"" + path + "\"");
    });
    return page;
}

QWidget* TScannerForm::BuildPowerPage()
{
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    auto* row = new QHBoxLayout;
    for (QLabel*& v : voltage_) {
        v = new QLabel(page);
        v->setMinimumWidth(120);
        row->addWidget(v);
    }
    layout->addLayout(row);
    powerMessage_ = new QLabel(page);
    layout->addWidget(powerMessage_);
    powerActive_ = new QRadioButton("Active", page);
    powerOff_ = new QRadioButton("Off", page);
    layout->addWidget(powerActive_);
    layout->addWidget(powerOff_);
    layout->addStretch();
    // A choice of the operator opens a line closed after a stall at once.
    const auto command = [this](void (TPowerSupplyLink::*send)()) {
        powerRetryAtMs_ = 0;
        if (!PowerPortOpen() && powerFkt_ == 1)
            PollPowerSupply();
        if (powerLink_ && PowerPortOpen()) {
            (powerLink_.get()->*send)();
            DropLostPowerLine();
        }
    };
    connect(powerActive_, &QRadioButton::clicked, this, [command] { command(&TPowerSupplyLink::Activate); });
    connect(powerOff_, &QRadioButton::clicked, this, [command] { command(&TPowerSupplyLink::SwitchOff); });
    return page;
}

// ---- life ---------------------------------------------------------------------------------

void TScannerForm::FormCreate()
{
    range_ = ScanParams.Range.load();
    if (MainIni) {
        move(MainIni->ReadFormPosLeft(WinSection, 10), MainIni->ReadInteger(WinSection, "FormPosTop", 10));
        tabs_->setCurrentIndex(MainIni->ReadInteger(WinSection, "TapNr", 0));
        maxRangeVolt_ = MainIni->ReadFloat(WinSection, "MaxRange", 10.0);
        powerFkt_ = MainIni->ReadInteger(WinSection, "PowerFkt", -1);
        filterRevision_ = MainIni->ReadInteger(WinSection, "FilterRevision", 1);
        const int choice = MainIni->ReadInteger(WinSection, "FreqRepDirection", 1);
        filterChoice_[choice >= 1 && choice <= 4 ? choice - 1 : 0]->setChecked(true);
        sciLabEdit_->setText(MainIni->ReadString("Tools", "SciLab", ""));
        // Once a fit program is configured the page has no need to ask for one.
        sciLabRow_->setVisible(sciLabEdit_->text().isEmpty());
        for (int axis = 0; axis < 2; ++axis) {
            const char* suffix = axis == 0 ? "X" : "Y";
            showAmplitude_[axis]->setChecked(MainIni->ReadBool(WinSection, QString("Show") + suffix, axis == 0));
            showMinMax_[axis]->setChecked(MainIni->ReadBool(WinSection, QString("ShowMinMax") + suffix, false));
        }
        xAxisChoice_->setCurrentIndex(std::clamp(MainIni->ReadInteger(WinSection, "XAxis", 0), 0, 1));
        yAxisChoice_->setCurrentIndex(std::clamp(MainIni->ReadInteger(WinSection, "YAxis", 1), 0, 1));
    } else {
        yAxisChoice_->setCurrentIndex(1);
    }
    if (filterFolder_.isEmpty())
        filterFolder_ = AppDir + "Filter/";
    tabs_->setTabVisible(tabs_->indexOf(freqPage_), Type29());
    LoadScannerFile();
    LoadRangeTables();
    dualZ_->setEnabled(Type29());
    dualZ_->setChecked(Type29() && !monoFastz_);
    ShowZGains();
    if (powerFkt_ == 1) {
        powerActive_->setChecked(true);
        PollPowerSupply();
        if (powerLink_)
            powerLink_->PreselectActive();
        timer_->start(HiddenTickMs);
    }
}

void TScannerForm::FormDestroy()
{
    timer_->stop();
    if (MainIni) {
        MainIni->WriteInteger(WinSection, "FormPosLeft", x());
        MainIni->WriteInteger(WinSection, "FormPosTop", y());
        MainIni->WriteInteger(WinSection, "TapNr", tabs_->currentIndex());
    }
    powerLink_.reset();
    powerPort_.reset();
    scannerIni_.reset();
}

void TScannerForm::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    timer_->start(ShownTickMs);
    RedrawCharts();
    ShowLinStatus();
}

void TScannerForm::hideEvent(QHideEvent* event)
{
    QMainWindow::hideEvent(event);
    // Hidden, the timer runs only for the supply link and a measurement or fit under way.
    if (powerFkt_ == 1 || waitingForScript_ || fit_.Waiting())
        timer_->start(HiddenTickMs);
    else
        timer_->stop();
}

void TScannerForm::TimerTick()
{
    if (powerFkt_ == 1)
        PollPowerSupply();
    ScriptTick();
    FitTick();
}

void TScannerForm::CheckFrequencyResponse(int axis)
{
    if (!Script.Run)
        return;
    if (Script.FastModeOn && !Script.FastModeOn()) {
        ShowMessage(MsgKind::Information, "Please switch Fast-Mode on.");
        return;
    }
    QPushButton* button = checkButton_[axis];
    if (button->text() == PleaseWaitCaption) {
        if (Script.Stop)
            Script.Stop();
        return;
    }
    const QString folder = AppDir + "scripts/";
    const QString name = axis == 0 ? "FindResonanceX.scr" : "FindResonanceY.scr";
    if (!QFileInfo(folder + name).isFile()) {
        button->setText("Script not found!");
        return;
    }
    fitAxisIsX_ = axis == 0;
    if (!Script.Run(folder, name) || !(Script.Running && Script.Running()))
        return;
    waitingForScript_ = true;
    newResponseFile_.clear();
    button->setText(PleaseWaitCaption);
    // Hidden, the window still looks once a second for the end of the run.
    if (!timer_->isActive())
        timer_->start(HiddenTickMs);
}

bool TScannerForm::ResponseWanted(TQVTIniFile*& scannerIni, bool& axisX) const
{
    if (!waitingForScript_ || !scannerIni_)
        return false;
    scannerIni = scannerIni_.get();
    axisX = fitAxisIsX_;
    return true;
}

void TScannerForm::ResponseWritten(const QString& fileName)
{
    newResponseFile_ = fileName;
}

void TScannerForm::ScriptTick()
{
    if (!waitingForScript_ || (Script.Running && Script.Running()))
        return;
    waitingForScript_ = false;
    const int axis = fitAxisIsX_ ? 0 : 1;
    checkButton_[axis]->setText(CheckResponseCaption);
    responseLabel_[axis]->setText(newResponseFile_);
    // A run that was stopped or failed left no file: the old one stays.
    if (!newResponseFile_.isEmpty() && scannerIni_)
        scannerIni_->WriteString("FreqResp", axis == 0 ? "XPath" : "YPath",
                                 "\"" + filterFolder_ + newResponseFile_ + "\"");
    ReadFreqResponse(axis, false);
    if (!isVisible() && powerFkt_ != 1)
        timer_->stop();
}

// ---- the scanner file -----------------------------------------------------------------------

void TScannerForm::LoadScannerFile()
{
    const QString name = MainIni ? MainIni->ReadString("Scanner", "Name", "SoftLin") : "SoftLin";
    bool create = false;
    // A pipe or a device there is no missing file to make: reading it tells what it is.
    const QString path = ChooseScannerFile(
        name, AppDir,
        [](const QString& f) {
            const QFileInfo info(f);
            return info.exists() && !info.isDir();
        },
        create);
    if (create)
        ShowMessage(MsgKind::Information, "Please select a Scanner File for your System!");
    scannerIni_ = std::make_unique<TQVTIniFile>(path);
    if (create)
        CreateScannerFile(*scannerIni_, ChannelTable[SlotX].Factor.load(), ChannelTable[SlotY].Factor.load());
    const bool on = MainIni && MainIni->ReadBool("Scanner", "HardLinOn", false);
    useHardLin_->setChecked(on);
    SetHardLin(on);
}

void TScannerForm::LoadRangeTables()
{
    if (!scannerIni_)
        return;
    table_.Load(*scannerIni_);
    softLinActive_ = table_.RangeCount() > 1;
    monoFastz_ = scannerIni_->ReadBool("Hardware", "MonoFastz", true);
    setWindowTitle("Scanner - " + QFileInfo(scannerIni_->FileName()).fileName());
    FillGrids();
    ApplyZScale();
    ShowZGains();
    RangeFollowsTable();
    LoadFilterCoeffs();
    for (int axis = 0; axis < 2; ++axis)
        ReadFreqResponse(axis, false);
    RedrawCharts();
}

void TScannerForm::FillGrids()
{
    fillingGrids_ = true;
    const QString xUnit = ChannelTable[SlotX].UnitName;
    const QString yUnit = ChannelTable[SlotY].UnitName;
    grid1_->setHorizontalHeaderLabels({"Range [" + xUnit + "]", "X [" + xUnit + "/digit]", "Y [" + yUnit + "/digit]"});
    for (int r = 0; r < ScannerRowCount; ++r) {
        for (int c = 0; c < 3; ++c)
            grid1_->setItem(r, c, new QTableWidgetItem(table_.Cell(r, c)));
        for (int c = 0; c < 5; ++c) {
            grid2_->setItem(r, c, new QTableWidgetItem(table_.Cell(r, c == 0 ? ColRange : CoefficientColumn(true, c))));
            grid3_->setItem(r, c,
                            new QTableWidgetItem(table_.Cell(r, c == 0 ? ColRange : CoefficientColumn(false, c))));
        }
    }
    fillingGrids_ = false;
    PaintInvalidCells();
}

void TScannerForm::PaintInvalidCells()
{
    fillingGrids_ = true;
    for (int r = 0; r < ScannerRowCount; ++r) {
        for (int c = 0; c < 3; ++c)
            if (QTableWidgetItem* item = grid1_->item(r, c))
                item->setBackground(table_.CellInvalid(r, c) ? QBrush(Qt::red) : QBrush());
        for (int c = 1; c < 5; ++c) {
            if (QTableWidgetItem* item = grid2_->item(r, c))
                item->setBackground(table_.CellInvalid(r, CoefficientColumn(true, c)) ? QBrush(Qt::red) : QBrush());
            if (QTableWidgetItem* item = grid3_->item(r, c))
                item->setBackground(table_.CellInvalid(r, CoefficientColumn(false, c)) ? QBrush(Qt::red) : QBrush());
        }
    }
    fillingGrids_ = false;
}

void TScannerForm::GridEdited(QTableWidget* grid, int row, int column)
{
    if (fillingGrids_)
        return;
    const QString text = grid->item(row, column)->text();
    int tableColumn = ColRange;
    if (grid == grid1_)
        tableColumn = column;
    else if (column > 0)
        tableColumn = CoefficientColumn(grid == grid2_, column);
    table_.SetCell(row, tableColumn, text);
    // Enter in a grid saves; a refused save leaves the red cells showing.
    if (SaveRangeTables())
        RangeFollowsTable();
}

bool TScannerForm::SaveRangeTables()
{
    if (!scannerIni_)
        return false;
    const bool sorted = table_.Sort();
    softLinActive_ = table_.RangeCount() > 1;
    FillGrids();
    // A file written with a bad cell would come back truncated.
    if (!sorted || table_.AnyInvalid()) {
        statusLabel_->setText("Not saved: a cell holds no valid number.");
        return false;
    }
    table_.Save(*scannerIni_);
    RedrawCharts();
    return true;
}

void TScannerForm::FileNew()
{
    table_.Clear();
    softLinActive_ = false;
    FillGrids();
    setWindowTitle("Scanner");
}

bool TScannerForm::OpenFile(const QString& path)
{
    if (!QFileInfo(path).isFile())
        return false;
    scannerIni_ = std::make_unique<TQVTIniFile>(path);
    if (MainIni) {
        MainIni->WriteString("Scanner", "Name", "\"" + path + "\"");
        MainIni->WriteString("Scanner", "Path", "\"" + QFileInfo(path).path() + "\"");
    }
    LoadRangeTables();
    return true;
}

bool TScannerForm::SaveAs(const QString& path)
{
    if (!scannerIni_ || !table_.Sort() || table_.AnyInvalid())
        return false;
    const QString from = scannerIni_->FileName();
    if (QFileInfo(path).absoluteFilePath() != QFileInfo(from).absoluteFilePath() && QFileInfo(from).isFile()) {
        // The copy takes the name only when whole: a file of that name stays
        // as it was when the copy cannot be made.
        QFile source(from);
        if (!source.open(QIODevice::ReadOnly))
            return false;
        const QByteArray bytes = source.readAll();
        if (source.error() != QFileDevice::NoError || !WriteFileWhole(path, bytes).isEmpty())
            return false;
    }
    if (MainIni)
        MainIni->WriteString("Scanner", "Name", "\"" + path + "\"");
    scannerIni_ = std::make_unique<TQVTIniFile>(path);
    scannerIni_->EraseSection(SoftLinSection);
    setWindowTitle("SoftLin - " + QFileInfo(path).fileName());
    return SaveRangeTables();
}

void TScannerForm::AddRange()
{
    if (table_.AddRange(ScanParams.Range.load(), ChannelTable[SlotX].Factor.load(), ChannelTable[SlotY].Factor.load(),
                        CurrentLinearisation()))
        SaveRangeTables();
}

void TScannerForm::DeleteRange(int row)
{
    if (row < 0 || row >= table_.RangeCount())
        return;
    table_.DeleteRow(row);
    SaveRangeTables();
}

void TScannerForm::Teach(bool xAxis)
{
    table_.Teach(ScanParams.Range.load(), CurrentLinearisation(), xAxis);
    SaveRangeTables();
}

// ---- range, sensitivities, linearisation -------------------------------------------------------------

void TScannerForm::SoftLinOff()
{
    softLinActive_ = false;
    ShowMessage(MsgKind::Confirmation, ScannerFileDefectText, MsgButtons::Ok);
}

bool TScannerForm::SetScanRange(double range)
{
    TIOScale& x = ChannelTable[SlotX];
    TIOScale& y = ChannelTable[SlotY];
    const double fx = x.Factor.load();
    const double fy = y.Factor.load();
    MaxScanRange.Range = std::min(fx, fy) * (static_cast<double>(x.MaxRaw.load()) - x.MinRaw.load());
    MaxScanRange.XSensitivity = fx;
    MaxScanRange.YSensitivity = fy;
    bool ok = true;
    if (softLinActive_) {
        TRangeResult r;
        InterpolateSensitivity(table_.Points(), range, r);
        if (!r.SoftLin) {
            // Too few ranges, or a row without a usable sensitivity.
            SoftLinOff();
            ok = false;
        } else {
            x.Factor = static_cast<float>(r.XFactor);
            y.Factor = static_cast<float>(r.YFactor);
            XSensitivity = r.XFactor;
            YSensitivity = r.YFactor;
            MaxScanRange.Range = r.MaxRange;
            MaxScanRange.XSensitivity = r.MaxX;
            MaxScanRange.YSensitivity = r.MaxY;
        }
    }
    range_ = range;
    InterpolateLinCoeffs();
    return ok;
}

void TScannerForm::RangeFollowsTable()
{
    // New sensitivities change the raw frame of the same range: the
    // parameter window judges it and plans the scan again.
    if (ReenterRange)
        ReenterRange();
    else
        SetScanRange(ScanParams.Range.load());
}

void TScannerForm::ProposeRangeFactors(double range, TScanSetup& setup) const
{
    if (!softLinActive_)
        return;
    TRangeResult r;
    InterpolateSensitivity(table_.Points(), range, r);
    // A table that cannot be used is said so when the range is stored.
    if (!r.SoftLin)
        return;
    setup.FactorX = r.XFactor;
    setup.FactorY = r.YFactor;
    setup.XSensitivity = r.XFactor;
    setup.YSensitivity = r.YFactor;
}

void TScannerForm::InterpolateLinCoeffs()
{
    ApplyLinearisation(qvt::InterpolateLinCoeffs(table_.Points(), range_));
    ShowLinStatus();
}

void TScannerForm::ApplyLinearisation(const TLinCoefficients& k)
{
    lin_ = k;
    if (workers_)
        workers_->GoXYThread().SetLinearisation(k);
}

bool TScannerForm::HardLinHolds() const
{
    return hardLinActive_ && LinearisationHolds(CurrentLinearisation());
}

TLinCoefficients TScannerForm::CurrentLinearisation() const
{
    return workers_ ? workers_->GoXYThread().Linearisation() : lin_;
}

void TScannerForm::SetHardLin(bool on)
{
    if (MainIni)
        MainIni->WriteBool("Scanner", "HardLinOn", on);
    const int inX = MainIni ? MainIni->ReadInteger("HardLin", "InX", 0) : 0;
    const int inY = MainIni ? MainIni->ReadInteger("HardLin", "InY", 0) : 0;
    // The z sensor counts only while HardLin is on.
    hardLinInZ_ = on && MainIni ? MainIni->ReadInteger("HardLin", "InZ", 0) : 0;
    hardLinActive_ = on && inX != 0 && inY != 0;
    const bool offline = on && MainIni && !MainIni->ReadBool("HardLin", "FitPoly", false);
    offlineCorrection_->setChecked(offline);
    offlineCorrection_->setEnabled(on);
    kiEdit_->setEnabled(on && !offline);
    // The coefficients are typed only while the scan does not fit them itself.
    for (TNumericEdit* e : linEdits_)
        e->setEnabled(offline);
    const double kiPoly = on && !offline && MainIni ? MainIni->ReadFloat("HardLin", "KiPoly", 0.0) : 0.0;
    kiEdit_->setText(FloatToText(kiPoly));
    if (workers_) {
        TGoXYThread& t = workers_->GoXYThread();
        t.TrackChannelX = inX;
        t.TrackChannelY = inY;
        t.KiPoly = kiPoly;
        t.KiGo = on && MainIni ? MainIni->ReadFloat("HardLin", "KiGo", 0.0) : 0.0;
        t.HardLinOn = hardLinActive_;
    }
    // Off as well: the table's coefficients apply again at once, not only
    // after the next range edit.
    InterpolateLinCoeffs();
}

void TScannerForm::ScalesReloaded()
{
    ApplyZScale();
    SetScanRange(ScanParams.Range.load());
}

QString TScannerForm::StatusLine(int k) const
{
    return statusLines_[k];
}

bool TScannerForm::LinLabels(QString& bx, QString& cx) const
{
    bx = statusLines_[1];
    cx = statusLines_[2];
    return true;
}

void TScannerForm::ShowLinStatus()
{
    const double r = range_;
    const QString range = "ScanRange = " + QString::number(r, 'f', 2);
    const TLinCoefficients k = CurrentLinearisation();
    auto c = [](double v) { return QString::number(v, 'f', 3); };
    statusLines_[0] = range + " -> X: " + QString::number(ChannelTable[SlotX].Factor.load()) +
                      " | Y: " + QString::number(ChannelTable[SlotY].Factor.load());
    statusLines_[1] = range + " -> LinXFwd2: " + c(k.X2F) + " | LinXBwd2: " + c(k.X2B) + " | LinXFwd3: " + c(k.X3F) +
                      " | LinXBwd3: " + c(k.X3B);
    statusLines_[2] = range + " -> LinYFwd2: " + c(k.Y2F) + " | LinYBwd2: " + c(k.Y2B) + " | LinYFwd3: " + c(k.Y3F) +
                      " | LinYBwd3: " + c(k.Y3B);
    for (int i = 0; i < 3; ++i)
        linLabels_[i]->setText(statusLines_[i]);
    ShowHardLinEdits();
    QString status;
    if (softLinActive_)
        status += "SoftLin active ";
    if (HardLinHolds())
        status += "HardLin active";
    statusLabel_->setText(status);
}

void TScannerForm::RedrawCharts()
{
    const std::vector<TCalibPoint> points = table_.Points();
    for (TChartSeries* s : rangeChart_->SeriesList)
        s->Clear();
    for (TSimpleChart* chart : {linChartX_, linChartY_})
        for (TChartSeries* s : chart->SeriesList)
            s->Clear();
    for (const TCalibPoint& p : points) {
        rangeChart_->SeriesList[0]->AddXY(AxisValue(p.Range, p.X), SensitivityValue(p.X));
        rangeChart_->SeriesList[1]->AddXY(AxisValue(p.Range, p.Y), SensitivityValue(p.Y));
        const std::array<double, 4> x = {p.Lin.X2F, p.Lin.X2B, p.Lin.X3F, p.Lin.X3B};
        const std::array<double, 4> y = {p.Lin.Y2F, p.Lin.Y2B, p.Lin.Y3F, p.Lin.Y3B};
        for (int i = 0; i < 4; ++i) {
            linChartX_->SeriesList[i]->AddXY(p.Range, x[static_cast<size_t>(i)]);
            linChartY_->SeriesList[i]->AddXY(p.Range, y[static_cast<size_t>(i)]);
        }
    }
    // Sensitivities are above 0 and often equal: from 0 with room above, so
    // a flat table does not sit on the frame and can be dragged up.
    double top = 0.0;
    for (const TCalibPoint& p : points)
        top = std::max({top, p.X, p.Y});
    const bool editable = ChartEditable();
    rangeChart_->YAxis.AutoScale = top <= 0.0 || !editable;
    rangeChart_->YAxis.Min = 0.0;
    rangeChart_->YAxis.Max = std::min(top * 1.25, DragMax);
    const QString unit = ChannelTable[SlotX].UnitName;
    rangeChart_->XAxis.Text = xAxisChoice_->currentIndex() == 1 ? QString("Range [V]") : "Range [" + unit + "]";
    if (yAxisChoice_->currentIndex() == 1)
        rangeChart_->YAxis.Text = unit + "/digit";
    else
        rangeChart_->YAxis.Text = (unit.startsWith(QChar(0xB5)) ? "n" + unit.mid(1) : unit) + "/V";
    rangeChart_->XAxis.SIPrefix = xAxisChoice_->currentIndex() == 1 || !UnitHasPrefix(unit);
    rangeChart_->YAxis.SIPrefix = !UnitHasPrefix(unit);
    rangeChart_->update();
    linChartX_->update();
    linChartY_->update();
}

TChartSeries* TScannerForm::NewSeries()
{
    series_.push_back(std::make_unique<TChartSeries>());
    return series_.back().get();
}

// ---- chart drag editing ---------------------------------------------------------------------------

bool TScannerForm::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == rangeChart_) {
        // Only mouse events are taken as such; the chart sees every other kind too.
        const auto mouse = [event] { return static_cast<QMouseEvent*>(event); };
        switch (event->type()) {
        case QEvent::MouseButtonPress:
            if (mouse()->button() == Qt::LeftButton)
                PickChartCell(mouse()->position().toPoint());
            break;
        case QEvent::MouseMove:
            if (dragRow_ >= 0)
                DragChartCell(mouse()->position().toPoint());
            break;
        case QEvent::MouseButtonRelease:
            if (dragRow_ >= 0) {
                dragRow_ = -1;
                SaveRangeTables();
                RangeFollowsTable();
            }
            break;
        default:
            break;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

bool TScannerForm::ChartEditable() const
{
    // Cells are picked and dragged only where the chart shows them as stored.
    return xAxisChoice_->currentIndex() == 0 && yAxisChoice_->currentIndex() == 1;
}

double TScannerForm::AxisValue(double range, double sensitivity) const
{
    if (xAxisChoice_->currentIndex() != 1)
        return range;
    return sensitivity > 0.0 ? range / sensitivity * maxRangeVolt_ / DigitsFullScale : 0.0;
}

double TScannerForm::SensitivityValue(double sensitivity) const
{
    if (yAxisChoice_->currentIndex() == 1)
        return sensitivity;
    const double perVolt = sensitivity / (maxRangeVolt_ / DigitsFullScale);
    return ChannelTable[SlotX].UnitName.startsWith(QChar(0xB5)) ? perVolt * 1000.0 : perVolt;
}

void TScannerForm::PickChartCell(const QPoint& pos)
{
    dragRow_ = -1;
    if (!ChartEditable())
        return;
    const double cx = rangeChart_->PixelToX(pos.x());
    const double cy = rangeChart_->PixelToY(pos.y());
    const std::vector<TCalibPoint> points = table_.Points();
    double best = 0.0;
    for (size_t n = 0; n < points.size(); ++n) {
        const double d = (points[n].Range - cx) * (points[n].Range - cx);
        if (dragRow_ < 0 || d < best) {
            best = d;
            dragRow_ = static_cast<int>(n);
        }
    }
    if (dragRow_ < 0)
        return;
    const TCalibPoint& p = points[static_cast<size_t>(dragRow_)];
    dragColumn_ = std::fabs(p.X - cy) <= std::fabs(p.Y - cy) ? ColX : ColY;
}

void TScannerForm::DragChartCell(const QPoint& pos)
{
    const double v = std::min(rangeChart_->PixelToY(pos.y()), DragMax);
    // A sensitivity of 0 or below is no sensitivity.
    if (!(v > 0.0))
        return;
    table_.SetCell(dragRow_, dragColumn_, GeneralText(v, 4));
    FillGrids();
    RedrawCharts();
}

// ---- Z ---------------------------------------------------------------------------------------------

bool TScannerForm::ZFactorUsable(double factor)
{
    // Judged as stored: a factor that is positive only in double precision is 0 as a float.
    const auto f = static_cast<float>(factor);
    return f > 0.0f && std::isfinite(f);
}

TZScale TScannerForm::ZScale(double zGain) const
{
    return ComputeZScale(MainIni ? MainIni->ReadFloat("TestMic", "DAScale0", 9.8e-9) : 9.8e-9,
                         MainIni ? MainIni->ReadFloat("TestMic", "Gain0", 7.0) : 7.0, zGain,
                         MainIni ? MainIni->ReadFloat("TestMic", "GainzFast", 1.0) : 1.0,
                         scannerIni_ ? scannerIni_->ReadFloat("Gains", "ZFastGain", 0.0) : 0.0);
}

void TScannerForm::ApplyZScale()
{
    if (!scannerIni_)
        return;
    const TZScale z = ZScale(scannerIni_->ReadFloat("Gains", "ZGain", 1.0));
    // A factor of 0 or below would turn every Z conversion into a division by zero.
    if (ZFactorUsable(z.ZFactor))
        ChannelTable[SlotZ].Factor = static_cast<float>(z.ZFactor);
    if (!Type29())
        return;
    int slow = -1;
    int fast = -1;
    for (int slot = FirstAdcSlot; slot < ChannelSlotCount; ++slot) {
        const int32_t address = ChannelTable[slot].Address.load();
        if (address == SlowZInputAddress)
            slow = slot;
        if (address == FastZInputAddress)
            fast = slot;
    }
    if (fast < 0) {
        ShowMessage(MsgKind::Information, "No fast ADC zChannel in SCale found!");
        return;
    }
    if (slow < 0) {
        ShowMessage(MsgKind::Information, "No slow ADC zChannel in SCale found!");
        return;
    }
    if (ZFactorUsable(z.ZFactor))
        ChannelTable[slow].Factor = static_cast<float>(z.ZFactor);
    if (ZFactorUsable(z.ZFastFactor))
        ChannelTable[fast].Factor = static_cast<float>(z.ZFastFactor);
}

void TScannerForm::ShowZGains()
{
    if (!scannerIni_)
        return;
    const TIOScale& z = ChannelTable[SlotZ];
    // Gain0 is shown as it is used, with the same default.
    const double gain0 = MainIni ? MainIni->ReadFloat("TestMic", "Gain0", 7.0) : 7.0;
    zLabel_->setText(z.Label + ": " + z.UnitName + "/V, Gain0 = " + FloatToText(gain0));
    zGainEdit_->setText(FloatToText(scannerIni_->ReadFloat("Gains", "ZGain", 1.0)));
    zFastGainEdit_->setText(FloatToText(scannerIni_->ReadFloat("Gains", "ZFastGain", 0.0)));
    gainzFastEdit_->setText(FloatToText(MainIni ? MainIni->ReadFloat("TestMic", "GainzFast", 1.0) : 1.0));
    // Rows 2 and 3 (ZFastGain, GainzFast) only with a separate fast Z path.
    const std::array<QWidget*, 4> fastRows = {zFastGainEdit_, gainzFastEdit_, fastZLabels_.at(1), fastZLabels_.at(2)};
    for (QWidget* w : fastRows)
        w->setVisible(!monoFastz_);
}

// ---- scan filters ------------------------------------------------------------------------------------

void TScannerForm::LoadFilterCoeffs()
{
    if (scannerIni_)
        filters_ = LoadFilterTable(*scannerIni_);
    ApplyScanFilter();
}

QString TScannerForm::FilterGroupCaption() const
{
    const int bad = FilterWithBadGain(filters_);
    return bad >= 0 ? BadGainText(bad) : QString("Scan-Filter Rev.%1 ").arg(filterRevision_);
}

void TScannerForm::ShowFilterFormula()
{
    int k = 0;
    for (int i = 0; i < 4; ++i)
        if (filterChoice_[i]->isChecked())
            k = i;
    const QStringList f = FilterFormula(filters_, k);
    formulaNum_->setText(f[0]);
    formulaDen_->setText(f[1]);
    filterGroup_->setText(FilterGroupCaption());
    Paint(filterGroup_, filterError_ ? "red" : FilterWithBadGain(filters_) >= 0 ? "yellow" : QString());
}

void TScannerForm::ApplyScanFilter()
{
    if (MainIni)
        filterRevision_ = MainIni->ReadInteger(WinSection, "FilterRevision", 1);
    filterError_ = false;
    if (Type29()) {
        const std::optional<TFilterRegisterImage> image = BuildFilterImage(filters_, filterRevision_);
        if (!image) {
            // Nothing is written: the module keeps the filter it runs.
            filterError_ = true;
            ShowMessage(MsgKind::Information, ScanFilterWrongText);
        } else if (InOutForm != nullptr) {
            const int32_t saved = OsziRequest.HighSpeedControl;
            if (saved & HscScanOn) {
                // The module stops scanning while the coefficients change.
                OsziRequest.HighSpeedControl = (saved & ~HscScanOn) | HscApplyRequest;
                InOutForm->OsziTimerTimer();
            }
            for (int i = 0; i < FilterSlotCount; ++i)
                InOutForm->WriteReg(image->Register[static_cast<size_t>(i)], image->Value[static_cast<size_t>(i)]);
            if (OsziRequest.HighSpeedControl != saved) {
                OsziRequest.HighSpeedControl = saved | HscApplyRequest;
                InOutForm->OsziTimerTimer();
            }
        }
    }
    ShowFilterFormula();
}

QString TScannerForm::ResponseLabel(int axis) const
{
    return responseLabel_[axis]->text();
}

bool TScannerForm::ReadFreqResponse(int axis, bool takeOver)
{
    QLabel* label = responseLabel_[axis];
    const QString path = scannerIni_ ? scannerIni_->ReadString("FreqResp", axis == 0 ? "XPath" : "YPath", "") : "";
    label->setText(QFileInfo(path).fileName());
    label->setToolTip(label->text());
    TChartSeries* amplitude = freqChart_->SeriesList[axis];
    TChartSeries* minMax = freqChart_->SeriesList[2 + axis];
    amplitude->Clear();
    minMax->Clear();
    const bool showAmplitude = showAmplitude_[axis]->isChecked();
    const bool showMinMax = showMinMax_[axis]->isChecked();
    amplitude->Visible = showAmplitude;
    minMax->Visible = showMinMax;
    auto fail = [&](const QString& message) {
        Paint(label, "red");
        label->setText(label->text() + "(" + message + ")");
        label->setToolTip(label->text());
        if (takeOver) {
            ResetFilter(filters_, axis * 2);
            ResetFilter(filters_, axis * 2 + 1);
            if (scannerIni_)
                SaveFilterAxis(*scannerIni_, filters_, axis);
            ApplyScanFilter();
        }
        freqChart_->update();
        return false;
    };
    if (path.isEmpty())
        return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return fail("File not found!");
    const TFrequencyResponse r = ParseFrequencyResponse(QString::fromUtf8(file.readAll()));
    if (!r.Error.isEmpty())
        return fail(r.Error);
    if (takeOver) {
        filters_[static_cast<size_t>(axis)] = r.Coefficients;
        if (scannerIni_)
            SaveFilterAxis(*scannerIni_, filters_, axis);
        ApplyScanFilter();
    } else if (r.Coefficients != filters_[static_cast<size_t>(axis)]) {
        // Measured with other filters: its curve would mislead.
        Paint(label, "yellow");
        label->setText(label->text() + "(not used)");
        label->setToolTip(label->text());
        freqChart_->update();
        return true;
    }
    for (const TResponsePoint& p : r.Points) {
        if (showAmplitude)
            amplitude->AddXY(p.Frequency, p.Amplitude);
        if (showMinMax)
            minMax->AddXY(p.Frequency, p.MinMax);
    }
    Paint(label, QString());
    freqChart_->update();
    return true;
}

bool TScannerForm::Recalculate(int axis)
{
    QLabel* label = responseLabel_[axis];
    const QString name =
        QFileInfo(scannerIni_ ? scannerIni_->ReadString("FreqResp", axis == 0 ? "XPath" : "YPath", "") : QString())
            .fileName();
    if (label->styleSheet().contains("red") || name.isEmpty() || !QFileInfo(filterFolder_ + name).isFile()) {
        Paint(label, "red");
        return false;
    }
    const QString program = MainIni ? MainIni->ReadString("Tools", "SciLab", "") : QString();
    if (program.isEmpty() || !fit_.Start(program, filterFolder_, name, axis == 0)) {
        // Said plainly: the fit needs a program this computer may not have.
        ShowMessage(
            MsgKind::Error,
            program.isEmpty()
                ? QString("Could not execute SciLab.\rNo numerics program is set ([Tools] SciLab).")
                : QString("Could not execute SciLab.\r\"%1\" is not installed or cannot be started.").arg(program));
        return false;
    }
    return true;
}

void TScannerForm::FitTick()
{
    QString text;
    const bool axisIsX = fit_.AxisIsX();
    const TFilterFit::Tick t = fit_.Poll(text);
    if (t == TFilterFit::Tick::NoResult) {
        ShowMessage(MsgKind::Warning, QString("The fit program ended without writing %1.").arg(FitResultName));
        return;
    }
    if (t != TFilterFit::Tick::Result)
        return;
    if (ShowMessage(MsgKind::Confirmation, "Take over Filter Coefficients?", MsgButtons::YesNo) != MsgResult::Yes)
        return;
    const int axis = axisIsX ? FilterAxisX : FilterAxisY;
    Paint(responseLabel_[axis], "yellow");
    const TFitOutcome fit = ParseFitResult(text);
    filters_[static_cast<size_t>(axis)] = fit.Coefficients;
    if (scannerIni_)
        SaveFilterAxis(*scannerIni_, filters_, axis);
    ApplyScanFilter();
    if (!fit.Ok)
        ShowMessage(MsgKind::Error, "Error in a_out.txt !\rSwitch filter off.");
    else
        ShowMessage(MsgKind::Information, "Please verify new filter coefficients.");
}

// ---- high-voltage supply ------------------------------------------------------------------------------

bool TScannerForm::PowerPortOpen() const
{
    return powerPort_ && powerPort_->IsOpen();
}

QString TScannerForm::PowerMessage() const
{
    return powerMessage_->text();
}

void TScannerForm::DropLostPowerLine()
{
    if (!powerLink_ || !powerLink_->LineLost() || !PowerPortOpen())
        return;
    // One wait was spent on it; the ticks do not spend another before the retry time.
    powerPort_->Close();
    const QString text = CommPortStallText(comNumber_);
    powerMessage_->setText(text);
    statusLabel_->setText(text);
    ShowNoPowerReadings();
    powerRetryAtMs_ = PowerNowMs() + PowerLineRetryMs;
}

void TScannerForm::PollPowerSupply()
{
    if (!PowerPortOpen()) {
        if (!MainIni || PowerNowMs() < powerRetryAtMs_)
            return;
        const TSerialSettings settings = ReadPowerSerialSettings(*MainIni, comNumber_);
        if (!powerPort_)
            powerPort_ = std::make_unique<TSerialPort>();
        if (!powerPort_->Open(settings)) {
            // A line that cannot run at the supply's speed would only give garbage: it says which.
            const int running = powerPort_->RunningBaud();
            const QString text =
                running > 0
                    ? QString("COM%1 runs at %2 baud, not at %3!").arg(comNumber_).arg(running).arg(settings.Baud)
                    : QString("Cannot open COM%1!").arg(comNumber_);
            powerMessage_->setText(text);
            statusLabel_->setText(text);
            ShowNoPowerReadings();
            return;
        }
        const bool active = powerLink_ ? powerLink_->ActiveChosen() : powerActive_->isChecked();
        powerLink_ = std::make_unique<TPowerSupplyLink>(*powerPort_);
        if (active)
            powerLink_->PreselectActive();
        statusLabel_->setText(QString("Com%1 is open.").arg(comNumber_));
        powerMessage_->clear();
        // Until the unit answers, nothing on the page is its reading.
        ShowNoPowerReadings();
        powerLink_->Opened(PowerNowMs());
        DropLostPowerLine();
        return;
    }
    const int64_t now = PowerNowMs();
    if (powerLink_->Poll(now))
        ShowPowerStatus();
    else if (powerLink_->Silent(now))
        ShowNoPowerReadings();
    DropLostPowerLine();
}

int64_t TScannerForm::PowerNowMs() const
{
    return PowerClock ? PowerClock() : NowMs();
}

void TScannerForm::ShowNoPowerReadings()
{
    if (!powerActive_->styleSheet().isEmpty())
        Paint(powerActive_, QString());
    for (QLabel* v : voltage_)
        v->clear();
}

void TScannerForm::ShowPowerStatus()
{
    powerMessage_->setText(powerLink_->Message());
    if (!powerLink_->ActiveChosen())
        powerOff_->setChecked(true);
    switch (powerLink_->Button()) {
    case TPowerSupplyLink::ButtonColor::Green:
        Paint(powerActive_, "lime");
        break;
    case TPowerSupplyLink::ButtonColor::Yellow:
        Paint(powerActive_, "yellow");
        break;
    default:
        Paint(powerActive_, QString());
        break;
    }
    voltage_[0]->setText(QString(powerLink_->VoltagesA()).replace('\r', '\n'));
    voltage_[1]->setText(QString(powerLink_->VoltagesB()).replace('\r', '\n'));
}

} // namespace qvt
