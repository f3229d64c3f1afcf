// The navigator window: its tree, the point and zoom tools, the popup's
// moves on the simulated controller, the joystick, the memo and the script
// Run/Stop button.

#include "support/DriverLinkFixture.h"

#include "device/ChannelTable.h"
#include "motion/GoJoyThread.h"
#include "scan/ImageBuffers.h"
#include "device/InOutForm.h"
#include "scan/DeviceWorkers.h"
#include "motion/MoveEngine.h"
#include "images/ChildForm.h"
#include "navigator/SelForm.h"
#include "scan/ScanParaLogic.h"
#include "scan/ScanParaForm.h"
#include "scan/ScanStatus.h"
#include "images/ImageTools.h"
#include "script/ScriptRunner.h"

#include <QAction>
#include <QApplication>
#include <QDrag>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QDir>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QToolButton>
#include <QTreeWidget>

#include <cstdlib>
#include <numbers>

using namespace qvt;
using namespace qvt::test;

namespace {

class TFakeRunner : public IScriptRunner {
public:
    bool Active() const override { return active; }
    void Start(const QString& name, const QString& path) override
    {
        started << path + name;
        active = true;
    }
    void RequestStop() override { ++stops; }
    bool active = false;
    QStringList started;
    int stops = 0;
};

class SelFormTest : public DriverLinkFixture {
protected:
    void SetUp() override
    {
        DriverLinkFixture::SetUp();
        savedAbort_ = AbortFlag.load();
        AbortFlag = false;
        savedX_ = XSensitivity.load();
        savedY_ = YSensitivity.load();
        sim_ = PlugSim(FastConfig());
        for (int slot = 0; slot < DacCount; ++slot) {
            ChannelTable[slot].Address = -slot;
            ChannelTable[slot].Factor = 1.0f;
        }
        // 0.125 nm per digit on X and Y: the field is 8000 nm wide.
        ChannelTable[SlotX].Factor = 0.125f;
        ChannelTable[SlotY].Factor = 0.125f;
        XSensitivity = 0.125;
        YSensitivity = 0.125;
        device_ = std::make_unique<TInOutForm>();
        ASSERT_TRUE(device_->OpenDriver());
        device_->Caps.BoxVersion = 26;
        workers_ = std::make_unique<TDeviceWorkers>(*device_);
        workers_->Moves().MaxStep = 1000;
        form_ = std::make_unique<TSelForm>();
        form_->SetDevice(device_.get());
        form_->SetWorkers(workers_.get());
        form_->EnterScanText = [this](const QString& edit, const QString& text) {
            entered_ << edit + "=" + text;
            return true;
        };
        form_->LinkSpectroscopyHook = [this](bool linked, double x, double y) {
            links_ << (linked ? QString("%1,%2").arg(x).arg(y) : QString("none"));
        };
        form_->FormCreate();
    }
    void TearDown() override
    {
        form_.reset();
        workers_.reset(); // joins the joystick thread
        device_.reset();
        EXPECT_EQ(sim_->GuardViolationCount(), 0);
        XSensitivity = savedX_;
        YSensitivity = savedY_;
        AbortFlag = savedAbort_;
        DriverLinkFixture::TearDown();
    }

    static constexpr int32_t Settle = 40;
    // A caption "X | value" read back as its number.
    static double CaptionValue(const QTreeWidgetItem* item) { return item->text(0).mid(4).toDouble(); }

    // The move call returns once the tip is within a step; the test waits for the end.
    bool Arrived(int32_t x, int32_t y)
    {
        // The simulated scanner settles within a few digits of the target.
        return PumpUntil([&] {
            return std::abs(device_->ReadReg(ReadAddrX) - x) <= Settle &&
                   std::abs(device_->ReadReg(ReadAddrY) - y) <= Settle;
        });
    }

    QTreeWidgetItem* Child(QTreeWidgetItem* item, TNodeKind kind) { return TSelForm::ChildOfKind(item, kind); }

    std::shared_ptr<sim::SimController> sim_;
    std::unique_ptr<TInOutForm> device_;
    std::unique_ptr<TDeviceWorkers> workers_;
    std::unique_ptr<TSelForm> form_;
    QStringList entered_;
    QStringList links_;

private:
    bool savedAbort_ = false;
    double savedX_ = 1.0;
    double savedY_ = 1.0;
};

} // namespace

TEST_F(SelFormTest, TheTreeStartsWithTheScannerFieldAndKeepsItsFixedNodes)
{
    TSelForm& f = *form_;
    QTreeWidgetItem* root = f.RootNode();
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(f.TreeView1()->topLevelItemCount(), 1);
    EXPECT_EQ(root->text(0), "Max. ScanRange");
    ASSERT_EQ(root->child(0), f.CurrPositionNode());
    EXPECT_EQ(f.CurrPositionNode()->text(0), "CurrPosition");
    EXPECT_EQ(f.CurrPositionNode()->childCount(), 3);
    ASSERT_NE(Child(root, TNodeKind::Zoom), nullptr);
    // Without a calibration the field is the X output's span: 64000 digits × 0.125.
    EXPECT_EQ(Child(root, TNodeKind::Zoom)->text(0), "Zoom 100 % | 8000.000");
    EXPECT_NE(f.SelectedEntry(), nullptr);

    // Delete keeps the root, "CurrPosition" and the value nodes.
    for (QTreeWidgetItem* keep : {root, f.CurrPositionNode(), f.CurrPositionNode()->child(0)}) {
        f.Select(keep);
        f.DeleteSelectedNode();
    }
    EXPECT_EQ(f.TreeView1()->topLevelItemCount(), 1);
    EXPECT_EQ(f.CurrPositionNode()->childCount(), 3);
    // A zoom node goes.
    f.Select(Child(root, TNodeKind::Zoom));
    f.DeleteSelectedNode();
    EXPECT_EQ(Child(root, TNodeKind::Zoom), nullptr);

    // The popup offers nothing on the scanner field itself.
    f.Select(root);
    EXPECT_EQ(f.TreePopupPopup(), TGoCommand::None);
    EXPECT_FALSE(f.TreePopup()->actions().first()->isVisible());
}

TEST_F(SelFormTest, ThePointToolSetsThePointAndGoesThereOnTheController)
{
    TSelForm& f = *form_;
    f.Select(f.RootNode());
    // The button puts a point at the tip; a drag moves it.
    f.PointButton()->click();
    ASSERT_NE(Child(f.RootNode(), TNodeKind::Point), nullptr);
    EXPECT_EQ(links_.last(), "0,0");
    // At pixel (192, 64) of the 8000 nm field: 2000 nm right, 2000 nm up.
    f.Image1MouseDown(100, 100);
    f.Image1MouseMove(150, 80);
    f.Image1MouseUp(192, 64);
    TBild* bild = f.SelectedEntry();
    ASSERT_NE(bild, nullptr);
    EXPECT_EQ(bild->MarkerX, 192);
    EXPECT_EQ(bild->MarkerY, 64);
    EXPECT_DOUBLE_EQ(bild->PointX, 2000.0);
    EXPECT_DOUBLE_EQ(bild->PointY, 2000.0);
    ASSERT_FALSE(links_.isEmpty());
    EXPECT_EQ(links_.last(), "2000,2000");
    QTreeWidgetItem* point = Child(f.RootNode(), TNodeKind::Point);
    ASSERT_NE(point, nullptr);
    EXPECT_EQ(Child(point, TNodeKind::PointX)->text(0), "X | 2000.000");
    EXPECT_EQ(Child(point, TNodeKind::PointY)->text(0), "Y | 2000.000");

    // Go in X and Y: the tip arrives at 16000, 16000 digits.
    f.Select(point);
    EXPECT_EQ(f.TreePopupPopup(), TGoCommand::GoXY);
    EXPECT_EQ(f.TreePopup()->actions().first()->text(), "Go in X and Y");
    f.Goto1Click();
    EXPECT_TRUE(Arrived(16000, 16000));

    // Dragging on the "X" child moves the point in X only.
    f.Select(Child(point, TNodeKind::PointX));
    f.Image1MouseDown(64, 200);
    f.Image1MouseUp(64, 200);
    EXPECT_DOUBLE_EQ(bild->PointX, -2000.0);
    EXPECT_DOUBLE_EQ(bild->PointY, 2000.0);
    EXPECT_EQ(bild->MarkerY, 64);
    EXPECT_EQ(f.TreePopupPopup(), TGoCommand::GoX);
    f.Goto1Click();
    EXPECT_TRUE(Arrived(-16000, 16000));

    // Go in Z sets the point's Z through the Z output.
    bild->PointZ = -1234.0;
    f.Select(Child(point, TNodeKind::PointZ));
    EXPECT_EQ(f.TreePopupPopup(), TGoCommand::GoZ);
    f.Goto1Click();
    EXPECT_EQ(device_->ReadReg(ReadAddrZ), -1234);

    // The live position follows the controller.
    f.ShowCurrentPosition();
    EXPECT_NEAR(CaptionValue(Child(f.CurrPositionNode(), TNodeKind::CurrX)), -2000.0, Settle * 0.125);
    EXPECT_NEAR(CaptionValue(Child(f.CurrPositionNode(), TNodeKind::CurrY)), 2000.0, Settle * 0.125);
    EXPECT_EQ(Child(f.CurrPositionNode(), TNodeKind::CurrZ)->text(0), "Z | -1234.000");
    EXPECT_TRUE(boxes_.Texts().isEmpty());
}

TEST_F(SelFormTest, ANewPointStartsAtTheTipAndTheZoomSetsUpTheNextScan)
{
    TSelForm& f = *form_;
    workers_->GoToXYRaw(-8000, 4000);
    ASSERT_TRUE(Arrived(-8000, 4000));
    f.Select(f.RootNode());
    f.PointButtonClick();
    QTreeWidgetItem* point = Child(f.RootNode(), TNodeKind::Point);
    ASSERT_NE(point, nullptr);
    EXPECT_NEAR(CaptionValue(Child(point, TNodeKind::PointX)), -1000.0, Settle * 0.125);
    EXPECT_NEAR(CaptionValue(Child(point, TNodeKind::PointY)), 500.0, Settle * 0.125);
    EXPECT_NEAR(f.SelectedEntry()->MarkerX, 96, 1); // 128 - 1000 / 8000 × 256
    EXPECT_NEAR(f.SelectedEntry()->MarkerY, 112, 1);
    EXPECT_TRUE(f.PointButton()->isChecked());

    f.PointButton()->setChecked(false);
    f.SpeedButton3()->setChecked(true);
    QTreeWidgetItem* zoom = Child(f.RootNode(), TNodeKind::Zoom);
    f.Select(zoom);
    f.Image1MouseDown(160, 96);
    f.Image1MouseMove(160, 96);
    EXPECT_EQ(zoom->text(0), "Zoom ?");
    f.Image1MouseMove(176, 90);
    EXPECT_EQ(zoom->text(0), "Zoom 800 % | 1000.000");
    f.Image1MouseUp(192, 96);
    EXPECT_EQ(zoom->text(0), "Zoom 400 % | 2000.000");
    // Angle, centre and range, in this order, each applied with Enter.
    EXPECT_EQ(entered_, (QStringList{"Edit9=-90", "Edit7=1000", "Edit8=1000", "Edit3=2000"}));
    EXPECT_EQ(f.SelectedEntry()->ZoomRect, (std::array<int, 4>{128, 64, 192, 128}));

    // A click without a square asks for nothing.
    entered_.clear();
    f.Image1MouseDown(10, 10);
    f.Image1MouseUp(10, 10);
    EXPECT_TRUE(entered_.isEmpty());
    f.SpeedButton3DblClick();
    EXPECT_EQ(zoom->text(0), "Zoom 100 % | 8000.000");
}

TEST_F(SelFormTest, TheJoystickActsOnlyOnThePositionNodes)
{
    TSelForm& f = *form_;
    TGoJoyThread& joy = workers_->GoJoyThread();
    f.Select(f.RootNode());
    f.JoystickMove(256, 0, 0);
    EXPECT_TRUE(joy.Suspended());
    EXPECT_EQ(joy.VelocityX.load(), 0);

    // On "Y" only the y deflection counts.
    f.Select(Child(f.CurrPositionNode(), TNodeKind::CurrY));
    f.JoystickMove(128, 64, 30);
    EXPECT_EQ(joy.VelocityX.load(), 0);
    EXPECT_EQ(joy.VelocityY.load(), 64);
    EXPECT_EQ(joy.VelocityZ.load(), 0);
    EXPECT_TRUE(PumpUntil([&] { return device_->ReadReg(ReadAddrY) > 0; }));
    f.JoystickMove(0, 0, 0);
    ASSERT_TRUE(joy.WaitParked(10000));
    EXPECT_EQ(device_->ReadReg(ReadAddrX), 0);

    f.Select(f.CurrPositionNode());
    f.JoystickMove(-128, 0, 0);
    EXPECT_EQ(joy.VelocityX.load(), -128);
    EXPECT_TRUE(PumpUntil([&] { return device_->ReadReg(ReadAddrX) < 0; }));
    f.JoystickMove(0, 0, 0);
    ASSERT_TRUE(joy.WaitParked(10000));
}

TEST_F(SelFormTest, RecordPositionWritesTheMemoWithTheAuxChannelOnFour)
{
    TSelForm& f = *form_;
    workers_->GoToXYRaw(1000, -2000);
    ASSERT_TRUE(Arrived(1000, -2000));
    ini_->WriteInteger("Sel", "AUXChannel", -2); // read the X output back as AUX
    f.RecordPosition(1);
    f.RecordPosition(4);
    const QStringList lines = f.Memo1()->toPlainText().split('\n');
    ASSERT_EQ(lines.size(), 2);
    const QStringList first = lines[0].split('\t');
    const QStringList second = lines[1].split('\t');
    ASSERT_EQ(first.size(), 5);
    ASSERT_EQ(second.size(), 6);
    EXPECT_NEAR(first[1].toDouble(), 125.0, Settle * 0.125);
    EXPECT_NEAR(first[2].toDouble(), -250.0, Settle * 0.125);
    EXPECT_EQ(first[4], "1");
    EXPECT_EQ(second[4], "4");
    EXPECT_NEAR(second[5].toDouble(), 1000.0, Settle); // the X output read back raw
    EXPECT_EQ(f.InfoLabel()->text(), "Added current Data to the Memo.");
}

TEST_F(SelFormTest, RunStopFollowsTheScriptThreadsState)
{
    TSelForm& f = *form_;
    // Without the script thread the button is never usable.
    TempDir scripts;
    scripts.WriteFile("s.scr", "BEGIN END.");
    UserIni = ini_.get();
    f.ScriptChosen(scripts.Path() + "s.scr");
    EXPECT_EQ(f.SelectedKind(), TNodeKind::Script);
    EXPECT_EQ(f.TreeView1()->currentItem()->text(0), "Script :          s.scr");
    EXPECT_FALSE(f.RunStopButton()->isEnabled());

    TFakeRunner runner;
    f.ScriptRunner = &runner;
    f.UpdateMenuItems();
    EXPECT_TRUE(f.RunStopButton()->isEnabled());
    bool repeat = true;
    f.RepeatButtonDown = [&] { return repeat; };
    f.SetRepeatButton = [&](bool down) { repeat = down; };

    // No "data" folder: the message, and the button stays up.
    f.RunStopButton()->click();
    EXPECT_EQ(f.Memo1()->toPlainText(), "Directory \"./Data\" not found!");
    EXPECT_FALSE(f.RunStopButton()->isChecked());
    EXPECT_TRUE(runner.started.isEmpty());

    ASSERT_TRUE(QDir(AppDir).mkdir("data"));
    f.RunStopButton()->click();
    EXPECT_EQ(runner.started, QStringList{scripts.Path() + "s.scr"});
    EXPECT_TRUE(f.RunStopButton()->isChecked());

    // Running: Stop asks the thread, frees a wait for an image, restores the button.
    repeat = false;
    device_->PictureReadyEvent.Reset();
    f.RunStopButton()->click();
    EXPECT_EQ(runner.stops, 1);
    EXPECT_TRUE(f.Memo1()->toPlainText().endsWith("Try to stop Script! Please wait."));
    EXPECT_TRUE(device_->PictureReadyEvent.IsSet());
    EXPECT_TRUE(repeat);
    EXPECT_TRUE(f.RunStopButton()->isChecked()); // up only when the thread says it finished

    runner.active = false;
    f.RunStopButton()->click();
    EXPECT_TRUE(f.Memo1()->toPlainText().endsWith("Script is hanging?!"));
    f.ScriptFinished();
    EXPECT_FALSE(f.RunStopButton()->isChecked());
    runner.active = true;
    f.RunStopButton()->click();
    EXPECT_TRUE(f.Memo1()->toPlainText().endsWith("Script is already working?!"));
    UserIni = nullptr;
}

TEST_F(SelFormTest, AMissingScriptFolderFallsBackToTheProgramsScripts)
{
    TSelForm& f = *form_;
    UserIni = ini_.get();
    ini_->WriteString("Script", "PathToScript", "/no/such/folder");
    const QString folder = f.ScriptDialogFolder();
    EXPECT_EQ(folder, AppDir + "scripts");
    EXPECT_EQ(boxes_.LastText(), "Initial Directory does not exist!\r          Use default:\r" + AppDir + "scripts");
    EXPECT_EQ(ini_->ReadString("Script", "PathToScript", ""), AppDir + "scripts");
    UserIni = nullptr;
}

TEST_F(SelFormTest, ADroppedImageKeepsItsFrameAndUseParameterSetsIt)
{
    TSelForm& f = *form_;
    TIOScale scale;
    TDaten buffer;
    buffer.Scale = &scale;
    ASSERT_TRUE(buffer.AllocBuffers(32, 32));
    TChildForm image(buffer, 0);
    image.setWindowTitle("ADC1 Fwd");
    image.resize(200, 200);
    TScanParaForm para; // its mouse tools decide what a pull on the picture does
    ASSERT_EQ(ScanParaForm, &para);
    // The drop arrives on the list as the platform delivers it.
    int drags = 0;
    bool accepted = false;
    auto deliver = [&](const QMimeData* data) {
        QWidget* list = f.ListBox1()->viewport();
        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(list, &enter);
        QDropEvent drop(QPointF(5, 5), Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(list, &drop);
        accepted = drop.isAccepted();
    };
    TPaintablePanel::RunDrag = [&](QDrag& drag) {
        ++drags;
        deliver(drag.mimeData());
    };
    auto pull = [&](QWidget* w) {
        const auto send = [w](QEvent::Type type, QPoint p, Qt::MouseButton button, Qt::MouseButtons held) {
            QMouseEvent e(type, QPointF(p), QPointF(w->mapToGlobal(p)), button, held, Qt::NoModifier);
            QApplication::sendEvent(w, &e);
        };
        send(QEvent::MouseButtonPress, {20, 20}, Qt::LeftButton, Qt::LeftButton);
        send(QEvent::MouseMove, {60, 50}, Qt::NoButton, Qt::LeftButton);
        send(QEvent::MouseButtonRelease, {60, 50}, Qt::LeftButton, Qt::NoButton);
    };
    // With the Move tool a pull moves the frame, it starts no drag.
    para.ToolButtons()->Button(TMouseTool::Move)->click();
    pull(image.Panel2());
    EXPECT_EQ(drags, 0);
    // Anything else dropped on the list is refused.
    QMimeData text;
    text.setText("ADC1 Fwd");
    deliver(&text);
    EXPECT_FALSE(accepted);
    EXPECT_EQ(f.TreeView1()->topLevelItemCount(), 1);

    ScanParams.Range = 500.0f;
    ScanParams.XCenter = 100.0f;
    ScanParams.YCenter = -50.0f;
    ScanParams.Angle = static_cast<float>(std::numbers::pi); // 90° typed with the offset of 90°
    para.ToolButtons()->Button(TMouseTool::Drag)->click();
    pull(image.Panel2());
    TPaintablePanel::RunDrag = nullptr;
    EXPECT_EQ(drags, 1);
    EXPECT_TRUE(accepted);
    ScanParams.Range = 1000.0f;
    ScanParams.XCenter = 0.0f;
    ScanParams.YCenter = 0.0f;
    ScanParams.Angle = 0.0f;

    ASSERT_EQ(f.TreeView1()->topLevelItemCount(), 2);
    QTreeWidgetItem* entry = f.TreeView1()->topLevelItem(1);
    EXPECT_EQ(entry->text(0), "ADC1 Fwd  | 500.000");
    EXPECT_EQ(f.TreeView1()->currentItem(), entry);
    const TBild* bild = f.SelectedEntry();
    ASSERT_NE(bild, nullptr);
    EXPECT_EQ(bild->Bitmap.size(), QSize(256, 256));
    EXPECT_EQ(qRed(bild->DimBitmap.pixel(5, 5)), qRed(bild->Bitmap.pixel(5, 5)) >> 2);

    EXPECT_EQ(f.TreePopupPopup(), TGoCommand::UseParameter);
    EXPECT_EQ(f.TreePopup()->actions().first()->text(), "Use Parameter");
    f.Goto1Click();
    const double degrees = double(static_cast<float>(std::numbers::pi)) * 180.0 / std::numbers::pi - 90.0;
    EXPECT_EQ(entered_, (QStringList{"Edit9=" + FloatText(degrees), "Edit7=100", "Edit8=-50", "Edit3=500"}));

    // Its points are in its own frame: the centre pixel is its centre.
    const TPosition centre = f.PixelToPosition(128, 128);
    EXPECT_NEAR(centre.X, 100.0, 1e-9);
    EXPECT_NEAR(centre.Y, -50.0, 1e-9);
    // Deleting the entry takes its nodes with it.
    f.DeleteSelectedNode();
    EXPECT_EQ(f.TreeView1()->topLevelItemCount(), 1);
    buffer.FreeBuffers();
}

TEST_F(SelFormTest, TheScriptNodeOpensInTheEditorOnlyWhenTheFileIsThere)
{
    TSelForm& f = *form_;
    UserIni = ini_.get();
    TempDir scripts;
    f.ScriptChosen(scripts.Path() + "gone.scr");
    ASSERT_EQ(f.SelectedKind(), TNodeKind::Script);
    f.TreeView1DblClick();
    EXPECT_EQ(boxes_.LastText(), "Script gone.scrdoes not exist!");
    // An editor that cannot be started is reported.
    scripts.WriteFile("here.scr", "BEGIN END.");
    f.ScriptChosen(scripts.Path() + "here.scr");
    ini_->WriteString("Tools", "Editor", scripts.Path() + "no-such-editor");
    f.TreeView1DblClick();
    EXPECT_EQ(boxes_.LastText(), "Can`t start Editor!");
    UserIni = nullptr;
}

TEST_F(SelFormTest, TheTipIsDrawnWhereTheControllerHasIt)
{
    TSelForm& f = *form_;
    workers_->GoToXYRaw(16000, 0); // a quarter of the field right of the centre
    ASSERT_TRUE(Arrived(16000, 0));
    f.Select(f.RootNode());
    f.ShowCurrentPosition();
    const QImage drawn = f.DrawnImage();
    // A small red circle around pixel (192, 128); the centre stays grey.
    bool red = false;
    for (int y = 124; y <= 132; ++y)
        for (int x = 188; x <= 196; ++x)
            red = red || (qRed(drawn.pixel(x, y)) > 200 && qGreen(drawn.pixel(x, y)) < 100);
    EXPECT_TRUE(red);
    EXPECT_EQ(drawn.pixel(128, 128), QColor(128, 128, 128).rgb());
}

#include <QTest>

// Run is offered on a script only: with the script thread there, moving the
// selection to the scanner field or the position leaves it disabled.
TEST_F(SelFormTest, RunIsEnabledOnlyWhileAScriptIsSelected)
{
    TSelForm& f = *form_;
    TempDir scripts;
    scripts.WriteFile("s.scr", "BEGIN END.");
    UserIni = ini_.get();
    TFakeRunner runner;
    f.ScriptRunner = &runner;
    f.ScriptChosen(scripts.Path() + "s.scr");
    ASSERT_EQ(f.SelectedKind(), TNodeKind::Script);
    QTreeWidgetItem* script = f.TreeView1()->currentItem();
    EXPECT_TRUE(f.RunStopButton()->isEnabled());

    QTreeWidget* tree = f.TreeView1();
    tree->setFocus();
    QTest::keyClick(tree, Qt::Key_Home);
    ASSERT_EQ(tree->currentItem(), f.RootNode());
    EXPECT_FALSE(f.RunStopButton()->isEnabled());
    tree->setCurrentItem(f.CurrPositionNode());
    EXPECT_FALSE(f.RunStopButton()->isEnabled());
    tree->setCurrentItem(script);
    EXPECT_TRUE(f.RunStopButton()->isEnabled());
    UserIni = nullptr;
}
