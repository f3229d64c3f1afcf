#include "app/QvtApplication.h"
#include "mainwindow/ErrorLog.h"
#include "platform/MessageBoxes.h"

#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QThread>
#include <gtest/gtest.h>

#include <thread>

using namespace qvt;

TEST(AppException, IsShownAndLoggedWithItsSenderAlsoWhenRaisedInAWorker)
{
    test::TempDir dir;
    dir.WriteFile("error.log", "");
    ScriptedMessageResponder boxes;
    TAppErrorHandler& handler = AppErrorHandler();
    const QString savedPath = handler.LogPath;
    handler.LogPath = dir.Path() + "error.log";

    QObject scanButton;
    scanButton.setObjectName("ScanButton");
    ReportAppException("Range check error", &scanButton);
    EXPECT_EQ(boxes.LastText(), "Range check error");
    EXPECT_EQ(boxes.Kinds().value(0), MsgKind::Error);
    EXPECT_TRUE(dir.ReadFile("error.log").endsWith("\tRange check error\tScanButton\t0000000000\r\n"));

    // From another thread the window thread shows it.
    std::thread worker([] { ReportAppException("Access violation", nullptr); });
    worker.join();
    for (int i = 0; i < 500 && boxes.Texts().size() < 2; ++i) {
        QCoreApplication::processEvents();
        QThread::msleep(2);
    }
    EXPECT_EQ(boxes.LastText(), "Access violation");
    EXPECT_TRUE(dir.ReadFile("error.log").endsWith("\tAccess violation\t0000000000\r\n"));
    handler.LogPath = savedPath;
}
