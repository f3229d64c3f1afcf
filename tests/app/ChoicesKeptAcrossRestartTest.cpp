// Choices the operator makes that are stored as pairs or in one of several
// keys: each member changed on its own, File > Exit, a new start, and every
// member read back, so a value stored under its neighbour's key shows.

#include "app/ProgramInProcess.h"

#include "core/SharedState.h"
#include "lockin/MultiLockInForm.h"
#include "scan/FeedbackForm.h"
#include "view3d/A3DForm.h"

#include <QCheckBox>
#include <QPushButton>
#include <QTest>

using namespace qvt;
using namespace qvt::test;

namespace {

// The multi lock-in's output route buttons, second and third lock-in: their
// caption names the output in use.
QList<QPushButton*> RouteButtons()
{
    QList<QPushButton*> routes;
    for (QPushButton* b : MultiLockInForm->findChildren<QPushButton*>())
        if (b->text().startsWith("use\nHF"))
            routes << b;
    return routes;
}

QString RouteCaptions()
{
    QStringList captions;
    for (const QPushButton* b : RouteButtons())
        captions << b->text().mid(4);
    captions.sort();
    return captions.join(' ');
}

void PressByKeyboard(QAbstractButton* button)
{
    ASSERT_NE(button, nullptr);
    button->window()->show();
    QCoreApplication::processEvents();
    ASSERT_TRUE(button->isVisible() && button->isEnabled()) << button->text().toStdString();
    QTest::keyClick(button, Qt::Key_Space);
}

QString Rotation()
{
    const TA3DView& v = A3DForm->View();
    return QString("x %1 y %2 z %3").arg(v.RotierenX).arg(v.RotierenY).arg(v.RotierenZ);
}

class ChoicesKeptAcrossRestart : public ProgramInProcess {
protected:
    void SetUp() override
    {
        ProgramInProcess::SetUp();
        // A type-29 controller: the feedback window offers its z correction.
        dir_.WriteFile("ini/sim.ini", dir_.ReadFile("ini/sim.ini").replace("Type=26", "Type=29"));
        // The second and third lock-in shown, with their output routes.
        dir_.WriteFile("ini/qvt.ini",
                       dir_.ReadFile("ini/qvt.ini").replace("[MultiLockin]", "[MultiLockin]\r\nAmpl2and3Visible=1"));
    }
};

} // namespace

TEST_F(ChoicesKeptAcrossRestart, RoutesZCorrectionAndViewTurnsEachComeBackInTheirOwnPlace)
{
    QString routes;
    QString rotation;
    Run([&] {
        ASSERT_TRUE(MultiLockInPresent);
        ASSERT_EQ(RouteButtons().size(), 2);
        EXPECT_EQ(RouteCaptions().toStdString(), "HF0 HF1");
        // The third lock-in's route alone changed: the second's stays.
        QPushButton* third = nullptr;
        for (QPushButton* b : RouteButtons())
            if (b->text() == "use\nHF1")
                third = b;
        PressByKeyboard(third);
        routes = RouteCaptions();
        EXPECT_EQ(routes.toStdString(), "HF0 HF3");

        auto* correctZ = feedbackForm->findChild<QCheckBox*>("CheckBox3");
        ASSERT_NE(correctZ, nullptr);
        ASSERT_FALSE(correctZ->isChecked());
        PressByKeyboard(correctZ);
        EXPECT_TRUE(correctZ->isChecked());

        // A drag turns the view about X and Z; about Y it stays as it was.
        const TA3DView before = A3DForm->View();
        A3DForm->PanelMouseDown(Qt::LeftButton, {}, {100, 100});
        A3DForm->PanelMouseMove({130, 150});
        A3DForm->PanelMouseUp();
        EXPECT_DOUBLE_EQ(A3DForm->View().RotierenX, before.RotierenX + 5.0);
        EXPECT_NE(A3DForm->View().RotierenZ, before.RotierenZ);
        EXPECT_EQ(A3DForm->View().RotierenY, before.RotierenY);
        rotation = Rotation();
        Open("FileExitItem");
    });

    InstallShutdownOnSignals();
    Run([&] {
        EXPECT_EQ(RouteCaptions().toStdString(), routes.toStdString());
        auto* correctZ = feedbackForm->findChild<QCheckBox*>("CheckBox3");
        ASSERT_NE(correctZ, nullptr);
        EXPECT_TRUE(correctZ->isChecked());
        EXPECT_EQ(Rotation().toStdString(), rotation.toStdString());
        Open("FileExitItem");
    });
}
