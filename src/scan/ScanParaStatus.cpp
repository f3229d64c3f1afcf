// The parameter window's status display, mouse-tool buttons and the
// approach and retract buttons with their menus.

#include "core/IniFile.h"
#include "core/PerfCounter.h"
#include "core/SharedState.h"
#include "device/ChannelTable.h"
#include "device/InOutForm.h"
#include "motion/Approach.h"
#include "scan/ApproachMenus.h"
#include "scan/DeviceWorkers.h"
#include "scan/GoXYThread.h"
#include "scan/ScanParaForm.h"
#include "scan/ScanStatus.h"
#include "widgets/SteadyLayout.h"

#include <QBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QToolButton>

namespace qvt {

void TScanParaForm::BuildStatusControls(QBoxLayout* layout)
{
    auto* row = new QHBoxLayout;
    image1_ = new TZBar(this);
    row->addWidget(image1_);
    auto* column = new QVBoxLayout;
    auto* motion = new QHBoxLayout;
    upButton_ = new QToolButton(this);
    upButton_->setObjectName("UpButton");
    upButton_->setText("Up");
    upButton_->setPopupMode(QToolButton::MenuButtonPopup);
    downButton_ = new QToolButton(this);
    downButton_->setObjectName("DownButton");
    downButton_->setText("Down");
    downButton_->setPopupMode(QToolButton::MenuButtonPopup);
    connect(upButton_, &QToolButton::clicked, this, &TScanParaForm::RetractButtonClick);
    connect(downButton_, &QToolButton::clicked, this, &TScanParaForm::ApproachButtonClick);
    motion->addWidget(upButton_);
    motion->addWidget(downButton_);
    toolButtons_ = new TToolButtons(this);
    toolButtons_->RefreshImageWindowCursors = [this] {
        if (RefreshImageWindowCursors)
            RefreshImageWindowCursors();
    };
    motion->addWidget(toolButtons_);
    motion->addStretch();
    column->addLayout(motion);
    // An approach failure's reason can be long: it is cut short on the line,
    // whole in the tooltip, and never widens the dock the images sit beside.
    statusBar_ = new TElidedLabel(this);
    statusBar_->setObjectName("StatusBar");
    statusBar_->setFrameShape(QFrame::Panel);
    column->addWidget(statusBar_);
    row->addLayout(column);
    layout->addLayout(row);

    approachActions_ = std::make_unique<TWorkerApproachActions>([this] { return Workers(); });
    approachActions_->approachKi = [this] { return approachKi_; };
    approachActions_->toggleKi = [this] { Label19Click(); };
    approachActions_->refreshCoarse = [this] {
        if (RefreshCoarseWindow)
            RefreshCoarseWindow();
    };
    approachCommands_ = std::make_unique<TApproachCommands>(*approachActions_, ReadApproachMenus(nullptr));
}

int TScanParaForm::UsedTool() const
{
    return toolButtons_ != nullptr ? toolButtons_->UsedTool() : 0;
}

void TScanParaForm::BuildApproachMenus()
{
    approachCommands_ = std::make_unique<TApproachCommands>(*approachActions_, ReadApproachMenus(MainIni));
    const TApproachMenuModel& m = approachCommands_->Model();
    delete popupMenu1_;
    delete popupMenu2_;
    popupMenu2_ = new QMenu(this);
    popupMenu2_->setObjectName("PopupMenu2");
    for (int i = 0; i < m.Retract.size(); ++i) {
        QAction* a = popupMenu2_->addAction(m.Retract[i]);
        a->setCheckable(true);
        connect(a, &QAction::triggered, this, [this, i] {
            approachCommands_->RunRetractItem(i);
            ShowApproachMenus();
        });
    }
    popupMenu1_ = new QMenu(this);
    popupMenu1_->setObjectName("PopupMenu1");
    for (int i = 0; i < m.Approach.size(); ++i) {
        if (i == ApproachSeparator) {
            popupMenu1_->addSeparator();
            continue;
        }
        QAction* a = popupMenu1_->addAction(m.Approach[i]);
        a->setCheckable(true);
        connect(a, &QAction::triggered, this, [this, i] {
            approachCommands_->RunApproachItem(i);
            ShowApproachMenus();
        });
    }
    // PopupMenu1Popup: "Piezo" only while the piezo alone is retracted.
    connect(popupMenu1_, &QMenu::aboutToShow, this, &TScanParaForm::ShowApproachMenus);
    upButton_->setMenu(popupMenu2_);
    downButton_->setMenu(popupMenu1_);
    ShowApproachMenus();
}

void TScanParaForm::ShowApproachMenus()
{
    if (popupMenu1_ == nullptr || popupMenu2_ == nullptr)
        return;
    const TApproachCommands& c = *approachCommands_;
    const QList<QAction*> retract = popupMenu2_->actions();
    for (int i = 0; i < retract.size(); ++i)
        retract[i]->setChecked(i == c.CheckedRetract());
    const QList<QAction*> approach = popupMenu1_->actions();
    for (int i = 0; i < approach.size(); ++i) {
        approach[i]->setChecked(i == c.CheckedApproach());
        if (i == 0)
            approach[i]->setEnabled(c.PiezoApproachEnabled());
        else if (i >= ApproachSeparator)
            approach[i]->setEnabled(c.UserApproachEnabled());
    }
    upButton_->setToolTip(c.RetractHint());
    downButton_->setToolTip(c.ApproachHint());
}

void TScanParaForm::RetractButtonClick()
{
    approachCommands_->RetractButtonClick();
    ShowApproachMenus();
}

void TScanParaForm::StopMotions()
{
    approachCommands_->Stop();
}

void TScanParaForm::ApproachButtonClick()
{
    approachCommands_->ApproachButtonClick();
    ShowApproachMenus();
}

void TScanParaForm::StatusDisplayTick()
{
    TDeviceWorkers* workers = Workers();
    TInOutForm* device = Device();
    if (device != nullptr && device->IsOpen()) {
        const TDncStatus s = device->ReadDncStatus();
        const TIOScale& z = ChannelTable[SlotZ];
        const int32_t minRaw = z.MinRaw.load();
        const int32_t maxRaw = z.MaxRaw.load();
        if (maxRaw != minRaw) {
            const int p1 = ZBarPercent(s.Results[0], minRaw, maxRaw);
            const int p2 = ZBarPercent(s.Results[1], minRaw, maxRaw);
            if (DualZ && DualZ())
                image1_->ShowZBarDual(p1, p2, FastZBarPercent(s.Results[2]), FastZBarPercent(s.Results[3]));
            else
                image1_->ShowZBar(p1, p2);
        }
    }
    // A failed approach keeps its reason on the line until Z moves again.
    const char* failure = workers != nullptr ? workers->Approach().StatusText() : "";
    statusBar_->setText(*failure != 0 ? QString(failure) : ZStateText(MicroscopeState.ZState.load()));
    if (workers == nullptr)
        return;
    const TGoXYThread& scan = workers->GoXYThread();
    const bool running = !scan.Suspended();
    const QString hint = ImageTimeHint(running, ScanParams.LineTime.load(), ScanParams.Pixels.load(),
                                       ScanParams.CurrentLine.load(), scan.Direction.load(), PerfFrequency());
    if (ShowMainHint)
        ShowMainHint(hint);
    if (SetScanButtonHint)
        SetScanButtonHint(running ? "Stop Scan" : "Start Scan");
}

} // namespace qvt
