#include "view3d/A3DForm.h"

#include "app/CreateForms.h"
#include "core/IniFile.h"
#include "core/SharedState.h"
#include "core/Startup.h"
#include "images/ChildForm.h"
#include "mainwindow/MainQVTForm.h"
#include "platform/MessageBoxes.h"
#include "scan/ImageBuffers.h"
#include "scan/ScanParaForm.h"
#include "support/TestSupport.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QScrollBar>
#include <QTest>

#include <gtest/gtest.h>

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
    EXPECT_EQ(qobject_cast<QOpenGLWidget*>(form.Panel()), nullptr);
}

TEST(A3DForm, TheProgramStartsWithoutOpenGLAndTellsWhenTheViewIsOpened)
{
    test::TempDir dir;
    ASSERT_TRUE(test::CopyBundledSettings(dir));
    dir.WriteFile("ini/sim.ini", dir.ReadFile("ini/sim.ini").replace("Mode=RealTime", "Mode=Fast"));
    OpenGLScope gl(false);
    ScriptedMessageResponder boxes;
    LoadDriverName(dir.Path(), {"qvt"});
    int exitCode = -1;
    ASSERT_TRUE(CreateAllForms("qvt", exitCode));
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
    EXPECT_NEAR(form.Mesh().Height(5, 15), top / 100.0f, 0.01f);

    // Its window closed, the view has no source and shows its toolbar again.
    form.HideToolbarItemClick();
    EXPECT_FALSE(form.ToolbarShown());
    first.reset();
    form.WMUpdateDisplay(true);
    form.Rebuild();
    EXPECT_EQ(form.Source(), nullptr);
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
    ASSERT_TRUE(test::CopyBundledSettings(dir));
    dir.WriteFile("ini/sim.ini", dir.ReadFile("ini/sim.ini").replace("Mode=RealTime", "Mode=Fast"));
    OpenGLScope gl(true);
    ScriptedMessageResponder boxes;
    LoadDriverName(dir.Path(), {"qvt"});
    int exitCode = -1;
    ASSERT_TRUE(CreateAllForms("qvt", exitCode));
    StartUp();
    ASSERT_FALSE(MainQVTForm->ImageWindows().isEmpty());
    MainQVTForm->MenuItem("View3DItem")->trigger();
    A3DForm->FillChannelList();
    ASSERT_NE(A3DForm->Source(), nullptr);
    const int before = A3DForm->Mesh().Size();
    const int pixels = before == 64 ? 128 : 64;
    ASSERT_TRUE(ScanParaForm->EnterText("ComboBox1", QString::number(pixels)));
    EXPECT_EQ(A3DForm->Source()->Renderer().Bitmap().Height(), pixels);
    EXPECT_EQ(A3DForm->Mesh().Size(), pixels);
    EXPECT_TRUE(MainQVTForm->close());
    DestroyAllForms();
}
