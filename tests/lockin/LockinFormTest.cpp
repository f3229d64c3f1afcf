#include "EditInput.h"
#include "support/LockInFixture.h"

#include "core/IniFile.h"
#include "device/InOutForm.h"
#include "lockin/LockinForm.h"
#include "lockin/LockinWords.h"
#include "platform/MessageBoxes.h"
#include "sim/SimLockIn.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QTest>

#include <cmath>
#include <vector>

namespace qvt {
namespace {

TEST(LockinWords, FrequencyAmplitudeGainAndPhaseWords)
{
    const TLockinFrequency f = LockinFrequencyWord(40000.0);
    ASSERT_TRUE(f.Ok);
    EXPECT_EQ(f.Word, 17179869u);
    EXPECT_NEAR(f.Hz, 39999.99957, 1e-5);
    EXPECT_FALSE(LockinFrequencyWord(0.0).Ok);
    EXPECT_FALSE(LockinFrequencyWord(1.0e7).Ok); // the word would be 2^32
    EXPECT_FALSE(LockinFrequencyWord(std::nan("")).Ok);

    TLockinRanges r;
    r.Scale = {100.0, 1000.0, 10000.0, 100000.0};
    // The range tests are "above": 1 V exactly is still range 1.
    for (double v : {0.5, 1.0}) {
        const TLockinAmplitude a = LockinAmplitudeWord(v, r);
        EXPECT_EQ(a.RangeBits, 0x20) << v;
        EXPECT_EQ(a.Word, std::lround(v * 1000.0)) << v;
    }
    EXPECT_EQ(LockinAmplitudeWord(50.0, r).Volts, 10.0); // at most Switch0
    EXPECT_EQ(LockinAmplitudeWord(50.0, r).RangeBits, 0x00);
    EXPECT_EQ(LockinAmplitudeWord(0.05, r).RangeBits, 0x10);
    EXPECT_EQ(LockinAmplitudeWord(0.01, r).RangeBits, 0x30);
    EXPECT_EQ(LockinAmplitudeWord(-1.0, r).Word, 0);
    r.Scale[0] = 1000.0;
    EXPECT_TRUE(LockinAmplitudeWord(5.0, r).Clipped);
    EXPECT_EQ(LockinAmplitudeWord(5.0, r).Word, 2047);

    int32_t bits = 0;
    EXPECT_TRUE(LockinGainBits(10, bits));
    EXPECT_EQ(bits, 0x0C);
    EXPECT_FALSE(LockinGainBits(5, bits));
    EXPECT_EQ(bits, 0x0E);

    EXPECT_EQ(LockinPhaseCode(0.0), 4096);
    EXPECT_EQ(LockinPhaseCode(180.0), 0);
    EXPECT_EQ(LockinPhaseCode(359.0), 4073);
    EXPECT_EQ(LockinPhaseCode(-1.0), LockinPhaseCode(359.0));
    EXPECT_EQ(LockinPhaseCode(1.0e9), 4096); // one correction each way, then clamped
    EXPECT_EQ(LockinHarmonicPhaseWord(20, true, 180.0), (15u << 28) | (1u << 16));
}

TEST(LockinWords, FilterTablesHoldTheMeasuredRowsAndUnitGainBetween)
{
    const TLockinFilterTables t;
    auto q = [](double v) { return static_cast<int32_t>(std::lround(v * 2147483648.0)); };
    TSetFilterRecord rec;
    ASSERT_TRUE(t.Record(0, -1, rec));
    EXPECT_EQ(rec.Coefficients[0], 0x7FFFFFFF);
    EXPECT_EQ(rec.Coefficients[4], 0x7FFFFFFF);
    EXPECT_EQ(rec.Coefficients[5], 0);

    ASSERT_TRUE(t.Record(0, 0, rec));
    EXPECT_EQ(rec.Coefficients[0], 0x7FFFFFFF);
    EXPECT_EQ(rec.Coefficients[4], q(0.743354));
    EXPECT_EQ(rec.Coefficients[5], q(0.223712));
    EXPECT_EQ(rec.Coefficients[7], q(0.743354));
    ASSERT_TRUE(t.Record(13, 1, rec));
    EXPECT_EQ(rec.Coefficients[6], q(0.499977));
    ASSERT_TRUE(t.Record(0, 2, rec));
    EXPECT_EQ(rec.Coefficients[0], q(0.554426));
    EXPECT_EQ(rec.Coefficients[6], q(0.274984));
    ASSERT_TRUE(t.Record(13, 2, rec));
    EXPECT_EQ(rec.Coefficients[1], q(0.999970));
    ASSERT_TRUE(t.Record(20, 0, rec));
    EXPECT_EQ(rec.Coefficients[4], 0); // unused slots stay zero
    EXPECT_FALSE(t.Record(21, 0, rec));
    EXPECT_FALSE(t.Record(0, 3, rec));

    // Every designed section passes DC unchanged (to the Q31 steps of the
    // slowest ones), and slower filters have
    // smaller input weights.
    for (int slope = 0; slope < 3; ++slope) {
        double lastC4 = 1.0;
        for (int k = 1; k <= 12; ++k) {
            ASSERT_TRUE(t.Record(k, slope, rec));
            for (int s = 0; s < 2; ++s) {
                const double a = rec.Coefficients[4 * s] / 2147483648.0;
                const double b = rec.Coefficients[4 * s + 1] / 2147483648.0;
                const double c = rec.Coefficients[4 * s + 2] / 2147483648.0;
                EXPECT_NEAR(a * a / (1.0 - 2.0 * b + 2.0 * c), 1.0, 0.15) << slope << " " << k;
            }
            const double c4 = rec.Coefficients[4] / 2147483648.0;
            EXPECT_LT(c4, lastC4) << slope << " " << k;
            lastC4 = c4;
        }
    }
}

// The window on the simulated second device, its X/Y read through the
// simulated controller.
class LockinOnSim : public test::LockInOnSim {
protected:
    void SetUp() override
    {
        LockInOnSim::SetUp();
        savedTable_ = ChannelTable;
        ini_->WriteFloat("Lockin", "Scale0", 200.0);
        ini_->WriteFloat("Lockin", "Scale1", 2000.0);
        ini_->WriteFloat("Lockin", "Ampl", 2.0);
        ini_->WriteInteger("Lockin", "TimeConst", 4);
        ini_->WriteInteger("Lockin", "RollOff", 1);
    }
    void TearDown() override
    {
        if (form_)
            form_->FormDestroy();
        form_.reset();
        CloseDevice(workers_, io_);
        UnplugDevice(LockInDeviceName);
        ChannelTable = savedTable_;
        LockInOnSim::TearDown();
    }
    void Start(bool withDevice = true)
    {
        sim::SimConfig config = FastConfig();
        config.ControllerType = 25; // no built-in multi lock-in: the separate one is in use
        sim_ = PlugSim(config);
        if (withDevice) {
            lockin_ = std::make_shared<sim::SimLockIn>();
            PlugInDevice(LockInDeviceName, lockin_);
        }
        io_ = std::make_unique<TInOutForm>();
        io_->FormCreate();
        form_ = std::make_unique<TLockinForm>();
        io_->LockInHooks.FilterTable = [this](int tc, int slope, TSetFilterRecord& r) {
            return form_->FilterRecord(tc, slope, r);
        };
        form_->FormCreate(io_.get());
    }

    ScriptedMessageResponder boxes_;
    std::shared_ptr<sim::SimController> sim_;
    std::shared_ptr<sim::SimLockIn> lockin_;
    std::unique_ptr<TInOutForm> io_;
    std::unique_ptr<TDeviceWorkers> workers_;
    std::unique_ptr<TLockinForm> form_;
    TChannelTable savedTable_;
};

TEST_F(LockinOnSim, SettingsReachTheDeviceAndTheFiltersTheController)
{
    Start();
    ASSERT_TRUE(form_->DeviceOpen());
    EXPECT_EQ(lockin_->FrequencyWord(), 17179869); // 40000 Hz by default
    EXPECT_NEAR(form_->Frequency(), 39999.99957, 1e-5);
    EXPECT_EQ(lockin_->AmplitudeWord(), 400); // 2 V in range 0
    EXPECT_EQ(lockin_->ControlWord(), 0x0C);  // range 0, gain 10
    EXPECT_EQ(lockin_->PhaseWord(), (1 << 28) | 4096);
    EXPECT_EQ(CountCode(*sim_, IOCTL_SET_FILTER), 2); // filters 0 and 1

    EXPECT_TRUE(form_->EnterText(2, "500m"));
    EXPECT_EQ(lockin_->ControlWord(), 0x2C);
    EXPECT_EQ(lockin_->AmplitudeWord(), 1000);
    EXPECT_NEAR(ini_->ReadFloat("Lockin", "Ampl", 0), 0.5, 1e-12);
    EXPECT_TRUE(form_->EnterText(4, "20"));
    EXPECT_EQ(static_cast<uint32_t>(lockin_->PhaseWord()) >> 28, 15u);
    EXPECT_TRUE(form_->EnterText(1, "12.5k"));
    EXPECT_EQ(lockin_->FrequencyWord(), std::lround(12500.0 * 429.4967296));
    EXPECT_FALSE(form_->EnterText(3, "abc"));

    EXPECT_TRUE(form_->SetGain(100));
    EXPECT_EQ(lockin_->ControlWord() & LockinGainMask, 0x08);
    EXPECT_EQ(ChannelTable[14].Factor.load(), 1.0f); // [LOCKIN] one
    EXPECT_FALSE(form_->SetGain(3));
    EXPECT_EQ(boxes_.LastText(), "Gain does not exist!");

    form_->SetDisplayQuantity(1, 3);
    form_->Timer1Timer();
    EXPECT_TRUE(form_->DisplayText(1).endsWith(QString::fromUtf8("°")));
    EXPECT_FALSE(form_->DisplayText(0).isEmpty());
    EXPECT_TRUE(form_->TimerActive());
    QDir().mkpath("temp");
    EXPECT_TRUE(form_->grab().save("temp/LockinForm.png"));
}

// Each value at its limit, just inside and just beyond it: the device's word,
// the edit and the settings agree, and a frequency no word holds is refused
// red and kept nowhere.
TEST_F(LockinOnSim, EveryValueIsSentAsShownAndStoredOrRefusedRed)
{
    Start();
    auto* freq = form_->findChild<QLineEdit*>("Edit1");
    auto* ampl = form_->findChild<QLineEdit*>("Edit2");
    auto* phase = form_->findChild<QLineEdit*>("Edit3");
    auto* harm = form_->findChild<QLineEdit*>("Edit4");
    ASSERT_TRUE(freq && ampl && phase && harm);

    // Frequency: the highest word is sent, and its frequency shown and stored.
    test::TypeEnter(freq, "9999999.9976");
    EXPECT_FALSE(test::IsRed(freq));
    EXPECT_EQ(static_cast<uint32_t>(lockin_->FrequencyWord()), 0xFFFFFFFFu);
    const double held = 4294967295.0 * 1.0e7 / 4294967296.0;
    EXPECT_EQ(form_->Frequency(), held);
    EXPECT_NEAR(ini_->ReadFloat("Lockin", "freq", 0), held, 1e-6);
    EXPECT_NEAR(freq->text().toDouble(), held, 0.01);
    for (const char* beyond : {"9999999.9989", "1e12", "0", "0.001"}) {
        test::TypeEnter(freq, beyond);
        EXPECT_TRUE(test::IsRed(freq)) << beyond;
        EXPECT_EQ(static_cast<uint32_t>(lockin_->FrequencyWord()), 0xFFFFFFFFu) << beyond;
        EXPECT_NEAR(ini_->ReadFloat("Lockin", "freq", 0), held, 1e-6) << beyond;
        EXPECT_EQ(form_->Frequency(), held) << beyond;
    }
    test::TypeEnter(freq, "0.0012"); // the lowest word, 1
    EXPECT_FALSE(test::IsRed(freq));
    EXPECT_EQ(lockin_->FrequencyWord(), 1);
    EXPECT_NEAR(ini_->ReadFloat("Lockin", "freq", 0), 1.0e7 / 4294967296.0, 1e-12);

    // Amplitude: at most 10 V (Switch0); more is limited, shown and stored as 10 V.
    test::TypeEnter(ampl, "10");
    EXPECT_EQ(lockin_->AmplitudeWord(), 2000);
    EXPECT_EQ(ini_->ReadFloat("Lockin", "Ampl", 0), 10.0);
    for (const char* beyond : {"10.001", "1000"}) {
        test::TypeEnter(ampl, beyond);
        EXPECT_FALSE(test::IsRed(ampl)) << beyond;
        EXPECT_EQ(lockin_->AmplitudeWord(), 2000) << beyond;
        EXPECT_EQ(ampl->text().trimmed(), "10.000") << beyond;
        EXPECT_EQ(ini_->ReadFloat("Lockin", "Ampl", 0), 10.0) << beyond;
    }
    test::TypeEnter(ampl, "9.995");
    EXPECT_EQ(lockin_->AmplitudeWord(), 1999);
    EXPECT_EQ(ini_->ReadFloat("Lockin", "Ampl", 0), 9.995);

    // Harmonic: 15 at most; phase: the angle its code sends.
    test::TypeEnter(harm, "15");
    EXPECT_EQ(static_cast<uint32_t>(lockin_->PhaseWord()) >> 28, 15u);
    EXPECT_EQ(ini_->ReadInteger("Lockin", "Harm", 0), 15);
    test::TypeEnter(harm, "16");
    EXPECT_EQ(static_cast<uint32_t>(lockin_->PhaseWord()) >> 28, 15u);
    EXPECT_EQ(ini_->ReadInteger("Lockin", "Harm", 0), 15);
    EXPECT_EQ(harm->text(), "15");
    test::TypeEnter(phase, "400");
    const int32_t code = lockin_->PhaseWord() & 0x1FFF;
    EXPECT_EQ(code, LockinPhaseCode(40.0));
    EXPECT_NEAR(ini_->ReadFloat("Lockin", "Phase", 0), 40.0, 360.0 / 8192.0);
    EXPECT_EQ(phase->text().trimmed(), "40.0");
}

// The harmonic runs 0..15 in the top four bits of the phase word: each end is
// taken, one beyond is sent, shown and stored as that end.
TEST_F(LockinOnSim, TheHarmonicIsKeptFromZeroToFifteen)
{
    Start();
    auto* harm = form_->findChild<QLineEdit*>("Edit4");
    ASSERT_NE(harm, nullptr);
    for (const auto& [typed, kept] : {std::pair{"0", 0}, std::pair{"-1", 0}, std::pair{"1", 1}, std::pair{"15", 15},
                                      std::pair{"16", 15}, std::pair{"14.6", 15}, std::pair{"-1e9", 0}}) {
        SCOPED_TRACE(typed);
        test::TypeEnter(harm, typed);
        EXPECT_FALSE(test::IsRed(harm));
        EXPECT_EQ(static_cast<uint32_t>(lockin_->PhaseWord()) >> 28, static_cast<uint32_t>(kept));
        EXPECT_EQ(ini_->ReadInteger("Lockin", "Harm", -1), kept);
        EXPECT_EQ(harm->text().trimmed(), QString::number(kept));
    }
}

// Settings the device cannot run are not shown as if it did: the window opens
// showing and storing what it sent.
TEST_F(LockinOnSim, StoredValuesBeyondTheDeviceOpenAsSent)
{
    ini_->WriteFloat("Lockin", "freq", 1.0e12);
    ini_->WriteFloat("Lockin", "Ampl", 100.0);
    ini_->WriteInteger("Lockin", "Harm", 20);
    Start();
    EXPECT_EQ(lockin_->FrequencyWord(), 17179869); // the default 40000 Hz
    EXPECT_EQ(ini_->ReadFloat("Lockin", "freq", 0), 40000.0);
    EXPECT_NEAR(form_->findChild<QLineEdit*>("Edit1")->text().toDouble(), 40000.0, 0.01);
    EXPECT_EQ(lockin_->AmplitudeWord(), 2000);
    EXPECT_EQ(form_->findChild<QLineEdit*>("Edit2")->text().trimmed(), "10.000");
    EXPECT_EQ(ini_->ReadFloat("Lockin", "Ampl", 0), 10.0);
    EXPECT_EQ(static_cast<uint32_t>(lockin_->PhaseWord()) >> 28, 15u);
    EXPECT_EQ(ini_->ReadInteger("Lockin", "Harm", 0), 15);

    // A range scale too large for 2047 words: the message, and the volts 2047 sends.
    form_->FormDestroy();
    form_.reset();
    CloseDevice(workers_, io_);
    UnplugDevice(LockInDeviceName);
    ini_->WriteFloat("Lockin", "Scale0", 300.0);
    boxes_.Clear();
    Start();
    EXPECT_EQ(lockin_->AmplitudeWord(), 2047);
    EXPECT_EQ(boxes_.Texts().size(), 1);
    EXPECT_EQ(ini_->ReadFloat("Lockin", "Ampl", 0), 2047.0 / 300.0);
    EXPECT_EQ(form_->findChild<QLineEdit*>("Edit2")->text().trimmed(), "6.823");
}

TEST_F(LockinOnSim, ShownAtStartAsTheUserFileSaysAndClosingReleasesTheMainButton)
{
    TQVTIniFile user(dir_.Path() + "user.ini");
    TQVTIniFile* savedUser = UserIni;
    UserIni = &user;
    user.WriteBool("Software", "LockinButton", true);
    Start();
    EXPECT_TRUE(form_->isVisible());
    std::vector<bool> button;
    form_->SetMainButton = [&](bool down) { button.push_back(down); };
    form_->close();
    EXPECT_FALSE(form_->isVisible());
    EXPECT_EQ(button, std::vector<bool>{false});
    UserIni = savedUser;
}

// The filter chosen in the window's boxes is the one the next start opens
// with and sends: time constant and roll-off each in its own place.
TEST_F(LockinOnSim, TheFilterChosenInTheBoxesComesBackAtTheNextStart)
{
    Start();
    ASSERT_TRUE(form_->DeviceOpen());
    form_->show();
    auto* tau = form_->findChild<QComboBox*>("TimeConstBox");
    auto* rollOff = form_->findChild<QComboBox*>("RollOffBox");
    ASSERT_TRUE(tau && rollOff);
    // Chosen with the keyboard, as the operator does: activated, not only set.
    const auto choose = [](QComboBox* box, int index) {
        box->setFocus();
        while (box->currentIndex() != index)
            QTest::keyClick(box, box->currentIndex() < index ? Qt::Key_Down : Qt::Key_Up);
    };
    const int tauChosen = tau->currentIndex() == 6 ? 7 : 6;
    choose(tau, tauChosen);
    choose(rollOff, 2);
    form_->FormDestroy();
    form_.reset();

    form_ = std::make_unique<TLockinForm>();
    io_->LockInHooks.FilterTable = [this](int tc, int slope, TSetFilterRecord& r) {
        return form_->FilterRecord(tc, slope, r);
    };
    form_->FormCreate(io_.get());
    EXPECT_EQ(form_->findChild<QComboBox*>("TimeConstBox")->currentIndex(), tauChosen);
    EXPECT_EQ(form_->findChild<QComboBox*>("RollOffBox")->currentIndex(), 2);
    EXPECT_EQ(ini_->ReadInteger("Lockin", "TimeConst", -1), tauChosen);
    EXPECT_EQ(ini_->ReadInteger("Lockin", "RollOff", -1), 2);
}

TEST_F(LockinOnSim, TheFrequencyIsNotTypedWhileTheReferenceIsExternal)
{
    ini_->WriteInteger("Lockin", "PLLOn", 1);
    Start();
    auto* freq = form_->findChild<QLineEdit*>("Edit1");
    ASSERT_NE(freq, nullptr);
    EXPECT_FALSE(freq->isEnabled());
    EXPECT_TRUE(form_->findChild<QLineEdit*>("Edit2")->isEnabled());
    // This amplifier has no external reference input: its item cannot be chosen.
    ASSERT_EQ(freq->actions().size(), 1);
    EXPECT_EQ(freq->actions()[0]->text(), "ext. Referenz");
    EXPECT_FALSE(freq->actions()[0]->isEnabled());
}

TEST_F(LockinOnSim, AFaultStopsTheDisplayWithItsMessage)
{
    Start();
    lockin_->SetAbsent(true); // every status bit set
    form_->Timer1Timer();
    EXPECT_FALSE(form_->TimerActive());
    EXPECT_EQ(boxes_.LastText(), "Problems with device driver - or no hardware found!");
    EXPECT_GE(boxes_.BeepCount(), 1);
}

// The window's menus and unit labels, and its silence next to a built-in
// multi lock-in, whose LIA 1 X/Y scale it would otherwise overwrite.
TEST_F(LockinOnSim, UnitsMenusAndIdleBesideAMultiLockIn)
{
    Start();
    form_->UnitLabelClick(1);
    EXPECT_EQ(form_->UnitText(1), "kHz");
    EXPECT_EQ(ini_->ReadInteger("Lockin", "Label2Tag", 0), 1);
    form_->UnitLabelClick(1);
    form_->UnitLabelClick(1);
    EXPECT_EQ(form_->UnitText(1), "mHz");
    form_->UnitLabelClick(2);
    EXPECT_EQ(form_->UnitText(2), "mV");
    form_->UnitLabelClick(2);
    EXPECT_EQ(form_->UnitText(2), "V");
    EXPECT_TRUE(form_->EnterText(2, "0.5"));
    EXPECT_EQ(lockin_->AmplitudeWord(), 1000);

    form_->ItemExtInputClick();
    EXPECT_TRUE(form_->PllOn());
    EXPECT_EQ(static_cast<uint32_t>(lockin_->PhaseWord()) >> 16 & 1u, 1u);
    ini_->WriteFloat("Lockin", "freq", 20000.0);
    form_->ItemExtInputClick();
    EXPECT_FALSE(form_->PllOn());
    EXPECT_EQ(form_->Frequency(), 20000.0);

    form_->SetOverloadBeep(false);
    EXPECT_FALSE(ini_->ReadBool("Lockin", "InputStatusBeep", true));
    form_->SetOverloadColour(false);
    EXPECT_FALSE(ini_->ReadBool("Lockin", "InputStatusRed", true));

    form_->SetDisplayQuantity(0, 3); // Phi in degrees: no volt formats
    EXPECT_FALSE(form_->FormatMenuShown(0));
    ChannelTable[14].UnitName = "V";
    form_->SetDisplayQuantity(0, 0);
    EXPECT_TRUE(form_->FormatMenuShown(0));
    form_->SetDisplayFormat(0, 4);
    EXPECT_EQ(ini_->ReadInteger("Lockin", "Dispplay0ActivMenuItem", -1), 4);

    form_->FormDestroy();
    form_.reset();
    CloseDevice(workers_, io_);
    sim_ = PlugSim(FastConfig()); // type 26: the multi lock-in owns LIA 1 X/Y
    io_ = std::make_unique<TInOutForm>();
    io_->FormCreate();
    ASSERT_TRUE(MultiLockInPresent);
    ChannelTable[14].Factor = 0.25f;
    form_ = std::make_unique<TLockinForm>();
    form_->FormCreate(io_.get());
    EXPECT_FALSE(form_->DeviceOpen());
    EXPECT_EQ(ChannelTable[14].Factor.load(), 0.25f);
    TSetFilterRecord record;
    EXPECT_TRUE(form_->FilterRecord(0, 0, record)); // the tables still serve every filter
}

} // namespace
} // namespace qvt
