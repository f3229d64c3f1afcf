#include "optics/CameraBackend.h"

#include "platform/CheckedWrite.h"

#include <QPainter>
#include <QTimer>

namespace qvt {

class TTestPatternCamera::View : public QWidget {
public:
    View(TTestPatternCamera& owner, QWidget* parent) : QWidget(parent), owner_(owner) {}

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        if (!owner_.connected_) {
            p.fillRect(rect(), Qt::black);
            return;
        }
        p.drawImage(rect(), TTestPatternCamera::Frame(owner_.frame_));
    }

private:
    TTestPatternCamera& owner_;
};

TTestPatternCamera::~TTestPatternCamera()
{
    // The view must not paint from this camera once it is gone.
    delete timer_;
    delete view_.data();
}

std::vector<TCameraDriver> TTestPatternCamera::Drivers()
{
    return {{"Test pattern camera", "1.0"}};
}

QWidget* TTestPatternCamera::CreatePreview(QWidget* parent)
{
    if (view_ == nullptr) {
        view_ = new View(*this, parent);
        timer_ = new QTimer;
        QObject::connect(timer_, &QTimer::timeout, view_.data(), [this] {
            ++frame_;
            view_->update();
        });
    }
    return view_;
}

bool TTestPatternCamera::Connect(int driver)
{
    if (driver != 0)
        return false;
    connected_ = true;
    return true;
}

bool TTestPatternCamera::Disconnect()
{
    if (timer_ != nullptr)
        timer_->stop();
    connected_ = false;
    if (view_ != nullptr)
        view_->update();
    return true;
}

bool TTestPatternCamera::GetCaps(TCameraCaps& caps)
{
    caps = {};
    return connected_;
}

bool TTestPatternCamera::VideoSize(QSize& size)
{
    size = {Width, Height};
    return connected_;
}

bool TTestPatternCamera::SetPreview(bool on)
{
    if (!connected_ || timer_ == nullptr)
        return false;
    if (on)
        timer_->start();
    else
        timer_->stop();
    return true;
}

bool TTestPatternCamera::SetPreviewRate(int ms)
{
    if (!connected_ || timer_ == nullptr || ms <= 0)
        return false;
    timer_->setInterval(ms);
    return true;
}

bool TTestPatternCamera::SaveFrame(const QString& path)
{
    return connected_ && WriteImageWhole(path, Frame(frame_), "BMP").isEmpty();
}

QImage TTestPatternCamera::Frame(int64_t frame)
{
    QImage image(Width, Height, QImage::Format_RGB32);
    QPainter p(&image);
    static const QColor bars[] = {Qt::white,   Qt::yellow, Qt::cyan, Qt::green,
                                  Qt::magenta, Qt::red,    Qt::blue, Qt::black};
    const int barWidth = Width / 8;
    const int shift = static_cast<int>(frame % Width);
    for (int i = 0; i < 9; ++i)
        p.fillRect((i * barWidth + shift) % (Width + barWidth) - barWidth, 0, barWidth, Height * 2 / 3, bars[i % 8]);
    p.fillRect(0, Height * 2 / 3, Width, Height / 3, QColor(60, 60, 60));
    // The wedge of a tip above the sample, drifting left and right.
    const int phase = static_cast<int>(frame % 200);
    const int tipX = 120 + (phase < 100 ? phase : 200 - phase) * 4;
    const QPoint wedge[] = {{tipX - 40, Height / 3}, {tipX + 40, Height / 3}, {tipX, Height * 2 / 3 - 4}};
    p.setBrush(QColor(180, 180, 190));
    p.setPen(Qt::black);
    p.drawPolygon(wedge, 3);
    p.setPen(Qt::white);
    p.drawText(10, Height - 10, QString("frame %1").arg(frame));
    return image;
}

} // namespace qvt
