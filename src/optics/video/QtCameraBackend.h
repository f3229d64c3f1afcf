#pragma once
// The machine's video inputs through Qt Multimedia: the first four inputs as
// drivers, a video widget as the preview, our own choice of the formats the
// input offers, and the frame shown saved as a bitmap.

#include "optics/CameraBackend.h"

#include <QCameraDevice>
#include <QList>
#include <QMediaCaptureSession>
#include <QPointer>

#include <memory>

class QCamera;
class QVideoWidget;

namespace qvt {

class TQtCameraBackend : public ICameraBackend {
public:
    TQtCameraBackend();
    ~TQtCameraBackend() override;

    std::vector<TCameraDriver> Drivers() override;
    QWidget* CreatePreview(QWidget* parent) override;
    bool Connect(int driver) override;
    bool Disconnect() override;
    bool GetCaps(TCameraCaps& caps) override;
    bool VideoSize(QSize& size) override;
    bool SetPreview(bool on) override;
    bool SetPreviewRate(int ms) override;
    bool SourceDialog() override { return false; }
    bool FormatDialog() override;
    bool DisplayDialog() override { return false; }
    bool SaveFrame(const QString& path) override;

private:
    QList<QCameraDevice> inputs_;
    std::unique_ptr<QCamera> camera_;
    QMediaCaptureSession session_;
    QPointer<QVideoWidget> view_;
};

} // namespace qvt
