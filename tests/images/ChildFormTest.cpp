#include "images/ChildForm.h"

#include "core/IniFile.h"
#include "core/SharedState.h"
#include "device/ChannelTable.h"
#include "images/PaletteMenu.h"
#include "platform/MessageBoxes.h"
#include "scan/ImageBuffers.h"
#include "scan/ShowThread.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <gtest/gtest.h>

using namespace qvt;

namespace {

// A 32 × 32 buffer whose line y holds 100·y + x (x, y from 1); lines after
// `filled` are still 0.
void FillLines(TDaten& buffer, int filled)
{
    const TImageMatrixPtr m = buffer.Data();
    for (int y = 1; y <= filled; ++y)
        for (int x = 1; x <= m->Cols(); ++x)
            m->Store(y - 1, x - 1, 100 * y + x);
}

std::vector<int> Row(const TChildForm& form, int line)
{
    const TIndexedBitmap& b = form.Renderer().Bitmap();
    return std::vector<int>(b.Row(line - 1), b.Row(line - 1) + b.Width());
}

struct UserIniScope {
    test::TempDir dir;
    TQVTIniFile ini{dir.Path() + "user.ini"};
    TQVTIniFile* previous = UserIni;
    UserIniScope() { UserIni = &ini; }
    ~UserIniScope() { UserIni = previous; }
};

QByteArray RampPalette()
{
    QByteArray text = "JASC-PAL\r\n0100\r\n256\r\n";
    for (int k = 0; k < 256; ++k)
        text += QByteArray::number(k) + " 0 " + QByteArray::number(255 - k) + "\r\n";
    return text;
}

} // namespace

TEST(ChildForm, DrawsTheNewLinesOrEverythingOnTheDisplayThreadsSignals)
{
    UserIniScope settings; // standard palette
    TScanParams params;
    TShowThread show(params);
    TIOScale scale("Topo", "nm");
    TDaten buffer;
    buffer.Scale = &scale;
    ASSERT_TRUE(buffer.AllocBuffers(32, 32));
    FillLines(buffer, 10);

    TChildForm form(buffer, 5, &show);
    form.resize(256, 256);
    form.show();
    ASSERT_TRUE(form.isVisible());
    EXPECT_EQ(form.windowTitle(), "empty");
    form.ResizeImage();
    ASSERT_EQ(form.Renderer().Bitmap().Width(), 32);
    EXPECT_EQ(Row(form, 1), std::vector<int>(32, 128)); // nothing drawn yet

    show.FirstLine = 1;
    show.Line = 10;
    emit show.updateDisplay(true);
    for (int y = 1; y <= 10; ++y) {
        EXPECT_EQ(Row(form, y).front(), 0) << y;
        EXPECT_EQ(Row(form, y).back(), 250) << y;
    }
    EXPECT_EQ(Row(form, 11), std::vector<int>(32, 128));

    // The picture uses the window's colour table.
    const QImage image = form.Image();
    EXPECT_EQ(image.format(), QImage::Format_Indexed8);
    EXPECT_EQ(image.pixelIndex(31, 0), 250);
    EXPECT_EQ(image.pixel(0, 0), qRgb(12, 0, 24));
    EXPECT_EQ(image.colorTable().value(PaletteMarkerRed), qRgb(255, 0, 0));

    // A hidden window ignores repaints.
    FillLines(buffer, 20);
    show.Line = 20;
    form.hide();
    emit show.updateDisplay(true);
    EXPECT_EQ(Row(form, 15), std::vector<int>(32, 128));
    form.show();

    // The end of a frame recalculates and redraws the whole picture.
    form.Renderer().GainMode = GainCurrentPicture;
    emit show.refreshAll();
    EXPECT_EQ(Row(form, 32), std::vector<int>(32, 0)); // the empty lines are the minimum
    EXPECT_EQ(Row(form, 20).back(), 250);
    EXPECT_FALSE(form.Renderer().FirstPass());
    emit show.updateDisplay(false);
    EXPECT_EQ(form.Hint(), "Picture Min..Max  0.000 m..2.032µm");
    EXPECT_EQ(form.Panel2()->toolTip(), form.Hint());
    TChildForm::ScanRunning = [] { return true; };
    emit show.updateDisplay(false);
    TChildForm::ScanRunning = nullptr;
    EXPECT_EQ(form.Hint(), "Line(s) 1..32: Min..Max  0.000 m..2.032µm");

    // A buffer of a new size: the picture follows.
    ASSERT_TRUE(buffer.AllocBuffers(64, 64));
    form.ResizeImage();
    EXPECT_EQ(form.Renderer().Bitmap().Width(), 64);
    EXPECT_EQ(form.Renderer().Bitmap().Height(), 64);

    // Without a buffer nothing is drawn and nothing breaks.
    buffer.FreeBuffers();
    emit show.updateDisplay(true);
    emit show.refreshAll();
}

TEST(ChildForm, ScanLineMarkerAndCrossSectionAreDrawn)
{
    UserIniScope settings;
    TScanParams params;
    TShowThread show(params);
    TIOScale scale("Topo", "nm");
    TDaten buffer;
    buffer.Scale = &scale;
    ASSERT_TRUE(buffer.AllocBuffers(512, 512)); // more lines than the panel is wide
    FillLines(buffer, 512);

    QMdiArea area;
    area.resize(800, 800);
    TChildForm* form = new TChildForm(buffer, 0, &show);
    form->AddToMdiArea(&area);
    area.show();
    form->SubWindow()->resize(300, 300);
    form->ResizeImage();
    show.FirstLine = 1;
    show.Line = 384;
    emit show.updateDisplay(true);

    TPaintablePanel* panel = form->Panel2();
    ASSERT_GT(panel->height(), 100);
    EXPECT_EQ(panel->width(), panel->height());
    const QImage grab = panel->grab().toImage();
    const int y = *ScanLineMarkerY(384, 512, 0, panel->height());
    EXPECT_EQ(grab.pixelColor(5, y), QColor(Qt::white));
    EXPECT_EQ(grab.pixelColor(5, y + 1), QColor(Qt::black));

    // The cross-section plot needs room under the picture.
    EXPECT_FALSE(form->Image2()->isVisible());
    form->SetCrossSectionMode(CrossSectionLastThree);
    EXPECT_EQ(form->Renderer().CrossSecMode, CrossSectionLastThree);
    EXPECT_TRUE(form->Image2()->isVisible());
    EXPECT_EQ(form->Image2()->height(), form->width() / 3);
    EXPECT_EQ(form->height(), form->width() + form->width() / 3);
    const QImage& plot = form->CrossSectionImage();
    ASSERT_FALSE(plot.isNull());
    int blue = 0;
    for (int x = 0; x < plot.width(); ++x)
        for (int row = 0; row < plot.height(); ++row)
            blue += plot.pixelColor(x, row) == QColor(Qt::blue);
    EXPECT_GT(blue, plot.width() / 2);

    form->SetCrossSectionMode(CrossSectionNone);
    EXPECT_FALSE(form->Image2()->isVisible());
    EXPECT_EQ(form->height(), form->width());

    QPointer<QMdiSubWindow> frame = form->SubWindow();
    form->Release();
    QApplication::processEvents();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(frame.isNull());
}

TEST(ChildForm, UnloadableUserPaletteWarnsOnceAndSwitchesToStandard)
{
    UserIniScope settings;
    ScriptedMessageResponder responder;
    const QString bad = settings.dir.WriteFile("bad.pal", "JASC-PAL\r\n0100\r\n16\r\n0 0 0\r\n");
    WriteUserPaletteSetting(settings.ini, bad);
    QMenu menu;
    TPaletteMenu paletteMenu(&menu, [] { FAIL() << "a failed palette must not rebuild the windows"; });
    ASSERT_TRUE(paletteMenu.User1()->isChecked());

    TDaten first;
    TDaten second;
    TChildForm a(first, 0);
    TChildForm b(second, 1);
    EXPECT_EQ(responder.Texts(), QStringList{"Not a 256 Color Palette."});
    EXPECT_FALSE(settings.ini.ReadBool("Main", "UseUserColorPalette", true));
    EXPECT_TRUE(paletteMenu.StandardPalette()->isChecked());
    EXPECT_FALSE(paletteMenu.User1()->isChecked());
    TColorTable standard = FormulaPalette();
    SetReservedEntries(standard);
    EXPECT_EQ(a.ColorTable(), standard);
    EXPECT_EQ(b.ColorTable(), standard);

    // A good user palette is used, turned round for a reversed axis.
    WriteUserPaletteSetting(settings.ini, settings.dir.WriteFile("ramp.pal", RampPalette()));
    TIOScale reversed("Topo", "nm");
    reversed.FactorNegative = true;
    first.Scale = &reversed;
    a.ResizeImage();
    EXPECT_EQ(a.ColorTable()[0], (TPaletteEntry{0, 0, 255, 0}));
    EXPECT_EQ(a.PlainColorTable()[255], (TPaletteEntry{255, 0, 0, 0}));
    EXPECT_EQ(a.ColorTable()[PaletteMarkerGreen], (TPaletteEntry{0, 200, 0, 0}));
    EXPECT_EQ(responder.Texts().size(), 1);
}

TEST(ChildForm, ModesAndManualContrastPersistInTheWindowsSection)
{
    UserIniScope settings;
    TIOScale scale("Topo", "nm");
    scale.Factor = 0.5f;
    TDaten buffer;
    buffer.Scale = &scale;
    TChildForm form(buffer, 27 * 3);
    form.Section = "ADC2_0";
    settings.ini.WriteInteger("ADC2_0", "SlopeGain", 3);
    settings.ini.WriteInteger("ADC2_0", "SlopeSlop", 9); // out of range: None
    settings.ini.WriteString("ADC2_0", "ManualOffset", "12,5");
    form.ReadSettings(settings.ini);
    EXPECT_EQ(form.Renderer().GainMode, GainManual);
    EXPECT_EQ(form.Renderer().SlopeMode, SlopeNone);
    EXPECT_EQ(form.Renderer().ManualOffset, 25);
    EXPECT_EQ(form.Renderer().ManualRange, 2); // default 1.0 physical
    EXPECT_TRUE(form.findChild<QAction*>("GainManualItem")->isChecked());
    EXPECT_TRUE(form.findChild<QAction*>("SlopeNoneItem")->isChecked());

    form.SetManualRange(3.0);
    form.WriteSettings(settings.ini);
    EXPECT_EQ(settings.ini.ReadInteger("ADC2_0", "SlopeGain", -1), 3);
    EXPECT_EQ(settings.ini.ReadInteger("ADC2_0", "SlopeSlop", -1), 0);
    EXPECT_EQ(settings.ini.ReadInteger("ADC2_0", "CrossSec", -1), 0);
    EXPECT_DOUBLE_EQ(settings.ini.ReadFloat("ADC2_0", "ManualOffset", 0), 12.5);
    EXPECT_DOUBLE_EQ(settings.ini.ReadFloat("ADC2_0", "ManualRange", 0), 3.0);
    EXPECT_TRUE(settings.ini.ValueExists("ADC2_0", "Width"));
}
