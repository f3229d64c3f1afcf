#include "optics/video/QtCameraBackend.h"

#include "platform/CheckedWrite.h"

#include <QCamera>
#include <QInputDialog>
#include <QMediaDevices>
#include <QVideoFrame>
#include <QVideoSink>
#include <QVideoWidget>

namespace qvt {

namespace {
constexpr int MaxInputs = 4;
constexpr float MinFrameRate = 20.0f;

QString FormatText(const QCameraFormat& f)
{
    return QString("%1 x %2, %3 fps").arg(f.resolution().width()).arg(f.resolution().height()).arg(f.maxFrameRate());
}

// The largest picture that still previews smoothly.
QCameraFormat PreferredFormat(const QCameraDevice& device)
{
    QCameraFormat best;
    for (const QCameraFormat& f : device.videoFormats()) {
        if (f.maxFrameRate() < MinFrameRate)
            continue;
        const QSize r = f.resolution();
        if (best.isNull() || r.width() * r.height() > best.resolution().width() * best.resolution().height())
            best = f;
    }
    return best;
}
} // namespace

TQtCameraBackend::TQtCameraBackend() : inputs_(QMediaDevices::videoInputs().mid(0, MaxInputs)) {}

TQtCameraBackend::~TQtCameraBackend()
{
    Disconnect();
}

std::vector<TCameraDriver> TQtCameraBackend::Drivers()
{
    std::vector<TCameraDriver> list;
    for (const QCameraDevice& d : inputs_)
        list.push_back({d.description(), QString::fromUtf8(d.id())});
    return list;
}

QWidget* TQtCameraBackend::CreatePreview(QWidget* parent)
{
    if (view_ == nullptr)
        view_ = new QVideoWidget(parent);
    return view_;
}

bool TQtCameraBackend::Connect(int driver)
{
    if (driver < 0 || driver >= inputs_.size() || view_ == nullptr)
        return false;
    Disconnect();
    camera_ = std::make_unique<QCamera>(inputs_[driver]);
    const QCameraFormat format = PreferredFormat(inputs_[driver]);
    if (!format.isNull())
        camera_->setCameraFormat(format);
    session_.setCamera(camera_.get());
    session_.setVideoOutput(view_.data());
    return camera_->error() == QCamera::NoError;
}

bool TQtCameraBackend::Disconnect()
{
    if (camera_ == nullptr)
        return true;
    camera_->stop();
    session_.setCamera(nullptr);
    camera_.reset();
    return true;
}

bool TQtCameraBackend::GetCaps(TCameraCaps& caps)
{
    caps = {};
    if (camera_ == nullptr)
        return false;
    caps.HasFormat = !camera_->cameraDevice().videoFormats().isEmpty();
    return true;
}

bool TQtCameraBackend::VideoSize(QSize& size)
{
    if (camera_ == nullptr)
        return false;
    size = camera_->cameraFormat().resolution();
    return size.isValid();
}

bool TQtCameraBackend::SetPreview(bool on)
{
    if (camera_ == nullptr)
        return false;
    if (on)
        camera_->start();
    else
        camera_->stop();
    return camera_->error() == QCamera::NoError;
}

bool TQtCameraBackend::SetPreviewRate(int ms)
{
    // The input sets its own pace (at least 20 fps was chosen); the widget shows every frame.
    return camera_ != nullptr && ms > 0;
}

bool TQtCameraBackend::FormatDialog()
{
    if (camera_ == nullptr)
        return false;
    const QList<QCameraFormat> formats = camera_->cameraDevice().videoFormats();
    if (formats.isEmpty())
        return false;
    QStringList items;
    int current = 0;
    for (int i = 0; i < formats.size(); ++i) {
        items << FormatText(formats[i]);
        if (formats[i] == camera_->cameraFormat())
            current = i;
    }
    bool ok = false;
    const QString chosen = QInputDialog::getItem(view_, "Format", "Video format", items, current, false, &ok);
    if (ok)
        camera_->setCameraFormat(formats[static_cast<int>(items.indexOf(chosen))]);
    return true;
}

bool TQtCameraBackend::SaveFrame(const QString& path)
{
    if (camera_ == nullptr || view_ == nullptr || view_->videoSink() == nullptr)
        return false;
    const QImage image = view_->videoSink()->videoFrame().toImage();
    return WriteImageWhole(path, image, "BMP").isEmpty();
}

} // namespace qvt
