#include "optics/CameraForm.h"
#include "core/IniFile.h"
#include "core/SharedState.h"
#include "optics/CameraBackend.h"
#include "platform/MessageBoxes.h"
#include "support/FullDisk.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QFileInfo>
#include <QImage>
#include <QMenu>

using namespace qvt;
using namespace qvt::test;

namespace {

// A video input that does as it is told.
struct FakeCamera : ICameraBackend {
    struct State {
        int Drivers = 2;
        bool PreviewFails = false;
        bool ConnectFails = false;
        bool DisconnectFails = false;
        int Previews = 0;
        int Connects = 0;
        int Disconnects = 0;
        int Connected = -1;
        QSize Frame{320, 240};
        bool SaveFails = true;
        QStringList Saved;
    };
    explicit FakeCamera(State& s) : s_(s) {}
    std::vector<TCameraDriver> Drivers() override
    {
        std::vector<TCameraDriver> d;
        for (int i = 0; i < s_.Drivers; ++i)
            d.push_back({QString("Cam %1").arg(i), "1"});
        return d;
    }
    QWidget* CreatePreview(QWidget* parent) override
    {
        ++s_.Previews;
        return s_.PreviewFails ? nullptr : new QWidget(parent);
    }
    bool Connect(int n) override
    {
        ++s_.Connects;
        if (s_.ConnectFails)
            return false;
        s_.Connected = n;
        return true;
    }
    bool Disconnect() override
    {
        ++s_.Disconnects;
        if (s_.DisconnectFails)
            return false;
        s_.Connected = -1;
        return true;
    }
    bool GetCaps(TCameraCaps& caps) override
    {
        caps = {false, true, false};
        return true;
    }
    bool VideoSize(QSize& size) override
    {
        size = s_.Frame;
        return true;
    }
    bool SetPreview(bool) override { return true; }
    bool SetPreviewRate(int) override { return true; }
    bool SourceDialog() override { return false; }
    bool FormatDialog() override { return true; }
    bool DisplayDialog() override { return false; }
    bool SaveFrame(const QString& path) override
    {
        s_.Saved.append(path);
        return !s_.SaveFails;
    }
    State& s_;
};

class CameraFormTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        savedMain_ = MainIni;
        savedUser_ = UserIni;
        main_ = std::make_unique<TQVTIniFile>(dir_.Path() + "qvt.ini");
        user_ = std::make_unique<TQVTIniFile>(dir_.Path() + "user.ini");
        MainIni = main_.get();
        UserIni = user_.get();
    }
    void TearDown() override
    {
        form_.reset();
        MainIni = savedMain_;
        UserIni = savedUser_;
    }
    void Make()
    {
        form_ = std::make_unique<TCameraForm>(std::make_unique<FakeCamera>(cam_), nullptr);
        form_->FormCreate();
    }
    TempDir dir_;
    TQVTIniFile* savedMain_ = nullptr;
    TQVTIniFile* savedUser_ = nullptr;
    std::unique_ptr<TQVTIniFile> main_, user_;
    FakeCamera::State cam_;
    std::unique_ptr<TCameraForm> form_;
    ScriptedMessageResponder boxes_;
};

} // namespace

TEST_F(CameraFormTest, DriverEntriesConnectDisconnectAndSizeTheWindow)
{
    MainIni->WriteInteger("Tools", "CameraOption", 1);
    Make();
    form_->show();
    ASSERT_EQ(form_->DriverItems().size(), 2);
    EXPECT_EQ(cam_.Connected, 1);
    EXPECT_TRUE(form_->DriverItems()[1]->isChecked());
    EXPECT_EQ(form_->size(), QSize(2 * 3 + 320, 2 * 3 + 240 + 19));
    EXPECT_TRUE(form_->Item("Format")->isEnabled());
    EXPECT_FALSE(form_->Item("Source")->isEnabled());
    EXPECT_TRUE(form_->Item("SaveAs")->isEnabled());

    // Another entry: the first goes, the new one comes.
    form_->DriverClick(0);
    EXPECT_EQ(cam_.Connected, 0);
    EXPECT_EQ(form_->CameraOption, 0);
    EXPECT_FALSE(form_->DriverItems()[1]->isChecked());
    // The connected entry again: disconnected only.
    form_->DriverClick(0);
    EXPECT_EQ(cam_.Connected, -1);
    EXPECT_EQ(form_->CameraOption, -1);
    EXPECT_FALSE(form_->DriverItems()[0]->isChecked());
    form_->DriverClick(1);

    // Hide lets the driver go; show after it reconnects the same one.
    form_->hide();
    EXPECT_EQ(cam_.Connected, -1);
    form_->show();
    EXPECT_EQ(cam_.Connected, 1);
    EXPECT_EQ(cam_.Previews, 1) << "one preview widget for every connect";
    EXPECT_TRUE(boxes_.Texts().isEmpty());

    form_->AskSaveName = [] { return QString(); };
    form_->Item("SaveAs")->trigger();
    form_->AskSaveName = [] { return QString("/nonexistent/x.bmp"); };
    form_->Item("SaveAs")->trigger();
    EXPECT_EQ(boxes_.Texts(), (QStringList{"Canot save."}));
    // A bare name is saved as the bitmap it is; a name with an extension is kept.
    cam_.SaveFails = false;
    form_->AskSaveName = [] { return QString("/data/frame"); };
    form_->Item("SaveAs")->trigger();
    form_->AskSaveName = [] { return QString("/data/frame.dib"); };
    form_->Item("SaveAs")->trigger();
    EXPECT_EQ(cam_.Saved, (QStringList{"/nonexistent/x.bmp", "/data/frame.bmp", "/data/frame.dib"}));
    EXPECT_EQ(boxes_.Texts().size(), 1);
    form_->DisplayClick();
    EXPECT_EQ(boxes_.LastText(), "Cannot open menu VIDEODislay.");

    form_->FormDestroy();
    EXPECT_EQ(MainIni->ReadInteger("Tools", "CameraOption", -2), 1);
}

TEST_F(CameraFormTest, FailuresLeaveASmallWindowAndNoOption)
{
    {
        cam_.Drivers = 0;
        MainIni->WriteInteger("Tools", "CameraOption", 0);
        Make();
        form_->show();
        EXPECT_EQ(boxes_.Texts(), (QStringList{"Didn't find any cameras installed!"}));
        EXPECT_EQ(form_->CameraOption, -1) << "a stale option is dropped";
        form_.reset();
    }
    boxes_.Clear();
    cam_ = {};
    cam_.ConnectFails = true;
    Make();
    form_->show(); // the saved option 0 fails to connect
    EXPECT_EQ(form_->CameraOption, -1);
    form_->DriverClick(1);
    const QString failed = "Could not connect to the desired capture driver.";
    EXPECT_EQ(boxes_.Texts(), (QStringList{failed, failed}));
    EXPECT_EQ(form_->size(), QSize(200, 150));
    EXPECT_EQ(form_->CameraOption, -1);
    EXPECT_FALSE(form_->DriverItems()[1]->isChecked());
}

TEST(TestPatternCamera, PreviewsAMovingPictureAndSavesItAsABitmap)
{
    TempDir dir;
    TTestPatternCamera cam;
    QWidget parent;
    ASSERT_NE(cam.CreatePreview(&parent), nullptr);
    EXPECT_FALSE(cam.SaveFrame(dir.Path() + "none.bmp")) << "nothing to save before a connect";
    ASSERT_TRUE(cam.Connect(0));
    EXPECT_FALSE(cam.Connect(1));
    EXPECT_NE(TTestPatternCamera::Frame(0), TTestPatternCamera::Frame(25));
    const QString file = dir.Path() + "frame.bmp";
    ASSERT_TRUE(cam.SaveFrame(file));
    const QImage saved(file, "BMP");
    EXPECT_EQ(saved.size(), QSize(TTestPatternCamera::Width, TTestPatternCamera::Height));
}

TEST_F(CameraFormTest, AFullDiskLeavesTheBitmapSavedBeforeAsItWasAndIsToldOnce)
{
    MainIni->WriteInteger("Tools", "CameraOption", 0);
    form_ = std::make_unique<TCameraForm>(std::make_unique<TTestPatternCamera>(), nullptr);
    form_->FormCreate();
    form_->show();
    ASSERT_TRUE(form_->Item("SaveAs")->isEnabled());
    const QByteArray before = "a picture saved before";
    const QString path = dir_.WriteFile("frame.bmp", before);
    form_->AskSaveName = [path] { return path; };
    {
        const FullDisk full([path](const QString& written) { return written == path; });
        form_->Item("SaveAs")->trigger();
    }
    EXPECT_EQ(dir_.ReadFile("frame.bmp"), before);
    EXPECT_EQ(boxes_.Texts(), QStringList{"Canot save."});
    EXPECT_TRUE(HiddenFiles(dir_.Path()).isEmpty()) << "a temporary file was left";
    // Room again: the frame replaces it.
    form_->Item("SaveAs")->trigger();
    EXPECT_EQ(QImage(path, "BMP").size(), QSize(TTestPatternCamera::Width, TTestPatternCamera::Height));
    EXPECT_EQ(boxes_.Texts().size(), 1);
    form_->FormDestroy();
}

TEST_F(CameraFormTest, SaveAsAndTheDriverDialogsStayOffWhileNoDriverIsConnected)
{
    // No driver chosen yet: nothing to save, no driver to ask.
    Make();
    form_->show();
    for (const char* item : {"SaveAs", "Source", "Format", "Display"})
        EXPECT_FALSE(form_->Item(item)->isEnabled()) << item;

    // The operator picks a driver, then picks it again to let it go.
    form_->DriverItems()[1]->trigger();
    ASSERT_EQ(cam_.Connected, 1);
    EXPECT_TRUE(form_->Item("SaveAs")->isEnabled());
    form_->DriverItems()[1]->trigger();
    ASSERT_EQ(cam_.Connected, -1);
    EXPECT_FALSE(form_->Item("SaveAs")->isEnabled());

    // Closing the window lets the driver go too.
    form_->DriverItems()[0]->trigger();
    ASSERT_TRUE(form_->Item("SaveAs")->isEnabled());
    form_->hide();
    ASSERT_EQ(cam_.Connected, -1);
    EXPECT_FALSE(form_->Item("SaveAs")->isEnabled());
    EXPECT_TRUE(cam_.Saved.isEmpty());
}
