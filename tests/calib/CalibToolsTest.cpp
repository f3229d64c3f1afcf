// The calibration tools on the simulated controller: the AD/DA chain
// calibration recovers the simulator's wiring, the offset tool measures the
// input's zero and refuses to store it with the tip approached, and the
// slider window's raster draws the simulator's test picture the right way round.

#include "support/DriverLinkFixture.h"
#include "support/KeyInput.h"

#include "calib/AutoOffset.h"
#include "calib/AutoOffsetForm.h"
#include "calib/ScaleADDA.h"
#include "calib/ScaleADDAForm.h"
#include "calib/SlidForm.h"
#include "calib/SlidLogic.h"
#include "core/NumberText.h"
#include "sim/SimWiring.h"
#include "widgets/NumericEdit.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>
#include <QTest>

#include <chrono>
#include <cmath>
#include <thread>

using namespace qvt;
using namespace qvt::test;
using sim::SimWiring;

namespace {

class CalibToolsTest : public DriverLinkFixture {
protected:
    void Start(sim::SimConfig config, const QString& scaleKeys)
    {
        dir_.WriteFile("qvt.ini", ("[Scale]\r\n" + scaleKeys).toLatin1());
        ini_ = std::make_unique<TQVTIniFile>(dir_.Path() + "qvt.ini");
        MainIni = ini_.get();
        sim_ = PlugSim(config);
        form_ = std::make_unique<TInOutForm>();
        form_->FormCreate();
        ASSERT_FALSE(form_->StartFailed());
        savedZState_ = MicroscopeState.ZState.load();
        savedChannel_ = MicroscopeState.FeedbackChannel.load();
    }

    void TearDown() override
    {
        MicroscopeState.ZState = savedZState_;
        MicroscopeState.FeedbackChannel = savedChannel_;
        std::unique_ptr<TDeviceWorkers> none;
        CloseDevice(none, form_);
        DriverLinkFixture::TearDown();
    }

    // The calibration window with the hardware linearisation in use.
    std::unique_ptr<TScaleADDAForm> OpenScaleADDA(TQVTIniFile& scannerIni)
    {
        auto w = std::make_unique<TScaleADDAForm>(*form_);
        w->ScannerIni = [&scannerIni] { return &scannerIni; };
        w->HardLinActive = [] { return true; };
        w->FormCreate();
        w->FormActivate();
        return w;
    }

    static void Enter(TNumericEdit* edit, double value)
    {
        edit->setText(FloatToText(value));
        edit->PressKey(EditKey::Enter);
        EXPECT_EQ(edit->Color(), EditColor::White) << edit->objectName().toStdString();
    }

    std::shared_ptr<sim::SimController> sim_;
    std::unique_ptr<TInOutForm> form_;

private:
    int32_t savedZState_ = 0;
    int32_t savedChannel_ = 0;
};

constexpr double Tolerance = 0.01; // 1 %

void ExpectWithin(double actual, double expected, const char* what)
{
    EXPECT_NEAR(actual, expected, std::fabs(expected) * Tolerance) << what;
}

} // namespace

TEST_F(CalibToolsTest, AFullCalibrationRoundTripRecoversTheSimulatorsWiring)
{
    Start(FastConfig(), "DAC3Edit1=nm\r\nADC5Edit0=24\r\nADC5Edit1=nm\r\nADC6Edit0=25\r\nADC6Edit1=V\r\n"
                        "[HardLin]\r\nInX=4\r\n");
    TQVTIniFile scannerIni(dir_.Path() + "SoftLin.ini");
    const std::unique_ptr<TScaleADDAForm> window = OpenScaleADDA(scannerIni);
    TScaleADDAForm& w = *window;
    w.TestChannelCombo()->setCurrentIndex(2); // X
    TScaleADDAChain& c = w.Chain();
    ASSERT_EQ(c.ADChannelSlot, FirstAdcSlot + 4); // the X gauge, paired through [HardLin] InX
    auto meter = [&] { return SimWiring::DacVolts(3, sim_->Dac(3)); };

    // Scale at the top of the stored (far too small) range, then the offset at 0 V.
    Enter(w.ChainEdit(1), 10.0);
    Enter(w.ChainEdit(2), meter());
    Enter(w.ChainEdit(1), 0.0);
    Enter(w.ChainEdit(2), meter());
    ExpectWithin(c.DAOffset, SimWiring::DacOffsetVolts(3), "DAC offset");
    Enter(w.ChainEdit(1), 5.0);
    EXPECT_NEAR(meter(), 5.0, 0.005);
    Enter(w.ChainEdit(2), meter());
    ExpectWithin(c.DAScale, SimWiring::DacVoltsPerDigit, "DAC volts per digit");
    EXPECT_DOUBLE_EQ(MainIni->ReadFloat("TestMic", "DAScale2", 0.0), c.DAScale);

    Enter(w.ChainEdit(3), SimWiring::HvaVolts(3, sim_->Dac(3)));
    ExpectWithin(c.HvaGain, SimWiring::HvaGain, "amplifier gain");
    Enter(w.ChainEdit(4), SimWiring::PiezoNmPerVolt(3));
    EXPECT_DOUBLE_EQ(scannerIni.ReadFloat("Gains", "XGain", 0.0), SimWiring::PiezoNmPerVolt(3));
    // The output's scale is the chain's: nm per DAC digit.
    const double nmPerDigit = SimWiring::DacVoltsPerDigit * SimWiring::HvaGain * SimWiring::PiezoNmPerVolt(3);
    ExpectWithin(ChannelTable[SlotX].Factor, nmPerDigit, "X nm per digit in the channel table");

    // A full ramp, up and down, while an interferometer measures the travel.
    c.RampMode = true;
    c.StartRamp();
    int32_t lo = INT32_MAX;
    int32_t hi = INT32_MIN;
    for (int i = 0; i < 2 * RampSteps + 2; ++i) {
        w.Timer1Timer();
        lo = std::min(lo, sim_->Dac(3));
        hi = std::max(hi, sim_->Dac(3));
    }
    const double travel = SimWiring::TravelNm(3, hi) - SimWiring::TravelNm(3, lo);
    Enter(w.ChainEdit(5), travel);
    const double nmPerAdcDigit = SimWiring::AdcVoltsPerDigit / SimWiring::SensorVoltsPerNm;
    ExpectWithin(c.SGScale, nmPerAdcDigit, "sensor nm per ADC digit");
    ExpectWithin(ChannelTable[FirstAdcSlot + 4].Factor, nmPerAdcDigit, "X gauge factor in the channel table");
    EXPECT_EQ(w.RegisterGrid()->item(2, 0)->text(),
              QString("%1").arg(static_cast<uint32_t>(sim_->Register(RegX)), 8, 16, QChar('0')).toUpper());

    // AD mode on the Y gauge: its zero first, then a known voltage.
    c.RampMode = false;
    w.RadioGroup2Click(true);
    w.DMSChannelComboChange(5);
    ASSERT_EQ(c.ADChannelSlot, FirstAdcSlot + 5);
    EXPECT_EQ(MainIni->ReadInteger("TestMic", "ADChannel", 0), 5);
    Enter(w.ChainEdit(6), 0.0);
    EXPECT_NEAR(form_->ReadChannelPhys(FirstAdcSlot + 5), 0.0, 10.0); // a few digits of noise
    form_->WriteReg(RegY, 20000);
    Enter(w.ChainEdit(6), SimWiring::SensorVolts(4, 20000));
    ExpectWithin(c.ADScale, SimWiring::AdcVoltsPerDigit, "ADC volts per digit");
    ExpectWithin(ChannelTable[FirstAdcSlot + 5].Factor, SimWiring::AdcVoltsPerDigit, "Y gauge factor");
    ExpectWithin(form_->ReadChannelPhys(FirstAdcSlot + 5), SimWiring::SensorVolts(4, 20000), "the display");
    form_->WriteReg(RegY, 0);
}

// Each piezo output keeps its own sensor input: chosen in the window for Z,
// X and Y, each comes back when its output is chosen again, and the
// linearisation reads each under its own key.
TEST_F(CalibToolsTest, EachPiezoOutputKeepsTheSensorInputChosenForIt)
{
    Start(FastConfig(), "");
    TQVTIniFile scannerIni(dir_.Path() + "SoftLin.ini");
    const std::unique_ptr<TScaleADDAForm> window = OpenScaleADDA(scannerIni);
    TScaleADDAForm& w = *window;
    auto* tests = w.findChild<QComboBox*>("TestChannelCombo");
    auto* inputs = w.findChild<QComboBox*>("DMSChannelCombo");
    ASSERT_TRUE(tests && inputs);
    struct Axis {
        int Output;
        const char* Key;
        int Input;
    };
    const Axis axes[] = {{0, "InZ", 3}, {2, "InX", 4}, {3, "InY", 6}};
    for (const Axis& a : axes) {
        tests->setCurrentIndex(a.Output);
        inputs->setCurrentIndex(a.Input);
    }
    for (const Axis& a : axes) {
        SCOPED_TRACE(a.Key);
        tests->setCurrentIndex(a.Output);
        EXPECT_EQ(inputs->currentIndex(), a.Input);
        EXPECT_EQ(w.Chain().ADChannelSlot, FirstAdcSlot + a.Input);
        EXPECT_EQ(MainIni->ReadInteger("HardLin", a.Key, -1), a.Input);
    }
}

TEST(ScaleADDAChain, MeterReadingsGiveEachStagesFactor)
{
    std::vector<std::pair<int32_t, int32_t>> writes;
    double reading = 0.0;
    TScaleADDAIo io;
    io.WriteReg = [&](int32_t reg, int32_t value) { writes.emplace_back(reg, value); };
    io.ReadReg = [](int32_t) { return 0; };
    io.ReadChannelPhys = [&](int) { return reading; };
    TScaleADDAChain c(io);

    // A test voltage beyond the range is limited to it.
    c.MaxVolt = 10.0;
    c.DAScale = 1e-8;
    ASSERT_TRUE(c.SetTestVolt(12.0));
    EXPECT_EQ(c.TestVolt, 10.0);
    EXPECT_EQ(writes.back(), std::make_pair(32, 1000000000));

    // At 0 V a reading is an offset and leaves the scale alone.
    ASSERT_TRUE(c.SetTestVolt(0.0));
    ASSERT_TRUE(c.MeasuredDacVolts(0.013, true, -32000, 32000));
    EXPECT_DOUBLE_EQ(c.DAOffset, 0.013);
    EXPECT_EQ(c.DAScale, 1e-8);

    c.DAOffset = 0.0;
    ASSERT_TRUE(c.SetTestVolt(5.0));
    EXPECT_EQ(c.TestRaw, 500000000);
    ASSERT_TRUE(c.MeasuredDacVolts(4.9, false, 0, 0));
    EXPECT_DOUBLE_EQ(c.DAScale, 9.8e-9);
    // Limits that cannot be read: ±(2^30 − 1) digits.
    EXPECT_DOUBLE_EQ(c.MaxVolt, UnreadableDigits * 9.8e-9);

    // A negative scale turns the limits round.
    c.DAScale = -1e-3;
    ASSERT_TRUE(c.MeasuredDacVolts(-5.0, true, -1000, 2000));
    EXPECT_LT(c.MinVolt, c.MaxVolt);

    // Divisions by zero are refused, nothing changed.
    c.SGDiff = 0.0;
    c.TestVolt = 1.0;
    const double sg = c.SGScale;
    EXPECT_FALSE(c.MeasuredTravel(1000.0));
    EXPECT_EQ(c.SGScale, sg);
    reading = 0.0;
    EXPECT_FALSE(c.DisplayShould(1.0));
    EXPECT_FALSE(c.MeasuredHvaVolts(std::nan("")));

    // The display's offset keeps its digits when the scale changes.
    c.ADScale = 1.0;
    c.ADOffset = -30.0;
    reading = 2000.0;
    ASSERT_TRUE(c.DisplayShould(0.6));
    EXPECT_DOUBLE_EQ(c.ADScale, 3e-4);
    EXPECT_DOUBLE_EQ(c.ADOffset / c.ADScale, -30.0);

    // With the tip approached Z, X and Y keep still; the other outputs do not move the tip.
    const int32_t before = MicroscopeState.ZState;
    MicroscopeState.ZState = ZApproached;
    c.RampMode = false;
    c.TestChannel = 2;
    c.DAScale = 1e-3;
    writes.clear();
    EXPECT_FALSE(c.SetTestVolt(1.0));
    c.RampTick();
    EXPECT_TRUE(writes.empty());
    c.TestChannel = 4;
    EXPECT_TRUE(c.SetTestVolt(1.0));
    EXPECT_EQ(writes.size(), 1u);
    MicroscopeState.ZState = before;

    EXPECT_EQ(ScaleKeyPrefix(0), "DAC1");
    EXPECT_EQ(ScaleKeyPrefix(26), "ADC1");
    EXPECT_EQ(RegisterGridAddress({26}, 4, 8), 63);
    EXPECT_EQ(RegisterGridAddress({29}, 1, 1), 256);
}

TEST(ScaleADDAChain, ARampOverTheSensorShowsItsTravel)
{
    int32_t sensor = 2000;
    TScaleADDAIo io;
    io.WriteReg = [&](int32_t, int32_t value) { sensor = 2000 + value / 1000; };
    io.ReadReg = [&](int32_t) { return sensor; };
    TScaleADDAChain c(io);
    c.TestChannel = 2;
    c.TestVolt = 2.0;
    c.DAScale = 2e-6; // ±2 V: ±1000000 digits, the sensor between 1000 and 3000
    c.SGScale = 0.5;
    c.RampMode = true;
    c.StartRamp();
    for (int i = 0; i < 2 * RampSteps + 2; ++i)
        c.RampTick();
    EXPECT_EQ(c.SGMin, 1000);
    EXPECT_EQ(c.SGMax, 3000);
    EXPECT_DOUBLE_EQ(c.SGDiff, 1000.0);
    EXPECT_LT(c.RampStep, RampSteps); // on its way down again
}

TEST_F(CalibToolsTest, TheOffsetToolMeasuresTheZeroAndStoresItOnlyWithTheTipAway)
{
    sim::SimConfig config = FastConfig();
    config.Coarse.Gap = 20; // the tip well away from the sample
    Start(config, "ADC1Edit0=1\r\nADC1Edit1=V\r\nADC1Edit2=0.001\r\n");
    MicroscopeState.FeedbackChannel = 0; // ADC1
    TAutoOffsetForm w(*form_);
    w.FormCreate();
    w.FormActivate();
    EXPECT_EQ(w.Edit1()->text(), "0.000");
    EXPECT_EQ(w.Label4()->text(), "V");
    w.Button1Click();
    const int32_t proposed = w.MeasuredOffset;
    // The simulated input 1 sits a few digits above zero.
    EXPECT_LT(proposed, 0);
    EXPECT_GT(proposed, -20);
    EXPECT_EQ(w.Edit2()->text(), OffsetText(proposed, ChannelTable[FirstAdcSlot]));

    MicroscopeState.ZState = ZApproached;
    w.UseButtonClick();
    EXPECT_EQ(boxes_.LastText(), "Not possible now!\nPlease retract first!");
    EXPECT_EQ(MainIni->ReadString("Scale", "ADC1Edit5", "none"), "none");
    EXPECT_EQ(ChannelTable[FirstAdcSlot].Offset, 0);

    MicroscopeState.ZState = ZCoarseRetracted;
    w.Edit2()->setText("abc");
    w.UseButtonClick();
    EXPECT_EQ(w.Edit2()->Color(), EditColor::Red);
    EXPECT_EQ(MainIni->ReadString("Scale", "ADC1Edit5", "none"), "none");

    w.Edit2()->setText(OffsetText(proposed, ChannelTable[FirstAdcSlot]).replace('.', ','));
    w.UseButtonClick();
    EXPECT_EQ(w.Edit2()->Color(), EditColor::White);
    EXPECT_EQ(ChannelTable[FirstAdcSlot].Offset, proposed); // reloaded from the file
    EXPECT_NEAR(form_->AverageChannel() + proposed, 0, 3);

    EXPECT_EQ(ProposedOffset(120, false), -120);
    EXPECT_EQ(ProposedOffset(120, true), 120);
}

TEST(SliderLogic, ValuesAndTheDragAtEachZoom)
{
    TIOScale s;
    s.MinRaw = -32000;
    s.MaxRaw = 32000;
    s.Factor = 0.0003125f;
    EXPECT_NEAR(DragValue(100, 1, 0, s).Value, 0.0, 1e-9);
    const TDragResult top = DragValue(200, 1, 0, s);
    EXPECT_NEAR(top.Value, 10.0, 1e-6);
    EXPECT_FALSE(top.Clipped);
    EXPECT_NEAR(DragValue(100, 10, 2.0, s).Value, 2.0, 1e-9);
    EXPECT_NEAR(DragValue(200, 10, 2.0, s).Value, 3.0, 1e-6);
    EXPECT_NEAR(DragValue(0, 100, 2.0, s).Value, 1.9, 1e-6);
    const TDragResult clipped = DragValue(200, 10, 9.5, s);
    EXPECT_TRUE(clipped.Clipped);
    EXPECT_NEAR(clipped.Value, 10.0 - 0.001, 1e-6);
    EXPECT_EQ(clipped.Knob, 202);

    // A range that starts at 0: the press does not move the value at zoom 10.
    TIOScale u;
    u.MinRaw = 0;
    u.MaxRaw = 64000;
    u.Factor = 0.0003125f;
    EXPECT_NEAR(DragValue(100, 10, 7.0, u).Value, 7.0, 1e-9);
    EXPECT_NEAR(DragValue(150, 10, 7.0, u).Value, 7.5, 1e-6);
    EXPECT_EQ(KnobPosition(10.0, u), 100);
    EXPECT_EQ(KnobPosition(1e300, u), 202); // a number far outside stays on the track's end

    // Value to digits: outside the range nothing is written; inverted and offset channels.
    EXPECT_FALSE(SliderRaw(10.1, s).Write);
    EXPECT_EQ(SliderRaw(1.0, s).Raw, 3200);
    s.Offset = 100;
    s.Invers = true;
    EXPECT_EQ(SliderRaw(1.0, s).Raw, -3100);
}

TEST(SliderLogic, RasterOrderColoursAndWaveform)
{
    std::vector<std::tuple<char, int32_t, int32_t>> calls;
    TRasterIo io;
    io.WriteReg = [&](int32_t reg, int32_t v) { calls.emplace_back('W', reg, v); };
    io.DelayUs = [&](int32_t us) { calls.emplace_back('D', us, 0); };
    io.ReadReg = [&](int32_t reg) {
        calls.emplace_back('R', reg, 0);
        return static_cast<int32_t>(calls.size());
    };
    std::vector<int32_t> samples;
    std::atomic<int> progress{0};
    ASSERT_TRUE(RunRaster(io, 0.0003125, 0.000625, samples, &progress, nullptr));
    EXPECT_EQ(progress, RasterSize);
    ASSERT_EQ(calls.size(), static_cast<size_t>(RasterSize) * (RasterSize * 4 + RasterSize * 3));
    // Row 0, column 0: DAC5 and DAC6 at −9 V, 200 µs, the read; the return stroke without reads.
    using C = std::tuple<char, int32_t, int32_t>;
    EXPECT_EQ(calls[0], C('W', 36, -28687)); // (−127/255 × 18 V) / 0.0003125
    EXPECT_EQ(calls[1], C('W', 37, -14344));
    EXPECT_EQ(calls[2], C('D', 200, 0));
    EXPECT_EQ(calls[3], C('R', -16, 0));
    EXPECT_EQ(calls[4 * 255 + 1], C('W', 37, 14456)); // column 255: (128/255 × 18 V) / 0.000625
    EXPECT_EQ(calls[4 * 256 + 1], C('W', 37, 14456)); // the return stroke starts where the row ended
    EXPECT_EQ(calls[4 * 256 + 2], C('D', 100, 0));
    EXPECT_EQ(calls[4 * 256 + 3 * 256], C('W', 36, RasterDigits(1, 0.0003125))); // the next row

    std::atomic<bool> cancel{true};
    EXPECT_FALSE(RunRaster(io, 1, 1, samples, nullptr, &cancel));

    EXPECT_EQ(RasterGreyLevels(std::vector<int32_t>(9, 5)), std::vector<uint8_t>(9, 0));
    EXPECT_EQ(RasterColour(0), qRgb(12, 0, 24));
    EXPECT_EQ(RasterColour(55), qRgb(157, 35, 28));
    EXPECT_EQ(RasterColour(56), qRgb(159, 37, 28)); // the middle piece of red begins
    EXPECT_EQ(RasterColour(164), qRgb(231, 181, 68));
    EXPECT_EQ(RasterColour(165), qRgb(234, 183, 72)); // and the last
    EXPECT_EQ(RasterColour(255), qRgb(236, 248, 136));

    const std::vector<int32_t> saw = SawtoothWords();
    ASSERT_EQ(saw.size(), 16u);
    EXPECT_EQ(saw[0], -214748365);
    EXPECT_EQ(saw[13], WaveWord(13 * 4.0 / 14 - 2.0));
    EXPECT_EQ(saw[14], WaveWord(2.0));
    EXPECT_EQ(saw[15], 0);
    EXPECT_EQ(WaveWord(20.0), 1070000000);
}

// A slider's value is judged by the digits it writes: with an offset the
// output's digit limits lie the offset away from MinRaw and MaxRaw times the
// factor, and a value whose digits leave them is refused, red, nothing written.
TEST_F(CalibToolsTest, ASliderWritesOnlyDigitsWithinItsOutputsLimits)
{
    Start(FastConfig(), "DAC5Edit2=0.0003125\r\nDAC5Edit5=0.03125\r\n"); // 100 digits of offset
    ASSERT_EQ(ChannelTable[4].Offset.load(), 100);
    TSlidForm w(*form_);
    w.FormCreate();
    TNumericEdit* edit = w.Edit(1); // DAC5
    const auto type = [&](const char* text) {
        edit->selectAll();
        TypeAndEnter(edit, text);
    };
    type("1");
    ASSERT_EQ(sim_->Dac(5), 3100);
    for (const auto& [typed, raw] : {std::pair{"10.03125", 32000}, std::pair{"-9.96875", -32000}}) {
        type(typed);
        EXPECT_EQ(edit->Color(), EditColor::White) << typed;
        EXPECT_EQ(sim_->Dac(5), raw) << typed;
    }
    for (const char* beyond : {"10.0316", "-10", "-9.9691"}) {
        type(beyond);
        EXPECT_EQ(edit->Color(), EditColor::Red) << beyond;
        EXPECT_EQ(sim_->Dac(5), -32000) << beyond;
    }
}

TEST_F(CalibToolsTest, TheRasterRunsBesideTheWindowAndDrawsTheTestPictureTheRightWayRound)
{
    Start(FastConfig(), "DAC5Edit2=0.0003125\r\nDAC6Edit2=0.0003125\r\n");
    TSlidForm w(*form_);
    w.FormCreate();
    // Type 26 without USB: no waveform generator, so no "outside address range" boxes.
    EXPECT_FALSE(w.WaveControls()->isEnabled());
    w.Button2Click();
    EXPECT_TRUE(boxes_.Texts().isEmpty());

    ASSERT_TRUE(w.Button1Click());
    EXPECT_FALSE(w.Button1Click()); // one raster at a time
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (!w.FinishRaster() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_FALSE(w.RasterRunning());
    // The picture's x is DAC5, its y DAC6: the bump lies at DAC5 +3.15 V, DAC6 −1.8 V.
    const QImage& image = w.RasterImage();
    auto brightness = [&](int x, int y) { return qRed(image.pixel(x, y)) + qGreen(image.pixel(x, y)); };
    EXPECT_GT(brightness(172, 101), brightness(101, 172));
    EXPECT_GT(brightness(172, 101), brightness(82, 101));

    // A second raster cancelled at once keeps the picture and frees the sliders.
    const QImage before = image.copy();
    ASSERT_TRUE(w.Button1Click());
    EXPECT_FALSE(w.Edit(1)->isEnabled());
    w.CancelRaster();
    EXPECT_FALSE(w.RasterRunning());
    EXPECT_TRUE(w.Edit(1)->isEnabled());
    EXPECT_EQ(w.RasterImage(), before);

    // A click on the picture moves DAC5 and DAC6 there.
    w.Image5MouseDown(172, 101);
    EXPECT_NEAR(SimWiring::DacVolts(5, sim_->Dac(5)) - SimWiring::DacOffsetVolts(5), 45.0 / 255 * 18, 0.001);
    EXPECT_LT(sim_->Dac(6), 0);
}

TEST_F(CalibToolsTest, TheRasterButtonsAndItsSlidersAreOffWhereAClickWouldClash)
{
    Start(FastConfig(), "DAC5Edit2=0.0003125\r\nDAC6Edit2=0.0003125\r\n");
    TSlidForm w(*form_);
    w.FormCreate();
    w.show();
    auto* doButton = w.findChild<QPushButton*>("Button1");
    auto* cancel = w.findChild<QPushButton*>("CancelRasterButton");
    ASSERT_TRUE(doButton != nullptr && cancel != nullptr);
    // Idle: nothing to cancel.
    EXPECT_TRUE(doButton->isEnabled());
    EXPECT_FALSE(cancel->isEnabled());

    // Running: no second raster, and DAC5/DAC6 are the raster's.
    QTest::mouseClick(doButton, Qt::LeftButton);
    ASSERT_TRUE(w.RasterRunning());
    EXPECT_FALSE(doButton->isEnabled());
    EXPECT_TRUE(cancel->isEnabled());
    for (int k = 1; k <= 2; ++k) {
        EXPECT_FALSE(w.Edit(k)->isEnabled()) << k;
        EXPECT_FALSE(w.Track(k)->isEnabled()) << k;
    }

    QTest::mouseClick(cancel, Qt::LeftButton);
    EXPECT_FALSE(w.RasterRunning());
    EXPECT_TRUE(doButton->isEnabled());
    EXPECT_FALSE(cancel->isEnabled());
    for (int k = 1; k <= 2; ++k) {
        EXPECT_TRUE(w.Edit(k)->isEnabled()) << k;
        EXPECT_TRUE(w.Track(k)->isEnabled()) << k;
    }
}

TEST_F(CalibToolsTest, WaveformTestSignalsOnAControllerThatHasTheGenerator)
{
    sim::SimConfig config = FastConfig();
    config.ControllerType = 29;
    Start(config, "");
    TSlidForm w(*form_);
    w.FormCreate();
    ASSERT_TRUE(w.WaveControls()->isEnabled());
    sim_->ClearLog();
    w.Button2Click();
    std::vector<int32_t> data;
    for (const sim::SimRequest& r : sim_->RequestLog())
        if (r.Code == IOCTL_WRITE_REG && r.In[0] == RegWaveData)
            data.push_back(r.In[1]);
    EXPECT_EQ(data, SawtoothWords());
    w.ScrollBar1Change(-2);
    EXPECT_EQ(sim_->Register(RegWaveLevel), -2 * WaveLevelStep);
    EXPECT_TRUE(boxes_.Texts().isEmpty());
}

TEST_F(CalibToolsTest, TheCalibrationWindowChecksUnitsAndShowsTheRightRegisters)
{
    sim::SimConfig config = FastConfig();
    config.ControllerType = 29;
    Start(config, "ADC5Edit0=24\r\nADC5Edit1=V\r\nADC13Edit0=11\r\n[HardLin]\r\nInX=4\r\n");
    TScaleADDAForm w(*form_);
    w.HardLinActive = [] { return true; };
    w.FormCreate();
    w.FormActivate();
    w.TestChannelCombo()->setCurrentIndex(2);
    EXPECT_FALSE(w.ImpossibleLabel()->isVisibleTo(&w));

    // X in nm over a gauge in V: the chain does not close, nothing is stored.
    w.DacEdit(1)->setText("nm");
    w.ScaleEditKeyPress(1);
    EXPECT_EQ(w.DacEdit(1)->property("Color").toString(), "red");
    EXPECT_EQ(w.AdcEdit(1)->property("Color").toString(), "red");
    EXPECT_FALSE(MainIni->ValueExists("Scale", "DAC3Edit1"));
    w.AdcEdit(1)->setText("nm");
    w.SGScaleEditKeyPress(1);
    w.ScaleEditKeyPress(1);
    EXPECT_EQ(MainIni->ReadString("Scale", "DAC3Edit1", ""), "nm");
    EXPECT_EQ(ChannelTable[SlotX].UnitName, "nm");

    // The allowed range typed in volts becomes the digit limits.
    w.Chain().DAScale = 1e-4;
    w.MinMaxEdit(2)->setText("2");
    w.MinMaxEditKeyPress(2);
    EXPECT_EQ(w.DacEdit(4)->text(), "20000");

    // A type-29 controller keeps these registers from 256 on.
    form_->WriteReg(256 + 9, 0x1234);
    w.Timer1Timer();
    EXPECT_EQ(w.RegisterGrid()->item(1, 1)->text(), "00001234");

    // The resonance input (address 11) cannot be scaled here.
    w.RadioGroup2Click(true);
    w.DMSChannelComboChange(12);
    EXPECT_TRUE(w.ImpossibleLabel()->isVisibleTo(&w));
}
