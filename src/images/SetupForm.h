#pragma once
// The "Acquire" window: the only place where acquisition channels are
// switched on and off. One row per listed channel with a forward, a backward
// and a lift-pass box and the channel's label. Checking a box makes the
// channel's buffer and opens its image window; unchecking frees both. The
// choices are kept in [Window] of the main settings, so the windows of the
// last run come back at start.
//
// Window thread only. The scan and display threads are paused and held
// around every change (TChannelSwitcher); the scan threads learn what is
// wanted from the two summary flags.

#include "images/ChannelChoice.h"

#include <QCheckBox>
#include <QList>
#include <QPointer>
#include <QWidget>

#include <array>
#include <functional>
#include <memory>
#include <set>

class QLabel;
class QLineEdit;
class QMdiArea;
class QPushButton;
class QTimer;

namespace qvt {

class TChildForm;
class TDeviceWorkers;

// A check box that reports every change of its state, with itself.
class TMyCheckBox : public QCheckBox {
    Q_OBJECT

public:
    explicit TMyCheckBox(QWidget* parent = nullptr);
    // The running index of the box in the grid; -1 while the grid is torn down.
    int Tag = 0;

signals:
    void changed(TMyCheckBox* box);
};

class TSetupForm : public QWidget {
    Q_OBJECT

public:
    // Image windows go into `mdiArea` (top-level windows when null).
    TSetupForm(TDeviceWorkers& device, QMdiArea* mdiArea, QWidget* parent = nullptr);
    TSetupForm(std::unique_ptr<IChannelAcquisition> acquisition, QMdiArea* mdiArea, QWidget* parent = nullptr);
    ~TSetupForm() override;

    // Position from [Setup], the grid (which reopens the saved windows), the
    // main window's channel list. Set the hooks below first.
    void FormCreate();
    // Writes the position, and the settings of every open image window
    // (their boxes stay checked for the next start).
    void FormDestroy();

    // Builds the grid afresh from [Scale] and [Window]. A channel that stays
    // on keeps its buffer (the acquired data) and its windows; the others
    // are switched off or on, with the scan paused only then. Asked for
    // while a box is being handled, it runs once that is done.
    void BuildGrid();
    // Switches the box's channel plane on or off.
    void CheckBoxClick(TMyCheckBox* box);
    // Recomputes the summary flags; a checked lift box turns the first box on.
    void UpdateSummary();
    void CancelButtonClick();
    void Edit1Change();

    bool AnyFlyChecked = false;
    bool AnyBackwardChecked = false;
    int BoxCount = 0;
    // "Fwd", "Bwd", "fly"
    std::array<QString, ImagePlaneCount> PlaneSuffixes;

    // The box of slot/plane, null when its channel is not listed.
    TMyCheckBox* Box(int slot, int plane) const;
    const QList<TMyCheckBox*>& Boxes() const { return boxes_; }
    // The open image windows, oldest first.
    QList<TChildForm*> ImageWindows() const;
    QPushButton* CancelButton() const { return cancelButton_; }
    QLineEdit* Edit1() const { return edit1_; }
    TChannelSwitcher& Switcher() { return switcher_; }

    // The main window's FastSpeedButton is down. Unset: never.
    std::function<bool()> FastSpeedButtonDown;
    // The main window refills its channel combo box.
    std::function<void()> FillChannelComboBox;
    // A scan is being saved (a message box of the save may be open). A box
    // changed meanwhile is switched once the save is done, so the save
    // finds the buffers and windows it planned with. Unset: never.
    std::function<bool()> SaveUnderWay;
    // The 3D view lists the channels anew after a box changed.
    std::function<void()> ChannelsChanged;

signals:
    // After every change of the flags: the scan parameter window shows its
    // "Fly" page exactly when a lift box is checked.
    void summaryChanged(bool anyBackward, bool anyFly);

private:
    // Counts the handlers under way; the last one out runs a rebuild that
    // was asked for meanwhile.
    class TBusy {
    public:
        explicit TBusy(TSetupForm& form);
        ~TBusy();

    private:
        TSetupForm& form_;
    };

    // Switches the boxes changed during a save (or rebuilds the grid asked
    // for then), once it is done.
    void RunDeferredSwitches();

    void BuildControls();
    // Unchecks every box except those of the buffer indexes in `kept`, then
    // removes the boxes and labels.
    void TearDownGrid(const std::set<int>& kept);
    // The new box of a channel that stays on takes over its windows.
    void AdoptImageWindows(TMyCheckBox* box, const TChoiceChannel& channel, int plane);
    QList<TChildForm*> WindowsOf(int index) const;
    TMyCheckBox* MakeBox(int slot, int plane, int x, int y, const QString& hint);
    void OpenImageWindow(TMyCheckBox* box, const TBoxKey& key, int index);
    void CloseImageWindows(int index);
    QString LabelOf(int slot) const;

    std::unique_ptr<IChannelAcquisition> acquisition_;
    TChannelSwitcher switcher_;
    QPointer<QMdiArea> mdiArea_;

    QList<TMyCheckBox*> boxes_;
    QList<QWidget*> rowWidgets_; // labels and fast pictures
    std::vector<TChoiceChannel> channels_;
    QList<QPointer<TChildForm>> windows_;
    QPushButton* cancelButton_ = nullptr;
    QLineEdit* edit1_ = nullptr;

    QList<QPointer<TMyCheckBox>> deferred_;
    QTimer* deferredTimer_ = nullptr;
    int busy_ = 0;
    bool rebuildPending_ = false;
    bool saveRebuildPending_ = false;
    bool tearingDown_ = false;
};

extern TSetupForm* SetupForm;

} // namespace qvt
