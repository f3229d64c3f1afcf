#include "lockin/OsziForm.h"

#include "core/IniFile.h"
#include "core/NumberText.h"
#include "core/SharedState.h"
#include "device/ChannelTable.h"
#include "device/InOutForm.h"

#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>

namespace qvt {

TOsziForm* OsziForm = nullptr;

namespace {
const char* const Section = "Oszi";
constexpr int PictureLeft = 35;
constexpr int PictureTop = 35;
constexpr int PictureSize = 256;
constexpr int FirstAdcSlotOffset = 26;
} // namespace

TOsziForm::TOsziForm(TInOutForm& device, QWidget* parent) : QWidget(parent, Qt::Window), device_(device)
{
    setObjectName("OsziForm");
    setWindowTitle("Oscilloscope");
    setFixedSize(PictureLeft + PictureSize + 150, PictureTop + PictureSize + 20);
    const int x = PictureLeft + PictureSize + 15;
    Label1 = new QLabel("y-Scale", this);
    Label1->setObjectName("Label1");
    Label1->move(x, PictureTop);
    ComboScale = new QComboBox(this);
    ComboScale->setObjectName("ComboScale");
    ComboScale->addItems({"0..fixed", "0..max", "auto 0..max", "auto min..max"});
    ComboScale->setGeometry(x, PictureTop + 20, 120, 24);
    connect(ComboScale, &QComboBox::activated, this, [this] { ComboScaleChange(); });
    ScaleNumber = new QLineEdit(this);
    ScaleNumber->setObjectName("ScaleNumber");
    ScaleNumber->setGeometry(x, PictureTop + 50, 120, 24);
    connect(ScaleNumber, &QLineEdit::textEdited, this, [this] { ScaleNumber->setStyleSheet("background: silver"); });
    connect(ScaleNumber, &QLineEdit::editingFinished, this, [this] { ScaleNumberExit(); });
    Label2 = new QLabel(this);
    Label2->setObjectName("Label2");
    Label2->setGeometry(x, PictureTop - 20, 120, 18);
    Label3 = new QLabel(this);
    Label3->setObjectName("Label3");
    Label3->setGeometry(x, PictureTop + PictureSize / 2 - 9, 120, 18);
    CancelButton = new QPushButton("Cancel", this);
    CancelButton->setObjectName("CancelButton");
    CancelButton->setGeometry(x, PictureTop + PictureSize - 60, 120, 26);
    Button1 = new QPushButton("ESC", this);
    Button1->setObjectName("Button1");
    Button1->setShortcut(Qt::Key_Escape);
    Button1->setGeometry(x, PictureTop + PictureSize - 30, 120, 26);
    connect(CancelButton, &QPushButton::clicked, this, &QWidget::close);
    connect(Button1, &QPushButton::clicked, this, &QWidget::close);
    connect(&device_, &TInOutForm::osziSnapshot, this, [this] { ShowFrame(device_.OsziReply.data()); });
    if (OsziForm == nullptr)
        OsziForm = this;
}

TOsziForm::~TOsziForm()
{
    if (OsziForm == this)
        OsziForm = nullptr;
}

void TOsziForm::FormCreate()
{
    if (MainIni != nullptr) {
        ComboScale->setCurrentIndex(std::clamp(MainIni->ReadInteger(Section, "Scale", 0), 0, 3));
        ScaleNumber->setText(MainIni->ReadString(Section, "ScaleNumber", "10"));
        move(MainIni->ReadFormPosLeft(Section, 10), MainIni->ReadInteger(Section, "FormPosTop", 1));
    } else {
        ScaleNumber->setText("10");
    }
    ScaleNumberExit();
    ComboScaleChange();
    picture_ = QImage(PictureSize, PictureSize, QImage::Format_RGB32);
    picture_.fill(QColor(0x80, 0x80, 0x80));
    device_.StartOsziTimer();
}

void TOsziForm::FormDestroy()
{
    device_.StopOsziTimer();
    if (MainIni == nullptr)
        return;
    MainIni->WriteInteger(Section, "Scale", ComboScale->currentIndex());
    MainIni->WriteString(Section, "ScaleNumber", ScaleNumber->text());
    MainIni->WriteInteger(Section, "FormPosLeft", x());
    MainIni->WriteInteger(Section, "FormPosTop", y());
}

void TOsziForm::ComboScaleChange()
{
    ScaleNumber->setVisible(ComboScale->currentIndex() == 0);
}

void TOsziForm::ScaleNumberExit()
{
    scaleValue_ = ParseScopeScale(ScaleNumber->text());
    ScaleNumber->setText(GeneralText(scaleValue_, 7));
    ScaleNumber->setStyleSheet({});
}

void TOsziForm::ShowFrame(const int32_t* values)
{
    const int slot = std::clamp(MicroscopeState.FeedbackChannel.load() + FirstAdcSlotOffset, 0, ChannelSlotCount - 1);
    const TIOScale& ch = ChannelTable[static_cast<size_t>(slot)];
    const double factor = ch.Factor.load();
    scale_ =
        SimpleScopeScale(ComboScale->currentIndex(), scaleValue_, factor, ch.MaxRaw.load(), values, SimpleScopeSamples);
    Label2->setText(GeneralText(scale_.M * factor, 4));
    Label3->setText(GeneralText(scale_.C * factor, 4));

    picture_.fill(Qt::white);
    QPainter p(&picture_);
    p.setPen(QColor(0xC0, 0xC0, 0xC0));
    p.drawLine(0, 128, PictureSize, 128);
    const QColor blue(0, 0, 255);
    QPoint pen(0, SimpleScopeY(values[0], scale_).Y);
    if (pen.y() >= 1 && pen.y() < PictureSize) {
        p.setPen(blue);
        p.drawPoint(pen);
    }
    for (int i = 1; i < SimpleScopeSamples; ++i) {
        const TSimpleScopePoint pt = SimpleScopeY(values[i], scale_);
        const QPoint here(i, pt.Y);
        if (pt.Clip != 0) {
            // Marks on the edge the trace left by.
            p.setPen(Qt::red);
            p.drawPoint(i, pt.Clip < 0 ? 0 : PictureSize - 1);
        } else {
            p.setPen(blue);
            p.drawLine(pen, here);
        }
        pen = here;
    }
    p.end();
    update();
}

void TOsziForm::paintEvent(QPaintEvent* event)
{
    QWidget::paintEvent(event);
    QPainter p(this);
    p.drawImage(PictureLeft, PictureTop, picture_);
}

void TOsziForm::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    device_.StartOsziTimer();
}

void TOsziForm::closeEvent(QCloseEvent* event)
{
    device_.StopOsziTimer();
    QWidget::closeEvent(event);
}

} // namespace qvt
