#pragma once
// "Joystick": a USB joystick as a motion input. The device is chosen in the
// list (and found again by part of its product name); each report is shown
// as dots on a pad and as a tree of its bytes, and moves the tip through the
// navigator with the feedback off, or steps the coarse motors through the
// coarse window's buttons with it on.
//
// One instance, `JoystickForm`, made at start-up; window thread only (reports
// arrive there).

#include "motion/JoystickLogic.h"

#include <QImage>
#include <QWidget>

#include <functional>
#include <memory>

class QLabel;
class QListWidget;
class QTreeWidget;

namespace qvt {

class IHidBackend;
class TCoarseForm;
class TJvHidDevice;
class TJvHidDeviceController;

class TJoystickForm : public QWidget {
    Q_OBJECT

public:
    static constexpr int PadSize = 256;

    // Without a backend the device list stays empty.
    explicit TJoystickForm(std::shared_ptr<IHidBackend> backend, QWidget* parent = nullptr);
    ~TJoystickForm() override;

    // [Joystick] read; without "Use" no device is ever listed.
    void FormCreate();
    // Device detached, position written.
    void FormDestroy();

    void HidCtlDeviceChange();
    void DevListBoxClick(int row);
    void HidCtlDeviceDataError(TJvHidDevice& device, int code);
    void ShowRead(TJvHidDevice& device, uint8_t reportId, const uint8_t* data, int size);

    // Set by app/: the navigator's tip move and point list; the coarse window.
    std::function<void(int dx, int dy, int dz)> JoystickMove;
    std::function<void(int n)> AddCurrentPosition;
    TCoarseForm* Coarse = nullptr;
    // The clock in days (tests give their own).
    std::function<double()> NowDays;

    QListWidget* DevListBox() const { return devList_; }
    QTreeWidget* TreeView1() const { return tree_; }
    const QImage& Pad() const { return pad_; }
    void ClearPad();
    TJvHidDeviceController* HidCtl() const { return hidCtl_; }
    TJvHidDevice* Selected() const { return selected_; }
    const TJoystickController* Controller() const { return controller_.get(); }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void ShowReport(uint8_t reportId, const uint8_t* data, int size);
    void Detach();

    std::shared_ptr<IHidBackend> backend_;
    TJvHidDeviceController* hidCtl_ = nullptr;
    QListWidget* devList_ = nullptr;
    QTreeWidget* tree_ = nullptr;
    QLabel* image1_ = nullptr;
    QImage pad_;
    QStringList byteNames_;
    QString joyName_;
    TJvHidDevice* selected_ = nullptr;
    std::unique_ptr<TJoystickController> controller_;
    int treeNodes_ = -1;
};

extern TJoystickForm* JoystickForm;

} // namespace qvt
