#include "mainwindow/AboutQVTBox.h"

#include <QDialogButtonBox>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QVBoxLayout>

#include <utility>

namespace qvt {

TAboutQVTBox* AboutQVTBox = nullptr;

namespace {
constexpr uint32_t NoDriverBelow = 0x10000;

QString Halves(uint32_t word)
{
    return QString::number(word >> 16, 16).toUpper() + "." + QString::number(word & 0xFFFF, 16).toUpper();
}
} // namespace

TAboutTexts AboutTexts(uint32_t driverVersion, const TControllerCaps& caps, int32_t instance)
{
    TAboutTexts t;
    t.Driver = driverVersion < NoDriverBelow ? QString("Demo Mode") : "qvt.sys version: " + Halves(driverVersion);
    if (caps.Usb()) {
        t.Hardware = "HW: USB";
        if (instance >= 0)
            t.Hardware += QString::number(instance);
    } else {
        t.Hardware = "HW: SPM-Box " + QString::number(caps.BoxVersion);
    }
    if (caps.DigitalLockIn())
        t.Hardware += " Rev. " + QString::number(caps.BoxSubVersion);
    t.Program = "qvt.exe version: " + Halves(ProgramVersion);
    t.Mismatch = (driverVersion >> 16) != (ProgramVersion >> 16);
    return t;
}

TAboutQVTBox::TAboutQVTBox(TSource source, QWidget* parent) : QDialog(parent), source_(std::move(source))
{
    setObjectName("AboutQVTBox");
    setWindowTitle("About QVT");
    auto* layout = new QVBoxLayout(this);
    auto* panel = new QFrame(this);
    panel->setObjectName("Panel2");
    panel->setFrameShape(QFrame::StyledPanel);
    panel->setAutoFillBackground(true);
    panel2_ = panel;
    auto* inner = new QVBoxLayout(panel);
    label1_ = new QLabel(panel);
    label1_->setObjectName("Label1");
    label2_ = new QLabel(panel);
    label2_->setObjectName("Label2");
    label3_ = new QLabel(panel);
    label3_->setObjectName("Label3");
    inner->addWidget(new QLabel("<b>QVT</b>", panel));
    inner->addWidget(label1_);
    inner->addWidget(label2_);
    inner->addWidget(label3_);
    layout->addWidget(panel);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Cancel, this);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    Refresh();
    adjustSize();
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    if (AboutQVTBox == nullptr)
        AboutQVTBox = this;
}

TAboutQVTBox::~TAboutQVTBox()
{
    if (AboutQVTBox == this)
        AboutQVTBox = nullptr;
}

void TAboutQVTBox::Refresh()
{
    const uint32_t driver = source_.DriverVersion ? source_.DriverVersion() : 0;
    texts_ = AboutTexts(driver, source_.Caps, source_.InstanceNumber);
    label1_->setText(texts_.Hardware);
    label2_->setText(texts_.Driver);
    label3_->setText(texts_.Program);
    QPalette p = panel2_->palette();
    p.setColor(QPalette::Window, texts_.Mismatch ? QColor(Qt::red) : palette().color(QPalette::Window));
    panel2_->setPalette(p);
}

} // namespace qvt
