#include "calib/SlidForm.h"

#include "calib/SlidLogic.h"
#include "core/IniFile.h"
#include "core/NumberText.h"
#include "device/ChannelTable.h"
#include "device/InOutForm.h"
#include "platform/MessageBoxes.h"
#include "widgets/NumericEdit.h"

#include <QButtonGroup>
#include <QCloseEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>

namespace qvt {

TSlidForm* SlidForm = nullptr;

namespace {
const QString Section = "Slid";
constexpr int KnobWidth = 11;
constexpr int TrackPixels = TrackWidth + 1;
constexpr int RasterPollMs = 100;
constexpr std::array<double, 3> Zooms{1.0, 10.0, 100.0};

// The picture pixel of a raster sample: x is the row (DAC5), y the column (DAC6).
QImage RasterPicture(const std::vector<int32_t>& samples)
{
    QImage image(RasterSize, RasterSize, QImage::Format_RGB32);
    const std::vector<uint8_t> grey = RasterGreyLevels(samples);
    for (int r = 0; r < RasterSize; ++r)
        for (int c = 0; c < RasterSize; ++c)
            image.setPixel(r, c, RasterColour(grey[static_cast<size_t>(r) * RasterSize + c]));
    return image;
}
} // namespace

// ---- the track ------------------------------------------------------------------------

TSliderTrack::TSliderTrack(const QString& name, QWidget* parent) : QWidget(parent)
{
    setObjectName(name);
    setFixedSize(TrackPixels + KnobWidth, 22);
}

void TSliderTrack::SetKnob(int x)
{
    knob_ = x;
    update();
}

void TSliderTrack::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    const int off = KnobWidth / 2;
    const QRect groove(off, height() / 2 - 3, TrackPixels, 6);
    p.fillRect(groove, palette().dark());
    p.setPen(palette().shadow().color());
    p.drawLine(groove.topLeft(), groove.topRight());
    p.drawLine(groove.topLeft(), groove.bottomLeft());
    p.setPen(palette().light().color());
    p.drawLine(groove.bottomLeft(), groove.bottomRight());
    p.drawLine(groove.topRight(), groove.bottomRight());
    const int x = std::clamp(knob_, -2, TrackWidth + 2) + off - KnobWidth / 2;
    p.fillRect(QRect(x, 2, KnobWidth, height() - 4), QColor(0, 0, 160));
    p.setPen(Qt::white);
    p.drawRect(QRect(x, 2, KnobWidth - 1, height() - 5));
}

void TSliderTrack::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && MouseDown)
        MouseDown(std::clamp(static_cast<int>(event->position().x()) - KnobWidth / 2, 0, TrackWidth));
}

void TSliderTrack::mouseMoveEvent(QMouseEvent* event)
{
    if ((event->buttons() & Qt::LeftButton) && MouseMove)
        MouseMove(std::clamp(static_cast<int>(event->position().x()) - KnobWidth / 2, 0, TrackWidth));
}

void TSliderTrack::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && MouseUp)
        MouseUp();
}

// ---- the raster's worker --------------------------------------------------------------

struct TSlidForm::TRasterJob {
    std::atomic<int> Progress{0};
    std::atomic<bool> Cancel{false};
    std::atomic<bool> Done{false};
    bool Complete = false; // read after the join
    std::vector<int32_t> Samples;
    std::thread Worker;

    ~TRasterJob()
    {
        Cancel = true;
        if (Worker.joinable())
            Worker.join();
    }
};

// ---- the window -----------------------------------------------------------------------

TSlidForm::TSlidForm(TInOutForm& link, QWidget* parent) : QWidget(parent, Qt::Tool), link_(link)
{
    setObjectName("SlidForm");
    setWindowTitle("Slider");
    auto* top = new QVBoxLayout(this);
    auto* sliders = new QGridLayout;
    top->addLayout(sliders);
    for (int k = 1; k <= 4; ++k) {
        const auto i = static_cast<size_t>(k - 1);
        captions_[i] = new QLabel(this);
        captions_[i]->setObjectName("Label" + QString::number(k));
        edits_[i] = new TNumericEdit("Edit" + QString::number(k), this);
        edits_[i]->setFixedWidth(80);
        edits_[i]->OnKey = [this, k](EditKey key) {
            if (key == EditKey::Enter)
                EditKeyPress(k);
        };
        units_[i] = new QLabel(this);
        tracks_[i] = new TSliderTrack("Image" + QString::number(k), this);
        tracks_[i]->MouseDown = [this, k](int x) { ImageMouseDown(k, x); };
        tracks_[i]->MouseMove = [this, k](int x) { ImageMouseMove(k, x); };
        tracks_[i]->MouseUp = [this, k] { ImageMouseUp(k); };
        auto* group = new QButtonGroup(this);
        auto* zoomRow = new QHBoxLayout;
        for (int z = 0; z < 3; ++z) {
            auto* b = new QRadioButton(QString::number(static_cast<int>(Zooms[static_cast<size_t>(z)])), this);
            b->setObjectName("RadioButton" + QString::number((k - 1) * 3 + z + 1));
            group->addButton(b);
            zoomRow->addWidget(b);
            zoomButtons_[i * 3 + static_cast<size_t>(z)] = b;
            connect(b, &QRadioButton::toggled, this, [this, k, z](bool on) {
                if (on)
                    ZoomClick(k, Zooms[static_cast<size_t>(z)]);
            });
        }
        sliders->addWidget(captions_[i], k - 1, 0);
        sliders->addWidget(edits_[i], k - 1, 1);
        sliders->addWidget(units_[i], k - 1, 2);
        sliders->addWidget(tracks_[i], k - 1, 3);
        sliders->addLayout(zoomRow, k - 1, 4);
    }

    auto* rasterRow = new QHBoxLayout;
    top->addLayout(rasterRow);
    image5_ = new QLabel(this);
    image5_->setObjectName("Image5");
    image5_->setFixedSize(RasterSize, RasterSize);
    picture_ = QImage(RasterSize, RasterSize, QImage::Format_RGB32);
    picture_.fill(Qt::black);
    image5_->setPixmap(QPixmap::fromImage(picture_));
    image5_->installEventFilter(this);
    rasterRow->addWidget(image5_);
    auto* rasterButtons = new QVBoxLayout;
    rasterRow->addLayout(rasterButtons);
    doButton_ = new QPushButton("Do", this);
    doButton_->setObjectName("Button1");
    cancelButton_ = new QPushButton("Cancel", this);
    cancelButton_->setObjectName("CancelRasterButton");
    cancelButton_->setEnabled(false);
    progress_ = new QProgressBar(this);
    progress_->setObjectName("ProgressBar1");
    progress_->setRange(0, RasterSize - 1);
    progress_->setValue(0);
    rasterButtons->addWidget(doButton_);
    rasterButtons->addWidget(cancelButton_);
    rasterButtons->addWidget(progress_);

    waveBox_ = new QGroupBox("WaveForm", this);
    waveBox_->setObjectName("WaveBox");
    auto* wave = new QVBoxLayout(waveBox_);
    scrollBar1_ = new QScrollBar(Qt::Horizontal, waveBox_);
    scrollBar1_->setObjectName("ScrollBar1");
    scrollBar1_->setRange(-127, 127);
    auto* send = new QPushButton("Send WaveForm", waveBox_);
    send->setObjectName("Button2");
    wave->addWidget(scrollBar1_);
    wave->addWidget(send);
    rasterButtons->addWidget(waveBox_);
    rasterButtons->addStretch();

    connect(doButton_, &QPushButton::clicked, this, [this] { Button1Click(); });
    connect(cancelButton_, &QPushButton::clicked, this, [this] { CancelRaster(); });
    connect(scrollBar1_, &QScrollBar::valueChanged, this, [this](int p) { ScrollBar1Change(p); });
    connect(send, &QPushButton::clicked, this, [this] { Button2Click(); });
    rasterPoll_ = new QTimer(this);
    rasterPoll_->setInterval(RasterPollMs);
    connect(rasterPoll_, &QTimer::timeout, this, [this] {
        if (raster_ != nullptr)
            progress_->setValue(std::min(raster_->Progress.load(), RasterSize - 1));
        FinishRaster();
    });
    if (SlidForm == nullptr)
        SlidForm = this;
}

TSlidForm::~TSlidForm()
{
    raster_.reset(); // cancels and joins the worker
    if (SlidForm == this)
        SlidForm = nullptr;
}

void TSlidForm::FormCreate()
{
    if (MainIni != nullptr) {
        move(MainIni->ReadFormPosLeft(Section, 10), MainIni->ReadInteger(Section, "FormPosTop", 1));
        resize(width(), std::max(MainIni->ReadInteger(Section, "FormPosHeight", 204), sizeHint().height()));
    }
    for (int k = 1; k <= 4; ++k) {
        for (int z = 0; z < 3; ++z) {
            const int n = (k - 1) * 3 + z + 1;
            const bool on = MainIni ? MainIni->ReadBool(Section, "Radio" + QString::number(n), z == 0) : z == 0;
            if (on)
                ZoomButton(k, z)->setChecked(true);
        }
        if (!ZoomButton(k, 0)->isChecked() && !ZoomButton(k, 1)->isChecked() && !ZoomButton(k, 2)->isChecked())
            ZoomButton(k, 0)->setChecked(true);
        Edit(k)->setText(MainIni ? MainIni->ReadString(Section, "DA" + QString::number(k), "0") : "0");
        // The four outputs get their stored values at start.
        EditKeyPress(k);
    }
    // The waveform generator's registers are not there on older cards.
    waveBox_->setEnabled(link_.Caps.ExtendedRegisters());
    ShowCaptions();
    const bool visible = UserIni ? UserIni->ReadBool("Main", "SlidButton", false) : false;
    if (visible)
        show();
}

void TSlidForm::FormDestroy()
{
    CancelRaster();
    if (MainIni == nullptr)
        return;
    MainIni->WriteInteger(Section, "FormPosLeft", x());
    MainIni->WriteInteger(Section, "FormPosTop", y());
    MainIni->WriteInteger(Section, "FormPosHeight", height());
    for (int k = 1; k <= 4; ++k)
        MainIni->WriteString(Section, "DA" + QString::number(k), Edit(k)->text());
    for (int n = 1; n <= 12; ++n)
        MainIni->WriteBool(Section, "Radio" + QString::number(n),
                           zoomButtons_[static_cast<size_t>(n - 1)]->isChecked());
}

void TSlidForm::ShowCaptions()
{
    for (int k = 1; k <= 4; ++k) {
        const auto i = static_cast<size_t>(k - 1);
        const QString key = "DAC" + QString::number(Slot(k) + 1) + "Label2";
        captions_[i]->setText(MainIni ? MainIni->ReadString("Scale", key, objectName()) : objectName());
        units_[i]->setText(ChannelTable[Slot(k)].UnitName);
    }
}

bool TSlidForm::EditKeyPress(int k)
{
    TNumericEdit* edit = Edit(k);
    edit->MarkRefused();
    double value = 0.0;
    if (!ParseNumber(edit->text(), value))
        return false;
    const TIOScale& scale = ChannelTable[Slot(k)];
    const TSliderWrite w = SliderRaw(value, scale);
    if (!w.Write)
        return false;
    if (Zoom(k) <= 1.0)
        Track(k)->SetKnob(KnobPosition(value, scale));
    link_.WriteReg(35 + k, w.Raw);
    edit->MarkAccepted();
    return true;
}

void TSlidForm::ZoomClick(int k, double zoom)
{
    zoom_[static_cast<size_t>(k - 1)] = zoom;
    if (zoom <= 1.0) {
        double value = 0.0;
        if (ParseNumber(Edit(k)->text(), value))
            Track(k)->SetKnob(KnobPosition(value, ChannelTable[Slot(k)]));
    } else {
        Track(k)->SetKnob(TrackMiddle);
    }
}

void TSlidForm::ImageMouseDown(int k, int x)
{
    double value = 0.0;
    ParseNumber(Edit(k)->text(), value);
    centre_[static_cast<size_t>(k - 1)] = Zoom(k) <= 1.0 ? 0.0 : value;
    ImageMouseMove(k, x);
}

void TSlidForm::ImageMouseMove(int k, int x)
{
    const TDragResult r = DragValue(x, Zoom(k), centre_[static_cast<size_t>(k - 1)], ChannelTable[Slot(k)]);
    if (r.Clipped)
        Beep();
    Edit(k)->setText(QString::number(r.Value, 'f', 3));
    EditKeyPress(k);
    Track(k)->SetKnob(r.Knob);
}

void TSlidForm::ImageMouseUp(int k)
{
    if (Zoom(k) > 1.0)
        Track(k)->SetKnob(TrackMiddle);
}

bool TSlidForm::Button1Click()
{
    if (raster_ != nullptr)
        return false;
    raster_ = std::make_unique<TRasterJob>();
    TRasterJob* job = raster_.get();
    const double fx = ChannelTable[Slot(1)].Factor.load();
    const double fy = ChannelTable[Slot(2)].Factor.load();
    TInOutForm* link = &link_;
    // The raster takes tens of seconds on the instrument: it runs beside the
    // window, which polls its progress, and keeps its request order.
    job->Worker = std::thread([job, link, fx, fy] {
        TRasterIo io;
        io.WriteReg = [link](int32_t reg, int32_t value) { link->WriteReg(reg, value); };
        io.DelayUs = [link](int32_t us) { link->DelayUs(us); };
        io.ReadReg = [link](int32_t reg) { return link->ReadReg(reg); };
        job->Complete = RunRaster(io, fx, fy, job->Samples, &job->Progress, &job->Cancel);
        job->Done = true;
    });
    doButton_->setEnabled(false);
    cancelButton_->setEnabled(true);
    progress_->setValue(0);
    // DAC5 and DAC6 belong to the raster until it ends.
    for (int k = 1; k <= 2; ++k) {
        Edit(k)->setEnabled(false);
        Track(k)->setEnabled(false);
    }
    rasterPoll_->start();
    return true;
}

void TSlidForm::CancelRaster()
{
    if (raster_ == nullptr)
        return;
    raster_->Cancel = true;
    raster_->Worker.join();
    FinishRaster();
}

bool TSlidForm::FinishRaster()
{
    if (raster_ == nullptr || !raster_->Done.load())
        return false;
    if (raster_->Worker.joinable())
        raster_->Worker.join();
    const bool complete = raster_->Complete;
    if (complete) {
        picture_ = RasterPicture(raster_->Samples);
        image5_->setPixmap(QPixmap::fromImage(picture_));
        progress_->setValue(RasterSize - 1);
    }
    raster_.reset();
    rasterPoll_->stop();
    doButton_->setEnabled(true);
    cancelButton_->setEnabled(false);
    for (int k = 1; k <= 2; ++k) {
        Edit(k)->setEnabled(true);
        Track(k)->setEnabled(true);
    }
    return complete;
}

void TSlidForm::Image5MouseDown(int x, int y)
{
    if (RasterRunning())
        return;
    Edit(1)->setText(QString::number((x - 127) / 255.0 * RasterSpanVolts, 'f', 3));
    Edit(2)->setText(QString::number((y - 127) / 255.0 * RasterSpanVolts, 'f', 3));
    EditKeyPress(1);
    EditKeyPress(2);
}

void TSlidForm::ScrollBar1Change(int position)
{
    if (!waveBox_->isEnabled())
        return;
    link_.WriteReg(RegWaveControl, 1);
    link_.WriteReg(RegWaveLevel, position * WaveLevelStep);
}

void TSlidForm::Button2Click()
{
    if (!waveBox_->isEnabled())
        return;
    link_.WriteReg(RegWaveControl, 1);
    link_.WriteReg(RegWaveControl, 0);
    for (int32_t word : SawtoothWords())
        link_.WriteReg(RegWaveData, word);
}

void TSlidForm::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    ShowCaptions();
    if (SetSlidButton)
        SetSlidButton(true);
}

void TSlidForm::closeEvent(QCloseEvent* event)
{
    if (SetSlidButton)
        SetSlidButton(false);
    QWidget::closeEvent(event);
}

bool TSlidForm::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == image5_ && event->type() == QEvent::MouseButtonPress) {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        Image5MouseDown(static_cast<int>(mouse->position().x()), static_cast<int>(mouse->position().y()));
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void TSlidForm::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

} // namespace qvt
