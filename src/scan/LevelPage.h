#pragma once
// The "Level" and "Fly" pages of the parameter window: the plane the
// controller subtracts while scanning (off, fixed or fitted by the scan),
// its two slopes typed or dragged, and the lift pass's height and mode.

#include "scan/Levelling.h"

#include <QObject>

#include <functional>

class QGroupBox;
class QLabel;
class QRadioButton;
class QTabWidget;
class QWidget;

namespace qvt {

class TInOutForm;
class TDeviceWorkers;
class TNumericEdit;

class TLevelPage : public QObject {
    Q_OBJECT

public:
    TLevelPage(QTabWidget* pages, std::function<TInOutForm*()> device, std::function<TDeviceWorkers*()> workers,
               QObject* parent = nullptr);

    // Degree scale, stored mode and slopes, fly height.
    void FormCreate();
    void FormDestroy();

    void UpdateLevel();
    int Mode() const { return mode_; }
    void LevelRadioGroup1Click(int mode);
    void Label18Click(); // the slider moves dz/dx
    void Label22Click(); // the slider moves dz/dy
    void LabelDblClick(int tag);
    void Edit12KeyPress(bool enter);
    void Image3MouseDown(int x);
    void Image3MouseMove(int x);
    void Image3MouseUp(int x);
    void Edit14KeyPress(bool enter);
    // Z's span changed (a scale reload): the lift height is limited again as
    // at Enter; a height it changes is shown and stored.
    void ReapplyFlyHeight();
    void RadioButtonClick(int mode); // 0 "Off", 1 "Line wise", 2 "Now"

    bool InDegrees() const { return inDegrees_; }
    double AngleX() const { return angleX_; }
    double AngleY() const { return angleY_; }

    QLabel* Label18 = nullptr;
    QLabel* Label22 = nullptr;
    TNumericEdit* Edit12 = nullptr;
    QWidget* Image3 = nullptr;
    TNumericEdit* Edit14 = nullptr;
    std::array<QRadioButton*, 3> Modes{};    // off, fixed, auto
    std::array<QRadioButton*, 3> FlyModes{}; // Off, Line wise, Now

private:
    void DegreeScale();
    void Show();
    double& Active();

    std::function<TInOutForm*()> device_;
    std::function<TDeviceWorkers*()> workers_;
    QTabWidget* pages_;
    QWidget* flyPage_ = nullptr;
    int mode_ = LevelOff;
    bool inDegrees_ = false;
    double angleX_ = 0, angleY_ = 0;
    bool yActive_ = false;
    int edit12Tag_ = 0;
    double dragBase_ = 0;
    bool dragging_ = false;
    double dx_ = 0, dy_ = 0; // working copies of ScanParams' slopes
    double flyApplied_ = 0;
};

} // namespace qvt
