#pragma once
// "LEDs": the brightness of the green and white illumination LEDs on the
// controller's bus and of the PWM-driven LED power, and the choice to hide
// the camera during scans. The camera window switches the LEDs with its own
// visibility.
//
// One instance, `LEDForm`, made at start-up and hidden, not freed, when closed.

#include <QWidget>

#include <functional>

class QCheckBox;
class QLabel;
class QScrollBar;

namespace qvt {

class TInOutForm;

// The main window hides the camera at the start of a scan when set.
extern bool CameraOffDuringScan;

class TLEDForm : public QWidget {
    Q_OBJECT

public:
    explicit TLEDForm(TInOutForm& link, QWidget* parent = nullptr);
    ~TLEDForm() override;

    // Position and layout from the main settings, the bars from the user
    // settings; the restored brightness is sent once the bars are set.
    void FormCreate();
    // Bars and position written.
    void FormDestroy();

    // Green then white; off sends brightness 0 for both.
    void SendLEDs(bool on);
    // The PWM power register (0 when off).
    void SetPower(bool on);
    // True once the window has been shown: the camera switches the LEDs only then.
    bool Realised() const { return realised_; }

    QScrollBar* ScrollBar(int i) const;
    QCheckBox* CheckBox1() const { return checkBox1_; }
    QLabel* PowerLabel() const { return label4_; }

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void BarChanged(int i);

    TInOutForm& link_;
    QScrollBar* bars_[3] = {};
    QLabel* label1_ = nullptr;
    QLabel* label2_ = nullptr;
    QLabel* label4_ = nullptr;
    QCheckBox* checkBox1_ = nullptr;
    bool loading_ = false;
    bool realised_ = false;
};

extern TLEDForm* LEDForm;

} // namespace qvt
