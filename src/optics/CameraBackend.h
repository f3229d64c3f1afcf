#pragma once
// The video inputs behind the camera window: drivers by number, one preview
// widget they draw into, the driver's dialogs and saving the frame shown.
// TTestPatternCamera stands in where no real video input is available.

#include <QImage>
#include <QPointer>
#include <QSize>
#include <QString>
#include <QWidget>

#include <memory>
#include <vector>

class QTimer;

namespace qvt {

struct TCameraDriver {
    QString Name;
    QString Version;
};

struct TCameraCaps {
    bool HasSource = false;
    bool HasFormat = false;
    bool HasDisplay = false;
};

class ICameraBackend {
public:
    virtual ~ICameraBackend() = default;
    virtual std::vector<TCameraDriver> Drivers() = 0;
    // The widget a connected driver previews into; null when it cannot be made.
    virtual QWidget* CreatePreview(QWidget* parent) = 0;
    virtual bool Connect(int driver) = 0;
    virtual bool Disconnect() = 0;
    virtual bool GetCaps(TCameraCaps& caps) = 0;
    virtual bool VideoSize(QSize& size) = 0;
    virtual bool SetPreview(bool on) = 0;
    virtual bool SetPreviewRate(int ms) = 0;
    virtual bool SourceDialog() = 0;
    virtual bool FormatDialog() = 0;
    virtual bool DisplayDialog() = 0;
    virtual bool SaveFrame(const QString& path) = 0;
};

// The camera's size for a frame: the edges around it and 19 for the caption.
inline QSize CameraWindowSize(int edgeX, int edgeY, QSize frame)
{
    return {2 * edgeX + frame.width(), 2 * edgeY + frame.height() + 19};
}

// A camera that looks at a test card: colour bars with a bright square and a
// tip-like wedge drifting across them, so a moving picture shows the preview
// runs. One driver, 640 x 480.
class TTestPatternCamera : public ICameraBackend {
public:
    static constexpr int Width = 640;
    static constexpr int Height = 480;

    ~TTestPatternCamera() override;
    std::vector<TCameraDriver> Drivers() override;
    QWidget* CreatePreview(QWidget* parent) override;
    bool Connect(int driver) override;
    bool Disconnect() override;
    bool GetCaps(TCameraCaps& caps) override;
    bool VideoSize(QSize& size) override;
    bool SetPreview(bool on) override;
    bool SetPreviewRate(int ms) override;
    bool SourceDialog() override { return false; }
    bool FormatDialog() override { return false; }
    bool DisplayDialog() override { return false; }
    bool SaveFrame(const QString& path) override;

    // The frame at the given frame count.
    static QImage Frame(int64_t frame);
    int64_t FrameCount() const { return frame_; }

private:
    class View;
    QPointer<QWidget> view_; // owned by the window it was put in
    QTimer* timer_ = nullptr;
    bool connected_ = false;
    int64_t frame_ = 0;
};

} // namespace qvt
