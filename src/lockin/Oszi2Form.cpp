#include "lockin/Oszi2Form.h"

#include "core/IniFile.h"
#include "core/SharedState.h"
#include "device/ChannelTable.h"
#include "device/InOutForm.h"
#include "device/OsziPoll.h"
#include "platform/CheckedWrite.h"
#include "platform/FileDialogs.h"
#include "platform/MessageBoxes.h"
#include "widgets/KeepRoom.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QTextStream>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

namespace qvt {

TOszi2Form* Oszi2Form = nullptr;

namespace {

const char* const Section = "Oszi2";
const char* const OptSection = "osziopt";
const char* const LongTermSection = "Osziopt";
constexpr int GridWidth = OsziPlotWidth + 2;
constexpr int GridHeight = OsziPlotHeight + 2;
constexpr int ImageTop = 35; // the drag labels' reference: window top to picture
const int DefaultOffsets[OsziTraceCount] = {50, 150, 250};
const QColor TraceColours[OsziTraceCount] = {QColor(0, 0, 0), QColor(255, 0, 0), QColor(0, 128, 0)};
const QColor ReturnColour(20, 20, 20);

QImage MakeGrid()
{
    QImage g(GridWidth, GridHeight, QImage::Format_RGB32);
    g.fill(Qt::white);
    QPainter p(&g);
    p.setPen(Qt::black);
    p.drawRect(0, 0, GridWidth - 1, GridHeight - 1);
    QPen dotted(QColor(0x80, 0x80, 0x80));
    dotted.setStyle(Qt::DotLine);
    p.setPen(dotted);
    for (int j = 1; j <= 9; ++j)
        p.drawLine(1, j * OsziDivisionPixels, GridWidth - 2, j * OsziDivisionPixels);
    for (int j = 1; j <= 7; ++j)
        p.drawLine(j * OsziSamplesPerDivision, 1, j * OsziSamplesPerDivision, GridHeight - 2);
    return g;
}

} // namespace

TOszi2Form::TOszi2Form(TInOutForm& device, QWidget* parent) : QWidget(parent, Qt::Window), device_(device)
{
    Oszi2Form = this;
    setObjectName("Oszi2Form");
    setWindowTitle("Oszilloscope");
    grid_ = MakeGrid();
    picture_ = grid_;
    BuildControls();
    connect(&device_, &TInOutForm::threeTraceFrame, this, [this] { ProcessFrame(true); });
    connect(&device_, &TInOutForm::threeTraceRunning, this, [this](bool on) { ScanButton->setChecked(on); });
    connect(&device_, &TInOutForm::driveMonitorRescaled, this, [this] { ProcessFrame(); });
}

TOszi2Form::~TOszi2Form()
{
    if (Oszi2Form == this)
        Oszi2Form = nullptr;
}

void TOszi2Form::BuildControls()
{
    auto* top = new QHBoxLayout(this);
    auto* left = new QWidget(this);
    left->setFixedSize(40, GridHeight + ImageTop);
    for (int k = 0; k < OsziTraceCount; ++k) {
        auto* l = new QLabel(QString("%1 ->").arg(k + 1), left);
        l->setObjectName(QString("Label%1").arg(13 + k));
        l->setProperty("Tag", k + 1);
        l->installEventFilter(this);
        DragLabels[static_cast<size_t>(k)] = l;
    }
    top->addWidget(left, 0, Qt::AlignTop);

    auto* middle = new QVBoxLayout;
    Image1 = new QLabel(this);
    Image1->setObjectName("Image1");
    Image1->setFixedSize(GridWidth, GridHeight);
    Image1->setPixmap(QPixmap::fromImage(picture_));
    middle->addSpacing(ImageTop - 10);
    middle->addWidget(Image1);

    auto* rows = new QGridLayout;
    const char* const modeNames[4] = {"0..max", "0..fixed", "0..auto", "auto..auto"};
    const int labelScale[OsziTraceCount] = {5, 1, 3};
    const int labelMean[OsziTraceCount] = {6, 2, 4};
    for (int k = 0; k < OsziTraceCount; ++k) {
        auto* box = new QComboBox(this);
        box->setObjectName(QString("ComboBox%1").arg(k + 1));
        box->setMinimumWidth(120);
        ComboBoxes[static_cast<size_t>(k)] = box;
        connect(box, &QComboBox::activated, this, [this, k] { ScaleChange(k); });
        rows->addWidget(box, k, 0);
        auto* group = new QButtonGroup(this);
        for (int m = 0; m < 4; ++m) {
            auto* r = new QRadioButton(modeNames[m], this);
            r->setObjectName(QString("RadioButton%1").arg(4 * k + m + 1));
            group->addButton(r, m);
            ScaleRadios[static_cast<size_t>(4 * k + m)] = r;
            rows->addWidget(r, k, 1 + m);
        }
        connect(group, &QButtonGroup::idClicked, this, [this, k] { ScaleChange(k); });
        auto* zoom = new QScrollBar(Qt::Horizontal, this);
        zoom->setObjectName(QString("ScrollBar%1").arg(4 + k));
        zoom->setRange(0, OsziZoomMax);
        zoom->setMinimumWidth(80);
        // Its column keeps its width while hidden, so choosing "0..fixed"
        // does not shift the radios under the pointer.
        KeepRoomWhenHidden(zoom);
        zoom->hide();
        connect(zoom, &QScrollBar::valueChanged, this, [this] { ProcessFrame(); });
        ZoomBars[static_cast<size_t>(k)] = zoom;
        rows->addWidget(zoom, k, 5);
        auto* scale = new QLabel(this);
        scale->setObjectName(QString("Label%1").arg(labelScale[k]));
        scale->setMinimumWidth(80);
        scale->setToolTip("per division"); // beside the mean, the two numbers read alike
        ScaleLabels[static_cast<size_t>(k)] = scale;
        rows->addWidget(scale, k, 6);
        auto* mean = new QLabel(this);
        mean->setObjectName(QString("Label%1").arg(labelMean[k]));
        mean->setMinimumWidth(80);
        MeanLabels[static_cast<size_t>(k)] = mean;
        rows->addWidget(mean, k, 7);
        auto* zero = new QScrollBar(Qt::Vertical, this);
        zero->setObjectName(QString("ScrollBar%1").arg(1 + k));
        zero->setRange(0, OsziZeroMax);
        zero->setFixedHeight(GridHeight);
        // An emptied trace hides its bar; the other bars keep their places.
        KeepRoomWhenHidden(zero);
        connect(zero, &QScrollBar::valueChanged, this, [this, k] { OnChangeOffs(k); });
        ZeroBars[static_cast<size_t>(k)] = zero;
    }
    // Spare width goes to an empty last column: longer scale texts do not
    // move the controls left of them.
    rows->setColumnStretch(8, 1);
    middle->addLayout(rows);

    auto* bottom = new QHBoxLayout;
    auto* viewGroup = new QButtonGroup(this);
    RadioButton15 = new QRadioButton("time", this);
    RadioButton15->setObjectName("RadioButton15");
    RadioButton16 = new QRadioButton("freq", this);
    RadioButton16->setObjectName("RadioButton16");
    RadioButton17 = new QRadioButton("Line", this);
    RadioButton17->setObjectName("RadioButton17");
    RadioButton15->setChecked(true);
    for (QRadioButton* r : {RadioButton15, RadioButton16, RadioButton17}) {
        viewGroup->addButton(r);
        bottom->addWidget(r);
    }
    connect(viewGroup, &QButtonGroup::buttonClicked, this, [this] { GroupBox3Click(); });
    bottom->addWidget(new QLabel("TimeBase in s/div", this));
    Edit1 = new QLineEdit(this);
    Edit1->setObjectName("Edit1");
    Edit1->setMaximumWidth(80);
    Edit1->installEventFilter(this);
    bottom->addWidget(Edit1);
    ScanButton = new QToolButton(this);
    ScanButton->setObjectName("ScanButton");
    ScanButton->setText("Run");
    ScanButton->setCheckable(true);
    connect(ScanButton, &QToolButton::clicked, this, [this] { ScanButtonClick(); });
    bottom->addWidget(ScanButton);
    SaveButton = new QPushButton("Save all", this);
    SaveButton->setObjectName("SaveButton");
    connect(SaveButton, &QPushButton::clicked, this, [this] { Button1Click(); });
    bottom->addWidget(SaveButton);
    SpeedButton1 = new QPushButton("Options", this);
    SpeedButton1->setObjectName("SpeedButton1");
    connect(SpeedButton1, &QPushButton::clicked, this, [this] {
        if (ShowOptions)
            ShowOptions();
    });
    bottom->addWidget(SpeedButton1);
    bottom->addStretch();
    middle->addLayout(bottom);
    LongTermLabel = new QLabel(this);
    LongTermLabel->setObjectName("LongTermLabel");
    LongTermLabel->setStyleSheet("color: red");
    LongTermLabel->hide();
    middle->addWidget(LongTermLabel);
    top->addLayout(middle);

    auto* bars = new QVBoxLayout;
    auto* barRow = new QHBoxLayout;
    for (QScrollBar* b : ZeroBars)
        barRow->addWidget(b);
    bars->addSpacing(ImageTop - 10);
    bars->addLayout(barRow);
    bars->addStretch();
    top->addLayout(bars);
}

void TOszi2Form::FormCreate()
{
    if (MainIni != nullptr) {
        move(MainIni->ReadFormPosLeft(Section, 10), MainIni->ReadInteger(Section, "FormPosTop", 1));
        for (int k = 0; k < OsziTraceCount; ++k) {
            ZeroBars[static_cast<size_t>(k)]->setValue(std::clamp(
                MainIni->ReadInteger(Section, QString("Offs%1").arg(k + 1), DefaultOffsets[k]), 0, OsziZeroMax));
            ZoomBars[static_cast<size_t>(k)]->setValue(
                std::clamp(MainIni->ReadInteger(Section, QString("Gain%1").arg(k + 1), 0), 0, OsziZoomMax));
        }
        for (int i = 0; i < 12; ++i)
            ScaleRadios[static_cast<size_t>(i)]->setChecked(
                MainIni->ReadBool(Section, QString("Radio%1").arg(i + 1), i % 4 == 0));
        Edit1->setText(MainIni->ReadString(Section, "TimeBase", "100"));
    } else {
        for (int i = 0; i < 12; ++i)
            ScaleRadios[static_cast<size_t>(i)]->setChecked(i % 4 == 0);
        Edit1->setText("100");
    }
    for (int k = 0; k < OsziTraceCount; ++k)
        traces_[static_cast<size_t>(k)].Zero = ZeroBars[static_cast<size_t>(k)]->value();
    FillChannelBoxes();
    // The time base as typed last, applied without sending (acquisition is off).
    Edit1Enter();
    created_ = true;
}

void TOszi2Form::FormDestroy()
{
    if (MainIni == nullptr)
        return;
    MainIni->WriteInteger(Section, "FormPosLeft", x());
    MainIni->WriteInteger(Section, "FormPosTop", y());
    for (int k = 0; k < OsziTraceCount; ++k) {
        MainIni->WriteInteger(Section, QString("Channel%1").arg(k + 1),
                              ComboBoxes[static_cast<size_t>(k)]->currentIndex());
        MainIni->WriteInteger(Section, QString("Offs%1").arg(k + 1), ZeroBars[static_cast<size_t>(k)]->value());
        MainIni->WriteInteger(Section, QString("Gain%1").arg(k + 1), ZoomBars[static_cast<size_t>(k)]->value());
    }
    for (int i = 0; i < 12; ++i)
        MainIni->WriteBool(Section, QString("Radio%1").arg(i + 1), ScaleRadios[static_cast<size_t>(i)]->isChecked());
}

void TOszi2Form::FillChannelBoxes()
{
    slots_.clear();
    for (int slot = 0; slot < ChannelSlotCount; ++slot) {
        if (ChannelTable[static_cast<size_t>(slot)].Listed.load())
            slots_.push_back(slot);
    }
    for (int k = 0; k < OsziTraceCount; ++k) {
        QComboBox* box = ComboBoxes[static_cast<size_t>(k)];
        const int keep = box->count() > 0
                             ? box->currentIndex()
                             : (MainIni ? MainIni->ReadInteger(Section, QString("Channel%1").arg(k + 1), 0) : 0);
        box->clear();
        box->addItem("empty slot");
        for (int slot : slots_) {
            const QString label = ChannelTable[static_cast<size_t>(slot)].Label;
            box->addItem(label.isEmpty() ? ChannelName(slot) : label);
        }
        box->setCurrentIndex(keep >= 0 && keep < box->count() ? keep : 0);
    }
    for (int k = 0; k < OsziTraceCount; ++k)
        ScaleChange(k);
}

TOsziScaleMode TOszi2Form::Mode(int trace) const
{
    for (int m = 0; m < 4; ++m) {
        if (ScaleRadios[static_cast<size_t>(4 * trace + m)]->isChecked())
            return static_cast<TOsziScaleMode>(m);
    }
    return TOsziScaleMode::ZeroMax;
}

TOsziView TOszi2Form::View() const
{
    if (RadioButton16->isChecked())
        return TOsziView::Freq;
    if (RadioButton17->isChecked())
        return TOsziView::Line;
    return TOsziView::Time;
}

void TOszi2Form::SetView(TOsziView view)
{
    (view == TOsziView::Freq   ? RadioButton16
     : view == TOsziView::Line ? RadioButton17
                               : RadioButton15)
        ->setChecked(true);
    GroupBox3Click();
}

void TOszi2Form::ScaleChange(int k)
{
    const auto kk = static_cast<size_t>(k);
    const int item = ComboBoxes[kk]->currentIndex();
    const int slot = item >= 1 && item <= static_cast<int>(slots_.size()) ? slots_[static_cast<size_t>(item - 1)] : -1;
    traces_[kk].Slot = slot;
    if (slot >= 0) {
        const int32_t address = ChannelTable[static_cast<size_t>(slot)].Address.load();
        if (address != OsziChannels[kk + 1]) {
            OsziChannels[kk + 1] = address;
            if (OsziFlags.load() == OsziThreeTrace)
                device_.ConfigOsziAcquisition();
        }
    }
    const bool used = slot >= 0;
    ZoomBars[kk]->setVisible(used && Mode(k) == TOsziScaleMode::ZeroFixed);
    ZeroBars[kk]->setVisible(used);
    DragLabels[kk]->setVisible(used);
    ScaleLabels[kk]->setVisible(used);
    MeanLabels[kk]->setVisible(used);
    for (int m = 0; m < 4; ++m)
        ScaleRadios[static_cast<size_t>(4 * k + m)]->setVisible(used);
    ProcessFrame();
}

void TOszi2Form::OnChangeOffs(int k)
{
    const auto kk = static_cast<size_t>(k);
    traces_[kk].Zero = ZeroBars[kk]->value();
    PlaceDragLabel(k);
    ProcessFrame();
}

void TOszi2Form::PlaceDragLabel(int k)
{
    // Beside the zero line, wherever the layout put the picture.
    QLabel* label = DragLabels[static_cast<size_t>(k)];
    const int imageTop = label->parentWidget()->mapFrom(this, Image1->mapTo(this, QPoint(0, 0))).y();
    label->move(2, imageTop + traces_[static_cast<size_t>(k)].Zero - label->height() / 2);
}

void TOszi2Form::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    for (int k = 0; k < OsziTraceCount; ++k)
        PlaceDragLabel(k);
}

void TOszi2Form::GroupBox3Click()
{
    OsziChannels[0] = View() == TOsziView::Line ? OsziLinePositionAddress : OsziTimeStampAddress;
    if (OsziFlags.load() == OsziThreeTrace)
        device_.StartOszi2();
    ProcessFrame();
}

void TOszi2Form::ScanButtonClick()
{
    if (ScanButton->isChecked()) {
        LongTerm.Clear();
        ShowLongTermState();
        device_.StartOszi2();
    } else {
        device_.StopOszi2();
    }
}

void TOszi2Form::FormRescale()
{
    device_.StartOszi2();
}

void TOszi2Form::Edit1Enter()
{
    const std::optional<double> perDivision = ParseTimeBase(Edit1->text());
    if (!perDivision || *perDivision < 0.0) {
        Edit1->setStyleSheet("background: red");
        return;
    }
    OsziSampleTime = static_cast<float>(*perDivision / OsziSamplesPerDivision);
    if (OsziFlags.load() == OsziThreeTrace) {
        device_.ConfigOsziAcquisition();
    } else {
        // Applied as the set-up would: whole ticks, at least one.
        const TOsziSetup setup = BuildOsziSetup(OsziThreeTrace, OsziSampleTime, OsziChannels, 0, {});
        OsziSampleTime = setup.SampleTime;
    }
    Edit1->setText(TimeBaseText(OsziSampleTime));
    Edit1->setStyleSheet({});
    if (MainIni != nullptr)
        MainIni->WriteString(Section, "TimeBase", Edit1->text());
}

void TOszi2Form::StoreFrameOnce()
{
    if (frameStored_ || !FullFrame(raw_))
        return;
    frameStored_ = true;
    if (!LongTerm.On())
        return;
    // Time-domain samples, whatever the view shows.
    LongTerm.Store(PrepareFrame(raw_, frame_.Scales, TOsziView::Time, false), frame_);
    ShowLongTermState();
}

TOsziRecordSetup TOszi2Form::CurrentSetup() const
{
    TOsziRecordSetup setup;
    for (int k = 0; k < OsziTraceCount; ++k) {
        const auto kk = static_cast<size_t>(k);
        const int slot = traces_[kk].Slot;
        setup.Slots[kk] = slot;
        if (slot < 0)
            continue;
        const TIOScale& ch = ChannelTable[static_cast<size_t>(slot)];
        setup.Captions[kk] = ComboBoxes[kk]->currentText();
        setup.Units[kk] = ch.UnitName;
        setup.Factors[kk] = ch.Factor.load();
        setup.Scales[kk] = {ch.Offset.load(), ch.FactorNegative.load()};
    }
    setup.SampleTime = OsziSampleTime;
    setup.TimeStamps = OsziChannels[0] == OsziTimeStampAddress;
    return setup;
}

void TOszi2Form::ShowLongTermState()
{
    // The ring stops at a set-up change rather than mix two under one header.
    const bool ended = LongTerm.On() && LongTerm.Ended();
    LongTermLabel->setText(ended ? "Long term data ended: channel, scale or time base changed. Save it or press Run "
                                   "for a new record."
                                 : QString());
    LongTermLabel->setVisible(ended);
}

void TOszi2Form::ProcessFrame(bool newFrame)
{
    // Taken before the Line view may fall back to time: the frame was set up
    // with what buffer 0 held until now.
    if (newFrame) {
        raw_ = OsziBuffers;
        frameStored_ = false;
        frame_ = CurrentSetup();
    }
    if (View() == TOsziView::Line && !(ScanRunning && ScanRunning())) {
        RadioButton15->setChecked(true);
        OsziChannels[0] = OsziTimeStampAddress;
    }
    const bool logFFT = MainIni != nullptr && MainIni->ReadBool(OptSection, "logFFT", false);
    shown_ = PrepareFrame(raw_, frame_.Scales, View(), logFFT);
    const bool full = FullFrame(shown_);
    if (newFrame && full) {
        StoreFrameOnce();
        const bool acqFrame = MainIni != nullptr && MainIni->ReadBool(OptSection, "AcqFrame", false);
        if (!acqFrame && ScanButton->isChecked())
            device_.StartOszi2();
        else
            device_.StopOszi2();
    }
    const int count = std::clamp(shown_[1].Count, 0, OsziBufferSamples);
    for (int k = 0; k < OsziTraceCount; ++k)
        traces_[static_cast<size_t>(k)].Stats = FrameStats(shown_[static_cast<size_t>(k + 1)].Samples, count);
    if (full || View() != TOsziView::Freq)
        Redraw(count);
}

void TOszi2Form::Redraw(int count)
{
    for (int k = 0; k < OsziTraceCount; ++k) {
        Trace& t = traces_[static_cast<size_t>(k)];
        // The frame's own channel gives the scale and unit of what is drawn.
        const int slot = frame_.Slots[static_cast<size_t>(k)];
        if (t.Slot < 0 || slot < 0) {
            t.Scale = {};
            continue;
        }
        const TIOScale& ch = ChannelTable[static_cast<size_t>(slot)];
        t.Scale =
            ScaleTrace(Mode(k), ch.MinRaw.load(), ch.MaxRaw.load(), ZoomBars[static_cast<size_t>(k)]->value(), t.Stats);
        const int32_t* s = shown_[static_cast<size_t>(k + 1)].Samples;
        for (int i = 0; i < count; ++i)
            t.Y[static_cast<size_t>(i)] = TraceY(s[i], t.Zero, t.Scale.Centre, t.Scale.Gain);
        if (t.Scale.Gain > 1.0e-9) {
            const double factor = frame_.Factors[static_cast<size_t>(k)];
            const QString& unit = frame_.Units[static_cast<size_t>(k)];
            ScaleLabels[static_cast<size_t>(k)]->setText(FormatValue(OsziDivisionPixels / t.Scale.Gain * factor, unit));
            const QString mean = FormatValue(t.Stats.Mean * factor, unit);
            MeanLabels[static_cast<size_t>(k)]->setText(mean);
            MeanLabels[static_cast<size_t>(k)]->setToolTip("mean: " + mean);
        }
    }
    QImage traces(OsziPlotWidth, OsziPlotHeight, QImage::Format_RGB32);
    traces.fill(Qt::white);
    DrawTraces(traces, count, MainIni == nullptr || MainIni->ReadBool(OptSection, "vector", true));
    QPainter p(&picture_);
    if (count < 451)
        p.drawImage(QPoint(0, 0), grid_, QRect(0, 0, count + 51, GridHeight));
    else
        p.drawImage(QPoint(0, 0), grid_);
    // Source-and keeps the grid under the white of the trace picture.
    p.setCompositionMode(QPainter::RasterOp_SourceAndDestination);
    p.drawImage(QPoint(1, 1), traces);
    p.end();
    Image1->setPixmap(QPixmap::fromImage(picture_));
}

void TOszi2Form::DrawTraces(QImage& image, int count, bool vector) const
{
    QPainter p(&image);
    const bool line = View() == TOsziView::Line;
    const int pixels = ScanParams.Pixels.load();
    for (int k = 0; k < OsziTraceCount; ++k) {
        const Trace& t = traces_[static_cast<size_t>(k)];
        if (t.Slot < 0)
            continue;
        const QColor colour = TraceColours[k];
        if (!line) {
            p.setPen(colour);
            for (int i = 0; i < count; ++i) {
                const QPoint here(i + 1, t.Y[static_cast<size_t>(i)]);
                if (vector && i > 0)
                    p.drawLine(QPoint(i, t.Y[static_cast<size_t>(i - 1)]), here);
                else if (!vector)
                    p.drawPoint(here);
            }
            continue;
        }
        int lastX = 0;
        int32_t lastPos = 0;
        bool have = false;
        for (int i = 0; i < count; ++i) {
            const int32_t pos = raw_[0].Samples[i];
            int x = 0;
            if (!LineViewX(pos, pixels, x)) {
                have = false;
                continue;
            }
            const QPoint here(x, t.Y[static_cast<size_t>(i)]);
            p.setPen(!have || pos >= lastPos ? colour : ReturnColour);
            if (vector && have)
                p.drawLine(QPoint(lastX, t.Y[static_cast<size_t>(i - 1)]), here);
            else if (!vector)
                p.drawPoint(here);
            lastX = x;
            lastPos = pos;
            have = true;
        }
    }
}

bool TOszi2Form::AllocLongTerm()
{
    if (MainIni == nullptr || !MainIni->ReadBool(LongTermSection, "LongTermEnable", false)) {
        LongTerm.Free();
        ShowLongTermState();
        return true;
    }
    const QString text = MainIni->ReadString(LongTermSection, "LongTermDataPoints", "10000");
    bool ok = false;
    const qlonglong size = text.trimmed().toLongLong(&ok);
    // Every option change comes here: a ring of the same size keeps the
    // record it holds.
    if (ok && LongTerm.On() && LongTerm.Size() == size)
        return true;
    const bool allocated = ok && LongTerm.Allocate(size);
    ShowLongTermState();
    if (!allocated) {
        ShowMessage(MsgKind::Error, "Out of Memory!");
        return false;
    }
    return true;
}

TOsziSaveOptions TOszi2Form::SaveOptions() const
{
    TOsziSaveOptions o;
    if (MainIni == nullptr)
        return o;
    o.Delimiter = MainIni->ReadInteger(OptSection, "DelimiterSave", 0);
    o.Header = MainIni->ReadBool(OptSection, "SaveHeader", false);
    o.XAxis = MainIni->ReadBool(OptSection, "xAxis", true);
    o.Comment = MainIni->ReadBool(OptSection, "SaveComment", false);
    o.CommentText = MainIni->ReadString(OptSection, "Comment", "");
    return o;
}

bool TOszi2Form::SaveFile(int type, const QString& path)
{
    if (type < 1 || type > 4)
        return false;
    QString failure;
    if (type == 1 || type == 3) {
        failure = WriteImageWhole(path, type == 1 ? picture_ : grab().toImage(), "BMP");
    } else {
        // The long-term rows under the set-up they were recorded with; they
        // leave the ring only once they are on the disk.
        const QString text = type == 2
                                 ? OsziFrameText(SaveOptions(), frame_.Captions, shown_, frame_.Factors,
                                                 frame_.SampleTime, View() == TOsziView::Freq && FullFrame(shown_))
                                 : OsziLongTermText(SaveOptions(), LongTerm.Setup().Captions, LongTerm.Rows());
        failure = WriteFileWhole(path, text.toLocal8Bit());
        if (failure.isEmpty() && type == 4)
            LongTerm.Clear();
    }
    ShowLongTermState();
    if (!failure.isEmpty())
        ShowMessage(MsgKind::Error, "Can't save file!");
    return failure.isEmpty();
}

void TOszi2Form::StopAndStore()
{
    device_.StopOszi2();
    StoreFrameOnce();
}

void TOszi2Form::Button1Click()
{
    StopAndStore();
    const QString ext = MainIni ? MainIni->ReadString(OptSection, "SaveExt", "dat") : QString("dat");
    QStringList filters = {"Bitmap File (*.bmp)", "Text-File (*." + ext + ")", "Full Form (*.bmp)"};
    if (MainIni && MainIni->ReadBool(LongTermSection, "LongTermEnable", false))
        filters << "Long Term Data-File (*." + ext + ")";
    int type = MainIni ? MainIni->ReadInteger(OptSection, "FileType", 1) : 1;
    type = std::clamp(type, 1, static_cast<int>(filters.size()));
    const TFileDialogChoice chosen =
        AskFile(this, {TFileDialogAsk::Kind::Save, QString(), QString(), filters.join(";;"), filters[type - 1], ext});
    if (chosen.Path.isEmpty())
        return;
    type = static_cast<int>(filters.indexOf(chosen.Filter)) + 1;
    if (MainIni)
        MainIni->WriteInteger(OptSection, "FileType", type);
    SaveFile(type, chosen.Path);
}

void TOszi2Form::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (SetMainButton)
        SetMainButton(true);
    FillChannelBoxes();
    for (int k = 0; k < OsziTraceCount; ++k)
        OnChangeOffs(k);
    OsziChannels[0] = View() == TOsziView::Line ? OsziLinePositionAddress : OsziTimeStampAddress;
    device_.StartOszi2();
}

void TOszi2Form::closeEvent(QCloseEvent* event)
{
    device_.StopOszi2();
    if (SetMainButton)
        SetMainButton(false);
    if (MainIni != nullptr) {
        for (int k = 0; k < OsziTraceCount; ++k)
            MainIni->WriteInteger(Section, QString("Channel%1").arg(k + 1),
                                  ComboBoxes[static_cast<size_t>(k)]->currentIndex());
    }
    QWidget::closeEvent(event);
}

void TOszi2Form::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

bool TOszi2Form::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == Edit1 && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            Edit1Enter();
            return true;
        }
        if (key == Qt::Key_Escape) {
            close();
            return true;
        }
        Edit1->setStyleSheet("background: silver");
        return false;
    }
    auto* label = qobject_cast<QLabel*>(watched);
    if (label == nullptr || !label->property("Tag").isValid())
        return QWidget::eventFilter(watched, event);
    const int tag = label->property("Tag").toInt();
    if (event->type() == QEvent::MouseButtonPress) {
        dragging_ = tag;
        label->setStyleSheet("color: blue");
        return true;
    }
    if (event->type() == QEvent::MouseMove && dragging_ == tag) {
        const int y = Image1->mapFromGlobal(static_cast<QMouseEvent*>(event)->globalPosition().toPoint()).y();
        if (y >= 0 && y <= OsziZeroMax)
            ZeroBars[static_cast<size_t>(tag - 1)]->setValue(y);
        return true;
    }
    if (event->type() == QEvent::MouseButtonRelease && dragging_ == tag) {
        dragging_ = 0;
        label->setStyleSheet({});
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace qvt
