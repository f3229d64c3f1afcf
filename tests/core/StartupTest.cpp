#include "core/SharedState.h"
#include "core/Startup.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

using namespace qvt;

TEST(Startup, SettingsFileResolutionMatrix)
{
    test::TempDir dir;
    const QString app = dir.Path();
    EXPECT_EQ(SettingsBaseName({"qvt"}), "qvt");
    EXPECT_EQ(SettingsBaseName({"qvt", "lab2"}), "lab2");

    // Nothing there: no file, no driver name, no crash.
    EXPECT_TRUE(ResolveSettingsFile(app, "lab2").isEmpty());
    LoadDriverName(app, {"qvt", "lab2"});
    EXPECT_EQ(AppDir, app);
    EXPECT_TRUE(DeviceDriverName.isEmpty());

    // Only the fallback: used for any name.
    dir.WriteFile("ini/qvt.ini", "[Main]\r\nDeviceDriverName=SIMFALLBACK\r\n");
    EXPECT_EQ(ResolveSettingsFile(app, "lab2"), app + "ini/qvt.ini");
    LoadDriverName(app, {"qvt", "lab2"});
    EXPECT_EQ(DeviceDriverName, "SIMFALLBACK");

    // The named file in ini/ wins over the fallback, so the driver name comes
    // from the settings the main window will load.
    dir.WriteFile("ini/lab2.ini", "[Main]\r\nDeviceDriverName=SIMLAB2\r\n");
    EXPECT_EQ(ResolveSettingsFile(app, "lab2"), app + "ini/lab2.ini");
    LoadDriverName(app, {"qvt", "lab2"});
    EXPECT_EQ(DeviceDriverName, "SIMLAB2");

    // Beside the executable wins over ini/.
    dir.WriteFile("lab2.ini", "[main]\r\ndevicedrivername=\"SIMTOP\"\r\n");
    EXPECT_EQ(ResolveSettingsFile(app, "lab2"), app + "lab2.ini");
    LoadDriverName(app, {"qvt", "lab2"});
    EXPECT_EQ(DeviceDriverName, "SIMTOP");

    // A settings file without the key gives the default name.
    dir.WriteFile("other.ini", "garbage\x01\x02 no sections at all");
    LoadDriverName(app, {"qvt", "other"});
    EXPECT_EQ(DeviceDriverName, "QVT");
}

TEST(Startup, CreationOrderPutsTheDeviceWindowSecond)
{
    EXPECT_EQ(FormCreationOrder.size(), 33u);
    EXPECT_EQ(FormCreationIndex("TMainQVTForm"), 0);
    EXPECT_EQ(FormCreationIndex("TInOutForm"), 1);
    EXPECT_EQ(FormCreationIndex("TScanParaForm"), 6);
    EXPECT_EQ(FormCreationIndex("TMainFrameForm"), 32);
    EXPECT_EQ(FormCreationIndex("TChildForm"), -1); // made on demand, not at start
}
