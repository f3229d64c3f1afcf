#pragma once
// "Crosshairs": the laser alignment display (TAlignmentModel) with its
// values panel, the laser switch and the options dialog "Crosshairs Options".

#include "motion/AlignmentModel.h"

#include <QDialog>
#include <QImage>
#include <QWidget>

#include <array>
#include <functional>

class QCheckBox;
class QLabel;
class QRadioButton;
class QTimer;
class QToolButton;

namespace qvt {

class TInOutForm;
class TCrosshairsForm;

class TCrosshairsOptionForm : public QDialog {
    Q_OBJECT

public:
    explicit TCrosshairsOptionForm(TCrosshairsForm& owner);
    ~TCrosshairsOptionForm() override;
    QCheckBox* ShowValsCheckbox() const { return showVals_; }
    QRadioButton* GainButton(int i) const { return gains_.at(static_cast<size_t>(i)); }

private:
    TCrosshairsForm& owner_;
    QCheckBox* showVals_ = nullptr;
    std::array<QRadioButton*, 4> gains_{};
};

class TCrosshairsForm : public QWidget {
    Q_OBJECT

public:
    explicit TCrosshairsForm(TInOutForm& link, QWidget* parent = nullptr);
    ~TCrosshairsForm() override;

    // Position, channels, the empty target; shown when [Main] "Crosshairsbutton"
    // of the user settings is set.
    void FormCreate();
    // Timer off, laser off, position and channels written.
    void FormDestroy();

    void ApplyOptions();
    void UpdateChannelLabels();
    void LaserButtonClick();
    // The Laser button down while the laser is on.
    void ShowLaserState();
    // One reading and one dot.
    void daten();

    // Set by app/: the laser switch, the contact-mode setpoint (physical
    // units of the Y channel) and the main window's Crosshairs button.
    std::function<void(bool on)> SetLaser;
    // Whether the laser is on now, whoever switched it (start, power saver, script).
    std::function<bool()> LaserOn;
    std::function<double()> ContactSetpoint;
    std::function<void(bool down)> SetMainButton;

    const TAlignmentModel& Model() const { return model_; }
    const QImage& Picture() const { return image_; }
    QLabel* ValueLabel(int i) const { return values_.at(static_cast<size_t>(i)); }
    QLabel* UnitLabel(int i) const { return units_.at(static_cast<size_t>(i)); }
    QWidget* ValuesPanel() const { return valuesPanel_; }
    QToolButton* LaserButton() const { return laserButton_; }
    QTimer* Timer1() const { return timer_; }
    TCrosshairsOptionForm* OptionForm() const { return options_; }
    int ChannelX = 2, ChannelY = 3, ChannelZ = 4;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void DisplayBackground();
    void ShowPicture();
    QColor Face() const;

    TInOutForm& link_;
    TAlignmentModel model_;
    QImage image_;
    QLabel* imageLabel_ = nullptr;
    QWidget* valuesPanel_ = nullptr;
    std::array<QLabel*, 3> values_{};
    std::array<QLabel*, 3> units_{};
    QToolButton* laserButton_ = nullptr;
    QTimer* timer_ = nullptr;
    TCrosshairsOptionForm* options_ = nullptr;
    bool created_ = false;
};

extern TCrosshairsForm* CrosshairsForm;
extern TCrosshairsOptionForm* CrosshairsOptionForm;

} // namespace qvt
