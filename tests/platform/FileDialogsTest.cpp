#include "platform/FileDialogs.h"

#include "platform/MessageBoxes.h"
#include "support/FileDialogAnswer.h"
#include "support/MessageLog.h"
#include "support/TestSupport.h"

#include <QWidget>
#include <gtest/gtest.h>

#include <thread>

using namespace qvt;

namespace {

using LogScope = test::MessageLogScope;

QString Unshown(const QString& title, const QString& why)
{
    return "Warning: File dialog \"" + title + "\" not shown (" + why + "): taken as cancelled";
}

} // namespace

TEST(FileDialogs, NobodyToAnswerTakesTheCancelAtOnceAndLogsTheTitle)
{
    // The tests run on the offscreen platform: no screen anybody could click on.
    LogScope log;
    QWidget parent;
    EXPECT_TRUE(GetSaveFileName(&parent, QString(), "/tmp/x.txt", "*.txt").isEmpty());
    EXPECT_TRUE(GetOpenFileName(&parent, "Open script", "/tmp", QString()).isEmpty());
    EXPECT_TRUE(GetExistingDirectory(&parent, QString(), "/tmp").isEmpty());
    // From a worker too: the window thread decides for it.
    QString fromWorker = "chosen";
    std::thread worker([&] { fromWorker = GetOpenFileName(nullptr, QString(), QString(), QString()); });
    EXPECT_TRUE(test::PumpUntil([&] { return log.Lines.size() == 4; }));
    worker.join();
    EXPECT_TRUE(fromWorker.isEmpty());
    StopShowingBoxes();
    EXPECT_TRUE(GetSaveFileName(&parent, "Save As", QString(), QString()).isEmpty());
    StopShowingBoxes(false);
    {
        const TNoModalBoxes remote;
        EXPECT_TRUE(GetSaveFileName(&parent, QString(), QString(), QString()).isEmpty());
    }
    EXPECT_EQ(log.Lines, (QStringList{Unshown("Save As", "no screen"), Unshown("Open script", "no screen"),
                                      Unshown("Find Directory", "no screen"), Unshown("Open", "no screen"),
                                      Unshown("Save As", "the program is ending"),
                                      Unshown("Save As", "a request from another program")}));
}

TEST(FileDialogs, ATestThatAnswersSeesTheDialogAndItsChoice)
{
    LogScope log;
    test::TempDir dir;
    const QString path = dir.Path() + "frame.txt";
    const test::FileDialogAnswer answer(path, "Text (*.txt)");
    QWidget parent;
    const TFileDialogChoice chosen = AskFile(&parent, {TFileDialogAsk::Kind::Save, QString(), dir.Path(),
                                                       "Bitmap (*.bmp);;Text (*.txt)", "Bitmap (*.bmp)", "txt"});
    EXPECT_EQ(answer.Count(), 1);
    EXPECT_EQ(chosen.Path, path);
    EXPECT_EQ(chosen.Filter, "Text (*.txt)");
    EXPECT_TRUE(log.Lines.isEmpty()) << log.Lines.join('\n').toStdString();
}
