#pragma once
// The program run inside the test process (RunProgram, as main() runs it),
// so windows can be opened and edited as the operator does before it ends.

#include "support/TestSupport.h"

#include "app/Program.h"
#include "app/QvtApplication.h"
#include "core/IniFile.h"
#include "mainwindow/MainQVTForm.h"

#include <QAction>
#include <QTimer>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

namespace qvt::test {

// The value of `key` in `section` of a settings text; empty when absent.
inline QString Setting(const QString& text, const QString& section, const QString& key)
{
    bool inSection = false;
    for (QString line : text.split('\n')) {
        line = line.trimmed();
        if (line.startsWith('['))
            inSection = line.compare('[' + section + ']', Qt::CaseInsensitive) == 0;
        else if (inSection && line.section('=', 0, 0).trimmed().compare(key, Qt::CaseInsensitive) == 0)
            return line.section('=', 1);
    }
    return QString();
}

class ProgramInProcess : public ::testing::Test {
protected:
    using Clock = std::chrono::steady_clock;

    TempDir dir_;

    void SetUp() override
    {
        ASSERT_TRUE(CopyBundledSettings(dir_));
        // The sample far below the tip: the coarse steps toward it are safe.
        dir_.WriteFile(
            "ini/sim.ini",
            dir_.ReadFile("ini/sim.ini").replace("Mode=RealTime", "Mode=Fast").replace("Gap=0", "Gap=100000"));
        InstallShutdownOnSignals();
    }

    // Runs the program; `act` runs once StartUp is through, in the message loop.
    // Returns how long the program ran after `act`.
    std::chrono::milliseconds Run(const std::function<void()>& act)
    {
        Clock::time_point acted{};
        QTimer poll;
        poll.setInterval(5);
        QObject::connect(&poll, &QTimer::timeout, [&] {
            if (MainQVTForm == nullptr || MainIni == nullptr || !MainQVTForm->isVisible() ||
                !MainIni->ValueExists("Main", "DeviceDriverIOCTLFreq"))
                return;
            poll.stop();
            act();
            acted = Clock::now();
        });
        poll.start();
        EXPECT_EQ(RunProgram(dir_.Path(), {"qvt"}), 0);
        EXPECT_EQ(MainQVTForm, nullptr);
        EXPECT_NE(acted, Clock::time_point{}) << "StartUp never finished";
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - acted);
    }

public:
    // A menu command, as the operator gives it.
    static void Open(const char* item)
    {
        QAction* action = MainQVTForm->MenuItem(item);
        ASSERT_NE(action, nullptr) << item;
        action->setVisible(true);
        action->setEnabled(true);
        action->trigger();
    }
};

} // namespace qvt::test
