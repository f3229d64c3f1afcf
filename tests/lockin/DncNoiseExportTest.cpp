// The thermal-noise transform, the export files and the option arithmetic.

#include "core/NumberText.h"
#include "lockin/DncExport.h"
#include "lockin/DncNoise.h"
#include "lockin/DncSweep.h"
#include "lockin/LockInOptions.h"

#include "support/TestSupport.h"

#include <QFile>

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <random>

namespace qvt {
namespace {

constexpr double ClockHz = 39062.5;

TEST(NoiseSpectrum, TransformMatchesAPlainDftInTheDisplayOrder)
{
    std::mt19937 gen(5);
    std::uniform_int_distribution<int> u(-20000, 20000);
    std::array<int32_t, NoiseSamples> x{}, y{};
    for (int k = 0; k < NoiseSamples; ++k) {
        x[static_cast<size_t>(k)] = u(gen) + 1000; // a mean to remove
        y[static_cast<size_t>(k)] = u(gen) - 500;
    }
    std::array<double, NoiseSamples> m{};
    ASSERT_TRUE(ComputeNoiseFft(x.data(), y.data(), m));

    double mx = 0.0, my = 0.0;
    for (int k = 0; k < NoiseSamples; ++k) {
        mx += x[static_cast<size_t>(k)];
        my += y[static_cast<size_t>(k)];
    }
    mx /= NoiseSamples;
    my /= NoiseSamples;
    for (const int offset : {-256, -100, -3, -1, 1, 7, 128, 254}) {
        std::complex<double> sum;
        for (int n = 0; n < NoiseSamples; ++n) {
            const double s = std::sin(std::numbers::pi * n / NoiseSamples);
            const std::complex<double> v(s * s * (x[static_cast<size_t>(n)] - mx),
                                         s * s * (y[static_cast<size_t>(n)] - my));
            sum += v * std::polar(1.0, -2.0 * std::numbers::pi * offset * n / NoiseSamples);
        }
        SCOPED_TRACE(offset);
        // Offset k is sample 255 − k (the centre and sample 0, offset 255, are touched up).
        EXPECT_NEAR(m[static_cast<size_t>(255 - offset)], std::round(std::abs(sum) / 100.0), 1.0);
    }
}

// A tone at f_c + Δ in the lock-in's convention (X + iY turning backwards).
std::array<double, NoiseSamples> ToneSpectrum(double delta, int32_t d)
{
    std::array<int32_t, NoiseSamples> x{}, y{};
    for (int n = 0; n < NoiseSamples; ++n) {
        const double t = n * d / ClockHz;
        x[static_cast<size_t>(n)] =
            static_cast<int32_t>(std::lround(1.0e5 * std::cos(2 * std::numbers::pi * delta * t)));
        y[static_cast<size_t>(n)] =
            static_cast<int32_t>(std::lround(-1.0e5 * std::sin(2 * std::numbers::pi * delta * t)));
    }
    std::array<double, NoiseSamples> m{}, spectrum{};
    EXPECT_TRUE(ComputeNoiseFft(x.data(), y.data(), m));
    EXPECT_TRUE(ComputeAmplitudeCorrection(m, d, spectrum));
    return spectrum;
}

TEST(NoiseSpectrum, AToneLandsOnThePointNearestItsFrequency)
{
    const double start = 20000.0, stop = 22000.0;
    const int32_t d = NoiseDecimation(stop - start);
    ASSERT_EQ(d, 20);
    for (const double delta : {-613.0, -97.3, 3.9, 41.0, 250.7, 777.0}) {
        TDncCurves curves;
        curves.Allocate(512, 0);
        TNoiseMapping m;
        m.SweepStart = start;
        m.SweepStop = stop;
        m.SweepStep = (stop - start) / 512;
        m.DataPoints = 512;
        m.Decimation = d;
        MapNoiseSpectrum(ToneSpectrum(delta, d), m, curves);
        const auto& c = curves.Newest();
        const auto peak = std::max_element(c.begin(), c.end()) - c.begin();
        const double f = peak * m.SweepStep + start;
        SCOPED_TRACE(delta);
        EXPECT_LE(std::abs(f - (21000.0 + delta)), m.SweepStep / 2 + NoiseBinWidth(d) / 2);
        EXPECT_EQ(curves.Y[static_cast<size_t>(peak)], 0.0);
        EXPECT_EQ(curves.X[static_cast<size_t>(peak)], c[static_cast<size_t>(peak)]);
    }
}

TEST(NoiseSpectrum, DecimationCorrectionBinsAndTheWait)
{
    EXPECT_EQ(NoiseDecimation(39062.5), 2);
    EXPECT_EQ(NoiseDecimation(100000.0), 2);
    EXPECT_EQ(NoiseDecimation(1000.0), 39);
    EXPECT_DOUBLE_EQ(NoiseBinWidth(20), ClockHz / (512 * 20));
    EXPECT_DOUBLE_EQ(NoiseBinWidth(0), 1.0);

    EXPECT_NEAR(NoiseCorrection(256, 2), 1.0, 1e-4);
    EXPECT_NEAR(NoiseCorrection(257, 20), 1.0, 1e-4);
    EXPECT_DOUBLE_EQ(NoiseCorrection(1, 2), NoiseCorrectionLimit);
    EXPECT_DOUBLE_EQ(NoiseCorrection(512, 2), NoiseCorrectionLimit);
    EXPECT_LT(NoiseCorrection(1, 20), 1.1); // a narrow span hardly rolls off
    EXPECT_GT(NoiseCorrection(100, 2), NoiseCorrection(200, 2));

    // Points outside the transform's band take the edge bins.
    EXPECT_EQ(NoiseBin(21000.0, 21000.0, 3.8), 256);
    EXPECT_EQ(NoiseBin(21000.0 + 3.8, 21000.0, 3.8), 257);
    EXPECT_EQ(NoiseBin(1.0e6, 21000.0, 3.8), 512);
    EXPECT_EQ(NoiseBin(-1.0e6, 21000.0, 3.8), 1);
    EXPECT_EQ(NoiseBin(std::nan(""), 21000.0, 3.8), 1);

    // The wait: a full frame, an abort or the frame's time and 2 s.
    EXPECT_EQ(NoiseWaitStep(511, false, 0.1, 20), NoiseWaitState::Waiting);
    EXPECT_EQ(NoiseWaitStep(512, true, 99.0, 20), NoiseWaitState::Ready);
    EXPECT_EQ(NoiseWaitStep(3, true, 0.1, 20), NoiseWaitState::Aborted);
    EXPECT_EQ(NoiseWaitStep(3, false, 512 * 20 / ClockHz + 2.01, 20), NoiseWaitState::TimedOut);
    EXPECT_EQ(NoiseWaitStep(3, false, 512 * 20 / ClockHz + 1.99, 20), NoiseWaitState::Waiting);

    // The running mean over spectra.
    TDncCurves curves;
    curves.Allocate(256, 0);
    std::array<double, NoiseSamples> flat{};
    flat.fill(2.0);
    TNoiseMapping m;
    m.SweepStart = 20000.0;
    m.SweepStop = 20100.0;
    m.SweepStep = 100.0 / 256;
    m.DataPoints = 256;
    m.Factor = std::numbers::sqrt2;
    MapNoiseSpectrum(flat, m, curves);
    EXPECT_DOUBLE_EQ(curves.Newest()[10], 2.0);
    flat.fill(4.0);
    m.ContAverage = 2;
    MapNoiseSpectrum(flat, m, curves);
    EXPECT_DOUBLE_EQ(curves.Newest()[256], 3.0);
}

TDncCurves ExportCurves()
{
    TDncCurves c;
    c.Allocate(256, 2);
    for (int i = 0; i <= 256; ++i) {
        c.Curve(0)[static_cast<size_t>(i)] = 0.5 + i;
        c.Curve(1)[static_cast<size_t>(i)] = 1.25;
        c.Curve(2)[static_cast<size_t>(i)] = -3.0;
        c.Phase[static_cast<size_t>(i)] = 45000.0;
    }
    return c;
}

TEST(DncExport, LinesCarryTheChosenColumnsAndDelimiter)
{
    const TDncCurves c = ExportCurves();
    TDncExportColumns cols;
    cols.Delimiter = SaveDelimiter(1);
    cols.Phase = true;
    QList<QByteArray> lines = DncExportText(c, 256, 10.0, 1000.0, cols).split('\n');
    ASSERT_EQ(lines.size(), 257);
    EXPECT_EQ(lines[0], "1010.00\t45.000\t1.5\t1.25\t-3\r");
    EXPECT_EQ(lines[255], "3560.00\t45.000\t256.5\t1.25\t-3\r");

    // A comment line, no frequency, and "none" after a TAB file: no delimiter at all.
    cols = {};
    cols.XAxis = false;
    cols.Delimiter = SaveDelimiter(0);
    cols.WithComment = true;
    cols.Comment = "cantilever 7";
    lines = DncExportText(c, 256, 10.0, 1000.0, cols).split('\n');
    EXPECT_EQ(lines[0], "cantilever 7\r");
    EXPECT_EQ(lines[1], "1.51.25-3\r");
    EXPECT_EQ(SaveDelimiter(9), "");
    EXPECT_EQ(SaveDelimiter(2), " ");
    EXPECT_EQ(SaveDelimiter(3), ",");
    EXPECT_EQ(SaveDelimiter(4), ".");

    // History depth 0 with every optional column off: the newest value alone.
    TDncCurves one;
    one.Allocate(256, 0);
    one.Curve(0)[1] = 0.125;
    cols.WithComment = false;
    EXPECT_TRUE(DncExportText(one, 256, 10.0, 1000.0, cols).startsWith("0.125\r\n"));

    const QString clip = DncClipboardText(c, 256, 10.0, 1000.0, ",");
    EXPECT_TRUE(clip.startsWith("1010.00,1.500000000\r\n"));
    EXPECT_EQ(clip.count("\r\n"), 256);
}

TEST(DncExport, NumberedNamesStartAtZeroStopAt9999AndNeverOverwrite)
{
    int next = 0;
    EXPECT_EQ(DncSaveFileName("/data/curve", "txt", true, next), "/data/curve0000.txt");
    EXPECT_EQ(next, 1);
    next = 9999;
    EXPECT_EQ(DncSaveFileName("/data/curve", "txt", true, next), "/data/curve9999.txt");
    EXPECT_EQ(DncSaveFileName("/data/curve", "txt", true, next), "/data/curve9999.txt");
    EXPECT_EQ(next, 10001);
    EXPECT_EQ(DncSaveFileName("/data/curve", "dat", false, next), "/data/curve.dat");
    EXPECT_EQ(DncLocalPath("c:\\temp\\noname"), "/temp/noname");

    test::TempDir dir;
    const QString path = dir.Path() + "a.txt";
    EXPECT_EQ(WriteDncExport(path, "first\r\n"), DncSaveResult::Saved);
    EXPECT_EQ(WriteDncExport(path, "second\r\n"), DncSaveResult::Exists);
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), "first\r\n");
    EXPECT_EQ(WriteDncExport(dir.Path() + "none/a.txt", "x"), DncSaveResult::NoDirectory);
}

TEST(LockInOptions, LimitsQWordDelayAnglesAndControllerGates)
{
    EXPECT_EQ(ClampOptionAverage(5), 9);
    EXPECT_EQ(ClampOptionAverage(5000), 3000);
    EXPECT_EQ(ClampOptionHistory(150), 100);
    EXPECT_EQ(ClampOptionHistory(-2), 0);
    EXPECT_EQ(QControlGainWord(900), 131071);
    EXPECT_EQ(QControlGainWord(450), 65536); // 65535.5 to even
    EXPECT_EQ(QControlGainWord(5000), QGainWordMax);
    EXPECT_EQ(QDelayAngle(0, 50), 90);
    EXPECT_EQ(QDelayAngle(50, 0), 0);
    EXPECT_EQ(QDelayAngle(0, -50), 270);
    EXPECT_EQ(QDelayAngle(-50, 0), 180);
    // The radius is rounded first: 30, 30 gives r 42 and asin(30/42) = 46°.
    EXPECT_EQ(QDelayAngle(30, 30), 44);
    EXPECT_EQ(QDelayAngle(-30, 30), 136);
    EXPECT_EQ(QDelayAngle(30, -30), 316);
    EXPECT_EQ(QDelayAngle(0, 0), 0);
    int dx = 0, dy = 0;
    QDelayRadius(90, dx, dy);
    EXPECT_EQ(dx, 0);
    EXPECT_EQ(dy, -60);

    const TQGainText same = QGainText(0.5, 0.001, 0.001, "V", "V");
    EXPECT_EQ(same.Gain, "Gain: 4");
    EXPECT_EQ(same.Base, "8");
    EXPECT_EQ(QGainText(1.0, 0.002, 0.001, "V", "nm").Gain, "Gain: 16 nm/V");

    EXPECT_EQ(AutoTuneFrequencyText(21000.0, 1), "21 kHz");
    EXPECT_EQ(AutoTuneFrequencyText(21500.0, 1), "21.500 kHz");
    EXPECT_EQ(AutoTuneFrequencyText(21000.0, 0), "21000 Hz");
    EXPECT_EQ(AutoTuneFrequencyText(2.5, -1), "2500 mHz");

    TOptionGates g = LockInOptionGates({26, 2, 0}, true);
    EXPECT_EQ(g.Harmonics, QStringList({"1", "2", "3"}));
    EXPECT_TRUE(g.SyncFilterVisible);
    EXPECT_TRUE(g.QPageVisible);
    g = LockInOptionGates({26, 1, 0}, false);
    EXPECT_EQ(g.Harmonics, QStringList({"1"}));
    EXPECT_FALSE(g.HarmonicEnabled);
    EXPECT_TRUE(g.HarmonicHint);
    EXPECT_FALSE(g.SyncFilterVisible);
    g = LockInOptionGates({25, 0, 1}, true);
    EXPECT_EQ(g.Harmonics.size(), 3);
    EXPECT_FALSE(g.QPageVisible);
    EXPECT_FALSE(g.SyncFilterVisible);
    g = LockInOptionGates({24, 0, 0}, false);
    EXPECT_EQ(g.Harmonics.size(), 15);
    EXPECT_TRUE(g.AcVisible);
    EXPECT_FALSE(LockInOptionGates({22, 0, 0}, false).AcVisible);
    EXPECT_FALSE(LockInOptionGates({29, 2, 0}, false).AcVisible);
}

} // namespace
} // namespace qvt
