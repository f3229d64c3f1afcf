#include "view3d/A3DForm.h"

#include "app/CreateForms.h"
#include "core/IniFile.h"
#include "core/SharedState.h"
#include "core/Startup.h"
#include "images/ChildForm.h"
#include "mainwindow/MainQVTForm.h"
#include "platform/MessageBoxes.h"
#include "scan/DeviceWorkers.h"
#include "scan/GoXYThread.h"
#include "scan/ImageBuffers.h"
#include "scan/ScanParaForm.h"
#include "support/TestSupport.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QScrollBar>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

using namespace qvt;

namespace {

// The availability check of this test, the tests' own put back afterwards.
struct OpenGLScope {
    std::function<bool()> saved = TA3DForm::OpenGLAvailable;
    explicit OpenGLScope(bool available)
    {
        TA3DForm::OpenGLAvailable = [available] { return available; };
    }
    ~OpenGLScope() { TA3DForm::OpenGLAvailable = saved; }
};

struct MainIniScope {
    test::TempDir dir;
    TQVTIniFile ini{dir.Path() + "qvt.ini"};
    TQVTIniFile* previous = MainIni;
    MainIniScope() { MainIni = &ini; }
    ~MainIniScope() { MainIni = previous; }
};

// The program's windows on a copy of the bundled settings, the simulator on
// its fast clock.
bool CreateBundled(test::TempDir& dir, int& exitCode)
{
    if (!test::CopyBundledSettings(dir))
        return false;
    dir.WriteFile("ini/sim.ini", dir.ReadFile("ini/sim.ini").replace("Mode=RealTime", "Mode=Fast"));
    LoadDriverName(dir.Path(), {"qvt"});
    return CreateAllForms("qvt", exitCode);
}

// The surfaces asked for are built on the view's own thread: wait for them.
// The bound only proves the wait ends.
bool Settled(const TA3DForm& form, int boundMs = 20000)
{
    return test::PumpUntil([&] { return form.SurfaceSettled(); }, boundMs);
}

// An image window over a buffer whose picture rises to the right, with its
// acquisition box.
struct Window {
    TIOScale scale{"Topo", "nm"};
    TDaten buffer;
    QCheckBox box;
    std::unique_ptr<TChildForm> form;
    Window(int index, const QString& caption, bool checked, int pixels = 16)
    {
        buffer.Scale = &scale;
        EXPECT_TRUE(buffer.AllocBuffers(pixels, pixels));
        const TImageMatrixPtr m = buffer.Data();
        for (int y = 0; y < pixels; ++y)
            for (int x = 0; x < pixels; ++x)
                m->Store(y, x, 1000 * x + 7 * y);
        form = std::make_unique<TChildForm>(buffer, index);
        form->setWindowTitle(caption);
        form->ResizeImage();
        form->RecalcPictureRange();
        box.setChecked(checked);
        form->CheckBox = &box;
    }
};

} // namespace

TEST(A3DForm, WithoutOpenGLOnlyTheViewGoesAndItSaysSoWhenOpened)
{
    MainIniScope settings;
    settings.ini.WriteInteger("A3D", "Channel", 3);
    OpenGLScope gl(false);
    ScriptedMessageResponder boxes;
    TA3DForm form;
    form.FormCreate();
    // Creation asks nobody: a start without a screen must not wait on a box.
    EXPECT_TRUE(boxes.Texts().isEmpty());
    EXPECT_FALSE(form.GLAvailable());

    // Opened, with a picture to show, it says why it cannot and stays shut.
    Window w(3, "Topography Fwd", true);
    form.ImageWindows = [&] { return QList<TChildForm*>{w.form.get()}; };
    form.ShowView();
    ASSERT_EQ(boxes.Texts(), QStringList{"No OpenGL installed!"});
    EXPECT_EQ(boxes.Kinds().front(), MsgKind::Error);
    EXPECT_FALSE(form.isVisible());
    form.WMUpdateDisplay(false);
    EXPECT_TRUE(form.GrabScene().isNull());
    EXPECT_EQ(boxes.Texts().size(), 1);
}

TEST(A3DForm, TheProgramStartsWithoutOpenGLAndTellsWhenTheViewIsOpened)
{
    test::TempDir dir;
    OpenGLScope gl(false);
    ScriptedMessageResponder boxes;
    int exitCode = -1;
    ASSERT_TRUE(CreateBundled(dir, exitCode));
    EXPECT_EQ(exitCode, 0);
    EXPECT_TRUE(boxes.Texts().isEmpty());
    ASSERT_NE(MainQVTForm, nullptr);
    ASSERT_NE(A3DForm, nullptr);
    QAction* item = MainQVTForm->MenuItem("View3DItem");
    ASSERT_TRUE(item->isEnabled());
    item->trigger();
    EXPECT_EQ(boxes.Texts(), QStringList{"No OpenGL installed!"});
    EXPECT_FALSE(A3DForm->isVisible());
    EXPECT_TRUE(MainQVTForm->close());
    DestroyAllForms();
    EXPECT_EQ(A3DForm, nullptr);
}

TEST(A3DForm, FollowsTheChosenChannelAndForgetsAWindowThatWent)
{
    MainIniScope settings;
    settings.ini.WriteInteger("A3D", "Channel", 7);
    settings.ini.WriteInteger("A3D", "ScrollBar1Pos", 0);
    OpenGLScope gl(true);
    TA3DForm form;
    form.FormCreate();
    auto first = std::make_unique<Window>(3, "Topography Fwd", true);
    auto second = std::make_unique<Window>(7, "Error Fwd", true);
    Window off(9, "Current Fwd", false);
    form.ImageWindows = [&] {
        QList<TChildForm*> all{off.form.get(), first->form.get()};
        if (second)
            all.push_back(second->form.get());
        return all;
    };

    // Only windows whose box is checked are offered; [A3D] Channel picks one.
    form.FillChannelList();
    auto* combo = form.findChild<QComboBox*>("ChannelComboBox");
    ASSERT_NE(combo, nullptr);
    EXPECT_EQ(combo->count(), 2);
    EXPECT_EQ(form.Source(), second->form.get());
    EXPECT_EQ(form.windowTitle(), "3D View of Error Fwd");
    ASSERT_TRUE(Settled(form));
    ASSERT_EQ(form.Mesh().Size(), 16);
    // Scroll bar 0: gain 100, the right edge as high as the palette goes.
    const float top = form.Mesh().Height(5, 15);
    EXPECT_GT(top, 90.0f);

    form.ChannelComboBoxChange(0);
    EXPECT_EQ(form.Source(), first->form.get());
    EXPECT_EQ(settings.ini.ReadInteger("A3D", "Channel", -1), 3);

    // The z gain follows the scroll bar and is kept.
    form.findChild<QScrollBar*>("ScrollBar1")->setValue(99);
    EXPECT_EQ(settings.ini.ReadInteger("A3D", "ScrollBar1Pos", -1), 99);
    ASSERT_TRUE(Settled(form));
    EXPECT_NEAR(form.Mesh().Height(5, 15), top / 100.0f, 0.01f);

    // Its window closed, the view has no source and shows its toolbar again.
    form.HideToolbarItemClick();
    EXPECT_FALSE(form.ToolbarShown());
    first.reset();
    form.WMUpdateDisplay(true);
    form.Rebuild();
    EXPECT_EQ(form.Source(), nullptr);
    ASSERT_TRUE(Settled(form));
    EXPECT_TRUE(form.Mesh().Empty());
    EXPECT_TRUE(form.ToolbarShown());
}

TEST(A3DForm, OneFingerTurnsTheViewTwoZoomAndTheMouseWaitsMeanwhile)
{
    MainIniScope settings;
    OpenGLScope gl(false);
    ScriptedMessageResponder boxes;
    TA3DForm form;
    form.FormCreate();
    const auto at = [](int id, int x, int y, TouchPhase phase = TouchPhase::Move) {
        return TTouchPoint{id, QPointF(x, y), phase};
    };
    form.PanelTouch({at(1, 10, 10, TouchPhase::Down)});
    form.PanelTouch({at(1, 10, 60)});
    EXPECT_DOUBLE_EQ(form.View().RotierenX, 5.0);
    // A mouse drag meanwhile changes nothing.
    form.PanelMouseDown(Qt::LeftButton, Qt::ControlModifier, {0, 0});
    form.PanelMouseMove({300, 0});
    EXPECT_EQ(form.View().VerschiebenX, 0);
    form.PanelTouch({at(1, 10, 60), at(2, 50, 60, TouchPhase::Down)});
    form.PanelTouch({at(1, 10, 60), at(2, 90, 60)});
    EXPECT_EQ(form.View().VerschiebenZ, -460);
    EXPECT_DOUBLE_EQ(form.View().RotierenX, 5.0);
    form.PanelTouch({at(1, 10, 60, TouchPhase::Up), at(2, 90, 60, TouchPhase::Up)});
    EXPECT_FALSE(form.TouchActive());
}

TEST(A3DForm, APixelCountTypedInTheParameterWindowReshapesTheShownSurface)
{
    test::TempDir dir;
    OpenGLScope gl(true);
    ScriptedMessageResponder boxes;
    int exitCode = -1;
    ASSERT_TRUE(CreateBundled(dir, exitCode));
    StartUp();
    ASSERT_FALSE(MainQVTForm->ImageWindows().isEmpty());
    MainQVTForm->MenuItem("View3DItem")->trigger();
    A3DForm->FillChannelList();
    ASSERT_NE(A3DForm->Source(), nullptr);
    ASSERT_TRUE(Settled(*A3DForm));
    const int before = A3DForm->Mesh().Size();
    const int pixels = before == 64 ? 128 : 64;
    ASSERT_TRUE(ScanParaForm->EnterText("ComboBox1", QString::number(pixels)));
    EXPECT_EQ(A3DForm->Source()->Renderer().Bitmap().Height(), pixels);
    ASSERT_TRUE(Settled(*A3DForm));
    EXPECT_EQ(A3DForm->Mesh().Size(), pixels);
    EXPECT_TRUE(MainQVTForm->close());
    DestroyAllForms();
}

// A 2048-pixel frame scanned with the view open: the surface is built anew,
// on the view's own thread, as the lines come, and the one shown once the
// frame has ended is that frame's picture, point for point (the picture
// before the scan was the bundled empty one).
TEST(A3DForm, TheViewFollowsALargeFrameAndShowsItsPictureWhenItEnds)
{
    // A surface of four million points takes up to a minute to build under
    // the thread sanitizer on a busy machine.
    constexpr int LargeSurfaceBoundMs = 1200000;
    test::TempDir dir;
    OpenGLScope gl(true);
    ScriptedMessageResponder boxes;
    int exitCode = -1;
    ASSERT_TRUE(CreateBundled(dir, exitCode));
    MainQVTForm->show();
    StartUp();
    ASSERT_TRUE(ScanParaForm->EnterText("ComboBox1", "2048"));
    MainQVTForm->MenuItem("View3DItem")->trigger();
    A3DForm->FillChannelList();
    ASSERT_NE(A3DForm->Source(), nullptr);
    ASSERT_TRUE(Settled(*A3DForm, LargeSurfaceBoundMs));

    MainQVTForm->ScanButton()->click();
    ASSERT_TRUE(test::PumpUntil([] { return ScanParams.CurrentLine.load() > 1; }));
    // How many surfaces come during the frame depends on the machine's
    // speed; the one shown after it does not.
    ASSERT_TRUE(test::PumpUntil(
        [] { return DeviceWorkers->GoXYThread().Suspended() && !MainQVTForm->ScanButtonDown(); }, 1200000));
    ASSERT_TRUE(Settled(*A3DForm, LargeSurfaceBoundMs));

    const TIndexedBitmap& picture = A3DForm->Source()->Renderer().Bitmap();
    const TA3DMesh& mesh = A3DForm->Mesh();
    ASSERT_EQ(picture.Height(), 2048);
    ASSERT_EQ(mesh.Size(), 2048);
    const double gain = A3DForm->View().Gain();
    int wrong = 0;
    for (int i = 0; i < 2048; ++i)
        for (int j = 0; j < 2048; ++j)
            wrong += std::fabs(mesh.Height(i, j) - gain / 256.0 * picture.Row(i)[j]) > 1e-3;
    EXPECT_EQ(wrong, 0);
    EXPECT_TRUE(MainQVTForm->close());
    DestroyAllForms();
}

// The stored z gain position opens as stored up to the scroll bar's ends,
// and one beyond either end opens at that end.
TEST(A3DForm, TheStoredGainPositionIsTakenUpToItsEnds)
{
    const std::pair<int, int> cases[] = {{99, 99}, {100, 99}, {0, 0}, {-1, 0}};
    for (const auto& [stored, shown] : cases) {
        SCOPED_TRACE(stored);
        MainIniScope settings;
        settings.ini.WriteInteger("A3D", "ScrollBar1Pos", stored);
        OpenGLScope gl(false);
        TA3DForm form;
        form.FormCreate();
        EXPECT_EQ(form.View().ScrollBarPos, shown);
        EXPECT_EQ(form.findChild<QScrollBar*>("ScrollBar1")->value(), shown);
    }
}
