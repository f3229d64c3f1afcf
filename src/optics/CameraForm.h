#pragma once
// "Camera": the live picture of the microscope's optical camera, for seeing
// tip and sample while positioning. Its pop-up menu lists up to four video
// drivers; the one chosen previews into the window at 50 ms per frame and the
// window takes the size of its frames. Showing the window lights the LEDs,
// hiding it puts them out and lets the driver go.
//
// One instance, `CameraForm`, made at start-up and hidden, not freed, when closed.

#include <QWidget>

#include <functional>
#include <memory>

class QAction;
class QMenu;

namespace qvt {

class ICameraBackend;
class TLEDForm;

class TCameraForm : public QWidget {
    Q_OBJECT

public:
    static constexpr int MaxDrivers = 4;
    static constexpr int PreviewRateMs = 50;

    TCameraForm(std::unique_ptr<ICameraBackend> backend, TLEDForm* leds, QWidget* parent = nullptr);
    ~TCameraForm() override;

    // Position, option and visibility from the settings.
    void FormCreate();
    // Position and option written.
    void FormDestroy();

    void ListDrivers();
    bool ConnectDriver(int n);
    void FitToVideoFormat();
    void EnableDriverDialogs();
    void DriverClick(int n);
    void SourceClick();
    void FormatClick();
    void DisplayClick();
    void SaveAsClick();

    int CameraOption = -1;
    int FirstDriverItem = 0;
    bool DriversListed = false;
    int EdgeX = 3, EdgeY = 3;

    QMenu* PopupMenu1() const { return popup_; }
    QAction* Item(const QString& name) const;
    // The driver entries, in order.
    QList<QAction*> DriverItems() const;
    QWidget* Preview() const { return preview_; }

    // Set by app/: the main window's Camera button and its LED window command.
    std::function<void(bool down)> SetCameraButton;
    std::function<void()> ShowLEDForm;
    // The file name asked for by "Save as" (empty: cancelled); tests give their own.
    std::function<QString()> AskSaveName;

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void Inform(const QString& text);
    void UncheckDrivers();
    void PlacePreview();
    bool Disconnect();

    std::unique_ptr<ICameraBackend> backend_;
    TLEDForm* leds_;
    QWidget* panel1_ = nullptr;
    QWidget* preview_ = nullptr; // made once, reused by every connect
    QMenu* popup_ = nullptr;
    bool connected_ = false;
};

extern TCameraForm* CameraForm;

} // namespace qvt
