// The scanner window as the operator reaches it in the running program:
// opened from the menu, the HardLin coefficients typed, taught into the
// calibration table by the administrator's teach buttons and copied out; the
// chart's axis choices; on a type-29 box "Check Frequency Response", which
// runs its measuring script in the Select window and shows the result; and
// the linearisation of the scan range, whichever way the range is set.

#include "app/BundledProgram.h"
#include "app/CreateForms.h"
#include "calib/ScannerForm.h"
#include "core/IniFile.h"
#include "core/SharedState.h"
#include "core/Startup.h"
#include "device/ChannelTable.h"
#include "device/InOutForm.h"
#include "mainwindow/MainQVTForm.h"
#include "navigator/SelForm.h"
#include "platform/LocalCommandServer.h"
#include "platform/MessageBoxes.h"
#include "scan/DeviceWorkers.h"
#include "scan/GoXYThread.h"
#include "scan/ScanParaForm.h"
#include "support/TestSupport.h"
#include "widgets/NumericEdit.h"
#include "widgets/SimpleChart.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocalSocket>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTableWidget>
#include <QTest>
#include <QToolButton>
#include <QTreeWidgetItem>

#include <gtest/gtest.h>

#include <memory>

using namespace qvt;

namespace {

// The bundled program on a temporary copy of its settings; `prepare` edits
// the copy before the start.
class ScannerProgram {
public:
    template <class Prepare> explicit ScannerProgram(Prepare prepare)
    {
        EXPECT_TRUE(program_.Copied);
        prepare(program_.Dir);
        started_ = program_.Create();
        if (!started_)
            return;
        auto linkTime = std::make_shared<double>(0.0);
        InOutForm->LinkClock = [linkTime] { return *linkTime += 20e-6; };
        StartUp();
    }
    ~ScannerProgram()
    {
        if (started_) {
            MainQVTForm->close();
            DestroyAllForms();
        }
    }
    bool Started() const { return started_; }
    const test::TempDir& Dir() const { return program_.Dir; }

    ScriptedMessageResponder Boxes;

private:
    test::BundledProgram program_;
    bool started_ = false;
};

TScannerForm* OpenScannerWindow()
{
    QAction* item = MainQVTForm->MenuItem("ScannerItem");
    if (item == nullptr)
        return nullptr;
    item->trigger();
    QCoreApplication::processEvents();
    return ScannerForm != nullptr && ScannerForm->isVisible() ? ScannerForm : nullptr;
}

void Key(QWidget* w, int key, const QString& text = QString())
{
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
    QApplication::sendEvent(w, &press);
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, text);
    QApplication::sendEvent(w, &release);
}

// Types `text` over the edit's text and presses Enter, as the operator does.
void Type(QLineEdit* edit, const QString& text)
{
    edit->setFocus();
    edit->selectAll();
    for (QChar c : text)
        Key(edit, c.unicode(), QString(c));
    Key(edit, Qt::Key_Return);
}

} // namespace

TEST(BundledScannerWindow, TheAdministratorTeachesTypedCoefficientsAndCopiesThemOut)
{
    ScannerProgram program([](test::TempDir& dir) {
        // Ranges 10, 1000 and 3200 nm; the program starts at 1000.
        QFile::remove(dir.Path() + "SoftLin.ini");
        TQVTIniFile scanner(dir.Path() + "SoftLin.ini");
        for (int n = 1; n <= 3; ++n) {
            scanner.WriteString("SoftLin", QString("Range%1").arg(n), n == 1 ? "10" : n == 2 ? "1000" : "3200");
            scanner.WriteString("SoftLin", QString("X%1").arg(n), "0.05");
            scanner.WriteString("SoftLin", QString("Y%1").arg(n), n == 3 ? "0.1" : "0.05");
        }
        // HardLin with the sensors on ADC2/ADC3 and offline correction: the
        // coefficients are the operator's to type.
        TQVTIniFile main(dir.Path() + "ini/qvt.ini");
        main.WriteBool("Scanner", "HardLinOn", true);
        main.WriteInteger("HardLin", "InX", 1);
        main.WriteInteger("HardLin", "InY", 2);
        main.WriteInteger("HardLin", "InZ", 3);
        main.WriteBool("HardLin", "FitPoly", false);
    });
    ASSERT_TRUE(program.Started());
    ASSERT_FLOAT_EQ(ScanParams.Range.load(), 1000.0f);
    TScannerForm* scanner = OpenScannerWindow();
    ASSERT_NE(scanner, nullptr);
    EXPECT_TRUE(scanner->HardLinActive());
    // Under HardLin the spectroscopy takes the scan's z sensor (ADC4) as its z axis.
    EXPECT_EQ(scanner->ZSensorSlot(), FirstAdcSlot + 3);
    auto* tabs = scanner->findChild<QTabWidget*>("PageControl1");
    tabs->setCurrentIndex(3); // "HardLin"
    ASSERT_EQ(tabs->tabText(3), "HardLin");

    // The teach buttons are the administrator's.
    QWidget* teach = scanner->findChild<QWidget*>("TeachButton");
    ASSERT_NE(teach, nullptr);
    EXPECT_FALSE(teach->isVisible());
    MainQVTForm->SetAdminLevel(2);
    EXPECT_TRUE(teach->isVisible());

    // The eight coefficient edits each sit where the operator can click them,
    // none under another.
    const char* linNames[] = {"LinXFwd2Edit", "LinYFwd2Edit", "LinXFwd3Edit", "LinYFwd3Edit",
                              "LinXBwd2Edit", "LinYBwd2Edit", "LinXBwd3Edit", "LinYBwd3Edit"};
    for (const char* name : linNames) {
        auto* e = scanner->findChild<TNumericEdit*>(name);
        ASSERT_NE(e, nullptr) << name;
        EXPECT_TRUE(e->isVisible()) << name;
        QWidget* page = e->parentWidget();
        const QPoint centre = e->mapTo(page, e->rect().center());
        EXPECT_EQ(page->childAt(centre), e) << name << " is covered";
    }

    // A typed coefficient goes to the scan thread at once.
    auto* x2f = scanner->findChild<TNumericEdit*>("LinXFwd2Edit");
    auto* y3b = scanner->findChild<TNumericEdit*>("LinYBwd3Edit");
    ASSERT_TRUE(x2f && y3b);
    ASSERT_TRUE(x2f->isEnabled());
    Type(x2f, "0.25");
    Type(y3b, "-0.125");
    const TLinCoefficients k = DeviceWorkers->GoXYThread().Linearisation();
    EXPECT_DOUBLE_EQ(k.X2F, 0.25);
    EXPECT_DOUBLE_EQ(k.Y3B, -0.125);

    // Teach X writes the X four into the row of the current range, and only them.
    scanner->findChild<QPushButton*>("TeachXButton")->click();
    {
        const TQVTIniFile file(program.Dir().Path() + "SoftLin.ini");
        EXPECT_EQ(file.ReadFloat("SoftLin", "X2F2", 9), 0.25);
        EXPECT_EQ(file.ReadFloat("SoftLin", "Y3B2", 9), 0.0);
        EXPECT_EQ(file.ReadFloat("SoftLin", "X2F1", 9), 0.0);
    }
    scanner->findChild<QPushButton*>("TeachYButton")->click();
    EXPECT_EQ(TQVTIniFile(program.Dir().Path() + "SoftLin.ini").ReadFloat("SoftLin", "Y3B2", 9), -0.125);

    // Copy X: A, B, C, D, Lin^1, then Lin^2 and Lin^3 forward and backward.
    scanner->findChild<QPushButton*>("CopyYButton")->click();
    const QStringList y = QApplication::clipboard()->text().split('\t');
    ASSERT_EQ(y.size(), 9) << QApplication::clipboard()->text().toStdString();
    EXPECT_EQ(y[4], "1");
    EXPECT_EQ(y[8], "-0.125");
    scanner->findChild<QPushButton*>("CopyXButton")->click();
    const QStringList x = QApplication::clipboard()->text().split('\t');
    ASSERT_EQ(x.size(), 9);
    EXPECT_EQ(x[5], "0.25");
    EXPECT_EQ(x[7], "0");
    EXPECT_TRUE(
        scanner->findChild<QPlainTextEdit*>("Memo1")->toPlainText().endsWith(QApplication::clipboard()->text()));

    // The chart on volts: the 3200 nm range at 0.1 nm/digit over Y is
    // 32000 digits, 32000 x 10 V / 2.14e9 digits.
    tabs->setCurrentIndex(0);
    auto* xAxis = scanner->findChild<QComboBox*>("XAxisChoice");
    auto* yAxis = scanner->findChild<QComboBox*>("YAxisChoice");
    ASSERT_TRUE(xAxis && yAxis);
    EXPECT_EQ(yAxis->currentIndex(), 1); // unit per digit as stored
    xAxis->setFocus();
    Key(xAxis, Qt::Key_Down);
    EXPECT_EQ(MainIni->ReadInteger("ScannerWin", "XAxis", 0), 1);
    auto* chart = static_cast<TSimpleChart*>(scanner->findChild<QWidget*>("SensitivityChart"));
    ASSERT_NE(chart, nullptr);
    const TChartSeries* ySeries = chart->SeriesList[1];
    ASSERT_EQ(ySeries->Count(), 3);
    EXPECT_NEAR(ySeries->Points(2).x, 32000 * 10 / 2.14e9, 1e-12);
    EXPECT_EQ(chart->XAxis.Text, "Range [V]");
    // Unit per volt: 0.1 nm per digit is 0.1 / (10 / 2.14e9) nm/V.
    yAxis->setFocus();
    Key(yAxis, Qt::Key_Up);
    EXPECT_EQ(MainIni->ReadInteger("ScannerWin", "YAxis", 1), 0);
    EXPECT_NEAR(ySeries->Points(2).y, 0.1 / (10 / 2.14e9), 1e-3);
    EXPECT_TRUE(chart->YAxis.Text.endsWith("/V")) << chart->YAxis.Text.toStdString();

    // Back at level 0 the teach buttons go again.
    MainQVTForm->SetAdminLevel(0);
    EXPECT_FALSE(teach->isVisible());
    EXPECT_TRUE(program.Boxes.Texts().isEmpty()) << program.Boxes.Texts().join(" / ").toStdString();
}

TEST(BundledScannerWindow, CheckFrequencyResponseRunsItsScriptAndShowsTheMeasuredResponse)
{
    ScannerProgram program([](test::TempDir& dir) {
        TQVTIniFile sim(dir.Path() + "ini/sim.ini");
        sim.WriteInteger("Controller", "Type", 29);
        sim.WriteString("Clock", "Mode", "Fast");
        TQVTIniFile main(dir.Path() + "ini/qvt.ini");
        // The topography is one of the channels the module streams.
        main.WriteBool("Scale", "DAC1CheckBoxFast", true);
        main.WriteInteger("Scale", "ADC20Edit0", 20);
        main.WriteInteger("Scale", "ADC21Edit0", 22);
        QDir().mkpath(dir.Path() + "data"); // the scripts' data files
        // The measuring script: frequency, real and imaginary part, min/max.
        dir.WriteFile("scripts/FindResonanceX.scr",
                      "BEGIN FOR F := 1 TO 3 DO BEGIN WRITELN(F * 100, '\t', F, '\t', 0, '\t', 0.5); END; END.");
    });
    ASSERT_TRUE(program.Started());
    ASSERT_EQ(InOutForm->Caps.BoxVersion, 29);
    TScannerForm* scanner = OpenScannerWindow();
    ASSERT_NE(scanner, nullptr);
    auto* tabs = scanner->findChild<QTabWidget*>("PageControl1");
    const int page = 5;
    ASSERT_EQ(tabs->tabText(page), "Frequency Response");
    ASSERT_TRUE(tabs->isTabVisible(page));
    tabs->setCurrentIndex(page);
    auto* check = scanner->findChild<QPushButton*>("CheckXButton");
    ASSERT_NE(check, nullptr);
    ASSERT_TRUE(check->isEnabled());

    // Without the fast mode the module does not scan: said, nothing runs.
    check->click();
    EXPECT_EQ(program.Boxes.LastText(), "Please switch Fast-Mode on.");
    EXPECT_FALSE(scanner->WaitingForScript());

    MainQVTForm->FastSpeedButton()->click();
    ASSERT_TRUE(MainQVTForm->FastSpeedButtonDown());
    check->click();
    // Either still running or already done; the timer takes it from here.
    ASSERT_TRUE(test::PumpUntil([&] { return !scanner->WaitingForScript(); }));
    EXPECT_EQ(check->text(), "Check Frequency Response") << SelForm->Memo1()->toPlainText().toStdString();
    EXPECT_FALSE(SelForm->RunStopButton()->isChecked());
    auto* label = scanner->findChild<QLabel*>("XFileLabel");
    EXPECT_EQ(label->text(), "NoName.txt")
        << SelForm->Memo1()->toPlainText().toStdString() << " | " << program.Boxes.Texts().join(" / ").toStdString();
    EXPECT_TRUE(QFile::exists(program.Dir().Path() + "Filter/NoName.txt"));
    EXPECT_EQ(scanner->ScannerIni()->ReadString("FreqResp", "XPath", ""), AppDir + "Filter/NoName.txt");
    // Measured with the filters in use: all three points on the chart.
    auto* chart = static_cast<TSimpleChart*>(scanner->findChild<QWidget*>("FreqChart"));
    ASSERT_NE(chart, nullptr);
    const TChartSeries* amplitude = chart->SeriesList[0];
    EXPECT_EQ(amplitude->Title.Text, "Amplitude X");
    ASSERT_EQ(amplitude->Count(), 3);
    EXPECT_EQ(amplitude->Points(2).x, 300.0);
    EXPECT_EQ(amplitude->Points(2).y, 3.0);

    // The axis's "MinMax" box adds its curve, "Amplitude" takes its own away;
    // each choice is kept for the next start.
    auto* minMaxBox = scanner->findChild<QCheckBox*>("MinMaxXCheck");
    auto* amplitudeBox = scanner->findChild<QCheckBox*>("AmplitudeXCheck");
    ASSERT_TRUE(minMaxBox && amplitudeBox);
    EXPECT_TRUE(amplitudeBox->isChecked());
    EXPECT_FALSE(minMaxBox->isChecked());
    EXPECT_EQ(chart->SeriesList[2]->Count(), 0);
    QTest::mouseClick(minMaxBox, Qt::LeftButton);
    ASSERT_EQ(chart->SeriesList[2]->Count(), 3);
    EXPECT_EQ(chart->SeriesList[2]->Points(0).y, 0.5);
    EXPECT_TRUE(MainIni->ReadBool("ScannerWin", "ShowMinMaxX", false));
    QTest::mouseClick(amplitudeBox, Qt::LeftButton);
    EXPECT_EQ(amplitude->Count(), 0);
    EXPECT_FALSE(MainIni->ReadBool("ScannerWin", "ShowX", true));
    // Y's amplitude is off until its box is ticked.
    auto* amplitudeY = scanner->findChild<QCheckBox*>("AmplitudeYCheck");
    ASSERT_NE(amplitudeY, nullptr);
    EXPECT_FALSE(amplitudeY->isChecked());
    QTest::mouseClick(amplitudeY, Qt::LeftButton);
    EXPECT_TRUE(MainIni->ReadBool("ScannerWin", "ShowY", false));

    // A missing script is named on the button.
    scanner->findChild<QPushButton*>("CheckYButton")->click();
    EXPECT_EQ(scanner->findChild<QPushButton*>("CheckYButton")->text(), "Script not found!");
    MainQVTForm->FastSpeedButton()->click();
}

namespace {

// The coefficients the scanner's own table gives `range`.
TLinCoefficients TableCoefficients(TScannerForm* scanner, double range)
{
    return InterpolateLinCoeffs(scanner->Table().Points(), range);
}

// The scan thread works with the coefficients of `range`, and the scanner
// window names that range with them.
void ExpectLinearisationOf(TScannerForm* scanner, double range)
{
    const TLinCoefficients want = TableCoefficients(scanner, range);
    const TLinCoefficients k = DeviceWorkers->GoXYThread().Linearisation();
    EXPECT_DOUBLE_EQ(k.X2F, want.X2F);
    EXPECT_DOUBLE_EQ(k.X3B, want.X3B);
    EXPECT_DOUBLE_EQ(k.Y2F, want.Y2F);
    EXPECT_DOUBLE_EQ(k.Y3B, want.Y3B);
    const QString named = "ScanRange = " + QString::number(range, 'f', 2) + " -> ";
    for (int line = 0; line < 3; ++line)
        EXPECT_TRUE(scanner->StatusLine(line).startsWith(named)) << scanner->StatusLine(line).toStdString();
}

QAction* ScannerMenuItem(TScannerForm* scanner, const QString& text)
{
    for (QAction* a : scanner->findChildren<QAction*>())
        if (a->text() == text)
            return a;
    return nullptr;
}

} // namespace

TEST(BundledScannerWindow, TheLinearisationIsTheRangesOwnFromTheStartAndAfterEachEnter)
{
    // Stored at the bundled table's largest range.
    ScannerProgram program(
        [](test::TempDir& dir) { TQVTIniFile(dir.Path() + "ini/qvt.ini").WriteString("ScanPara", "Edit3", "2800"); });
    ASSERT_TRUE(program.Started());
    ASSERT_FLOAT_EQ(ScanParams.Range.load(), 2800.0f);
    TScannerForm* scanner = OpenScannerWindow();
    ASSERT_NE(scanner, nullptr);
    ASSERT_NEAR(TableCoefficients(scanner, 2800).X2F, 0.0335455, 1e-6);
    ExpectLinearisationOf(scanner, 2800);

    // One Enter of a typed range is enough.
    auto* range = static_cast<QLineEdit*>(ScanParaForm->Edit("Edit3"));
    Type(range, "700");
    ASSERT_FLOAT_EQ(ScanParams.Range.load(), 700.0f);
    ExpectLinearisationOf(scanner, 700);

    // Teach X/Y store the current range's coefficients back into its own row
    // (to the file's five digits).
    MainQVTForm->SetAdminLevel(2);
    scanner->findChild<QPushButton*>("TeachXButton")->click();
    scanner->findChild<QPushButton*>("TeachYButton")->click();
    {
        const TQVTIniFile file(program.Dir().Path() + "SoftLin.ini");
        ASSERT_EQ(file.ReadFloat("SoftLin", "Range2", 0), 700.0);
        EXPECT_NEAR(file.ReadFloat("SoftLin", "X2F2", 9), 0.00853501, 1e-6);
        EXPECT_NEAR(file.ReadFloat("SoftLin", "Y3F2", 9), 0.0000365082, 1e-9);
    }

    // Ranges > Add at a range between two rows adds that range's own coefficients.
    Type(range, "1750");
    ExpectLinearisationOf(scanner, 1750);
    QAction* add = ScannerMenuItem(scanner, "&Add");
    ASSERT_NE(add, nullptr);
    add->trigger();
    {
        const TQVTIniFile file(program.Dir().Path() + "SoftLin.ini");
        ASSERT_EQ(file.ReadFloat("SoftLin", "Range4", 0), 1750.0);
        EXPECT_NEAR(file.ReadFloat("SoftLin", "X2F4", 9), (0.0170064 + 0.0253594) / 2, 2e-6);
        EXPECT_NEAR(file.ReadFloat("SoftLin", "Y2F4", 9), (0.00854515 + 0.0128182) / 2, 1e-6);
    }

    // A new sensitivity in the current range's row plans the scan again:
    // twice the nm per digit, half the digits per line.
    Type(range, "700");
    const int32_t fast = DeviceWorkers->GoXYThread().Geometry().FastX;
    auto* grid = scanner->findChild<QTableWidget*>("StringGrid1");
    ASSERT_NE(grid, nullptr);
    ASSERT_EQ(grid->item(1, 0)->text(), "700");
    grid->item(1, 1)->setText("0.1");
    EXPECT_FLOAT_EQ(ChannelTable[SlotX].Factor.load(), 0.1f);
    EXPECT_NEAR(DeviceWorkers->GoXYThread().Geometry().FastX, fast / 2, 1);
    ExpectLinearisationOf(scanner, 700);
    MainQVTForm->SetAdminLevel(0);
    EXPECT_TRUE(program.Boxes.Texts().isEmpty()) << program.Boxes.Texts().join(" / ").toStdString();
}

TEST(BundledScannerWindow, ScriptsNavigatorZoomAndTheCommandServerSeeTheRangesOwnLinearisation)
{
    ScannerProgram program([](test::TempDir& dir) {
        dir.WriteFile("scripts/range.scr", "BEGIN\r\n  SCANPARA('RANGE', 1400);\r\nEND.\r\n");
        QDir().mkpath(dir.Path() + "data"); // the scripts' data files
    });
    ASSERT_TRUE(program.Started());
    TScannerForm* scanner = OpenScannerWindow();
    ASSERT_NE(scanner, nullptr);
    ExpectLinearisationOf(scanner, 1000);

    // A script's range statement, run from the navigator.
    SelForm->ScriptChosen(program.Dir().Path() + "scripts/range.scr");
    SelForm->RunStopButton()->click();
    ASSERT_TRUE(test::PumpUntil([] { return !SelForm->RunStopButton()->isChecked(); }, 60000));
    ASSERT_FLOAT_EQ(ScanParams.Range.load(), 1400.0f) << SelForm->Memo1()->toPlainText().toStdString();
    ExpectLinearisationOf(scanner, 1400);

    // The command server reports the range with its coefficients.
    QLocalSocket client;
    client.connectToServer(CommandServerSocketPath(DeviceDriverName));
    ASSERT_TRUE(test::PumpUntil([&] { return client.state() == QLocalSocket::ConnectedState; }));
    const auto ask = [&](const QByteArray& request) {
        client.write(request + "\n");
        client.flush();
        QStringList lines;
        while (test::PumpUntil([&] { return client.canReadLine(); })) {
            lines << QString::fromUtf8(client.readLine().chopped(1));
            if (!request.startsWith("REQUEST") || lines.last() == ".")
                break;
        }
        return lines;
    };
    EXPECT_EQ(ask("EXECUTE DdeItem HARDLINPARA:"), QStringList{"OK"});
    const QStringList item = ask("REQUEST DdeItem DdeQVTControl");
    ASSERT_GE(item.size(), 3) << item.join(" | ").toStdString();
    EXPECT_EQ(item[0], "1400.000");
    EXPECT_TRUE(item[1].startsWith("ScanRange = 1400.00 -> LinXFwd2: 0.017")) << item[1].toStdString();
    // A range the scanner cannot reach stays typed in the red box; the server
    // still reports the range its coefficients belong to.
    Type(static_cast<QLineEdit*>(ScanParaForm->Edit("Edit3")), "1e9");
    ASSERT_FLOAT_EQ(ScanParams.Range.load(), 1400.0f);
    EXPECT_EQ(ask("EXECUTE DdeItem HARDLINPARA:"), QStringList{"OK"});
    EXPECT_EQ(ask("REQUEST DdeItem DdeQVTControl").value(0), "1400.000");

    // The navigator's zoom on the scanner field: a square a quarter of the
    // field wide sets the range to that quarter.
    SelForm->Select(SelForm->RootNode());
    SelForm->SpeedButton3()->setChecked(true);
    for (int i = 0; i < SelForm->RootNode()->childCount(); ++i)
        if (SelForm->RootNode()->child(i)->text(0).startsWith("Zoom"))
            SelForm->Select(SelForm->RootNode()->child(i));
    const float before = ScanParams.Range.load();
    SelForm->Image1MouseDown(128, 128);
    SelForm->Image1MouseMove(136, 128);
    SelForm->Image1MouseUp(144, 128);
    EXPECT_NE(ScanParams.Range.load(), before);
    ExpectLinearisationOf(scanner, ScanParams.Range.load());
    EXPECT_TRUE(program.Boxes.Texts().isEmpty()) << program.Boxes.Texts().join(" / ").toStdString();
}
