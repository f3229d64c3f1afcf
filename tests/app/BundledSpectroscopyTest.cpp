// The spectroscopy window as an operator meets it: the program started on
// the bundled settings, the window opened from the main window's button, a
// force curve measured on the simulated microscope.

#include "app/BundledProgram.h"
#include "app/CreateForms.h"
#include "core/SharedState.h"
#include "core/Startup.h"
#include "lockin/LockInOptionForm.h"
#include "mainwindow/MainQVTForm.h"
#include "platform/MessageBoxes.h"
#include "spectro/SpektForm.h"
#include "support/TestSupport.h"
#include "widgets/NumericEdit.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <algorithm>

using namespace qvt;

TEST(BundledSpectroscopy, TheButtonOpensTheWindowAndAForceCurveIsPlotted)
{
    test::BundledProgram program;
    ASSERT_TRUE(program.Copied);
    ScriptedMessageResponder boxes;
    ASSERT_TRUE(program.Create());
    MainQVTForm->show();
    QCoreApplication::processEvents();
    StartUp();
    ASSERT_NE(SpektForm, nullptr);
    EXPECT_FALSE(SpektForm->isVisible());

    auto* button = qobject_cast<QAbstractButton*>(MainQVTForm->Control("SpectButton"));
    ASSERT_NE(button, nullptr);
    ASSERT_TRUE(button->isEnabled());
    button->click();
    EXPECT_TRUE(SpektForm->isVisible());
    EXPECT_EQ(SpektForm->windowTitle(), "Spectroscopy");

    // Force against distance: out 3 nm and back, recording the feedback input.
    SpektForm->ComboBox1->setCurrentText("X(z)");
    SpektForm->ComboBox1Change();
    SpektForm->ChannelBoxes[0]->setCurrentIndex(1);
    SpektForm->ComboBox2Change(0);
    SpektForm->Edit4->Apply("100");
    SpektForm->Edit5->Apply("0");
    SpektForm->Edit6->Apply("3");
    SpektForm->ScanButton->click();
    ASSERT_TRUE(test::PumpUntil([] { return !SpektForm->Measuring(); }));
    QCoreApplication::processEvents();
    EXPECT_EQ(SpektForm->StatusBar->text(), "1 / 1");
    const auto& deflection = SpektForm->SpektData.Col[3];
    const int n = SpektForm->Points();
    const auto [low, high] = std::minmax_element(deflection.begin(), deflection.begin() + n);
    EXPECT_LT(*low, *high);

    // The fitted slope taken as the sensitivity by a click on the fit label:
    // the lock-in options show it, whatever the feedback mode.
    ASSERT_NE(LockInOptionForm, nullptr);
    TNumericEdit* scaleY = LockInOptionForm->Edit("Edit1");
    ASSERT_NE(scaleY, nullptr);
    EXPECT_EQ(scaleY->text(), "0");
    SpektForm->FitButton->click();
    ASSERT_TRUE(SpektForm->Fit().Valid);
    boxes.Clear();
    QTest::mouseClick(SpektForm->Label21, Qt::LeftButton);
    EXPECT_EQ(scaleY->text(), QString::number(SpektForm->Fit().Slope, 'g', 4));

    const QImage shot = SpektForm->grab().toImage();
    QDir().mkpath("temp");
    EXPECT_TRUE(shot.save("temp/BundledSpectroscopy.png"));

    button->click();
    EXPECT_FALSE(SpektForm->isVisible());
    EXPECT_TRUE(MainQVTForm->close());
    DestroyAllForms();
    EXPECT_TRUE(boxes.Texts().size() <= 1) << boxes.LastText().toStdString();
}
