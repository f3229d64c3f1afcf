#include "lockin/DncFit.h"

#include "core/NumberText.h"
#include "lockin/DncPlot.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>

namespace qvt {

namespace {

// An arithmetic failure inside the fit (what a floating-point exception
// would be): the fit stops and keeps the values it had.
struct ShoMathFault {};

double Checked(double v)
{
    if (!std::isfinite(v))
        throw ShoMathFault{};
    return v;
}

struct LineFit {
    double Intercept = 0.0;
    double Slope = 0.0;
};

// Least squares of power against the normalised model over first..last.
LineFit FitLine(const std::vector<double>& model, const std::vector<double>& power, int first, int last)
{
    double sx = 0.0, sy = 0.0, sxx = 0.0, sxy = 0.0;
    int m = 0;
    for (int k = first; k <= last; ++k) {
        const double x = model[static_cast<size_t>(k)];
        const double y = power[static_cast<size_t>(k)];
        sx += x;
        sy += y;
        sxx += x * x;
        sxy += x * y;
        ++m;
    }
    if (m == 0)
        throw ShoMathFault{};
    LineFit f;
    f.Slope = Checked((sxy - sx * sy / m) / (sxx - sx * sx / m));
    f.Intercept = Checked((sy - sx * f.Slope) / m);
    return f;
}

void MedianOfFive(std::vector<double>& p, int n)
{
    if (n < 4)
        return;
    const std::vector<double> before(p.begin(), p.begin() + n);
    for (int k = 2; k <= n - 3; ++k) {
        std::array<double, 5> w{};
        std::copy(before.begin() + (k - 2), before.begin() + (k + 3), w.begin());
        std::nth_element(w.begin(), w.begin() + 2, w.end());
        p[static_cast<size_t>(k)] = w[2];
    }
}

class ShoSearch {
public:
    ShoSearch(TShoFit& fit, const std::vector<double>& newest, int n, const TShoProjection& projection,
              const bool* aborted)
        : fit_(fit), newest_(newest), n_(n), projection_(projection), aborted_(aborted),
          model_(static_cast<size_t>(n), 0.0)
    {
    }

    void Run()
    {
        MedianOfFive(fit_.FitPower, n_);
        InitialGuess();
        Search();
    }

    // The values as they stand (also after a fault).
    double F0 = 0.0;
    double Q = 1.0;
    double A = 0.0;
    double Offset = 0.0;

private:
    const std::vector<double>& F() const { return fit_.FitFrequency; }
    const std::vector<double>& P() const { return fit_.FitPower; }
    bool Aborted() const { return aborted_ && *aborted_; }

    void InitialGuess()
    {
        if (n_ < 20) {
            Q = 1.0;
            F0 = F()[0];
            fit_.PeakIndex = std::clamp(fit_.PeakIndex, 1, std::max(1, n_ - 1));
            return;
        }
        const TDncPeak peak = FindPeakIndex(newest_, n_);
        // The low edge before the crossing is flattened with the curve's own
        // (amplitude) value there.
        for (int k = 0; k < peak.EdgeIndex && k < n_; ++k)
            fit_.FitPower[static_cast<size_t>(k)] = peak.EdgeValue;
        fit_.PeakIndex = peak.Index;
        const int pi = peak.Index;
        F0 = F()[static_cast<size_t>(pi)];
        const double p = P()[static_cast<size_t>(pi)];
        double left = 0.0, right = 0.0;
        for (int k = 1; k <= 10; ++k)
            left += P()[static_cast<size_t>(k)];
        for (int k = n_ - 11; k <= n_ - 2; ++k)
            right += P()[static_cast<size_t>(k)];
        Offset = std::min(left, right) / 10.0;
        const double h = (p - Offset) * 0.5 + Offset;
        int i = pi;
        while (i >= 1 && P()[static_cast<size_t>(i)] > h)
            --i;
        const double fL = F()[static_cast<size_t>(i)];
        i = pi;
        // Up to the last fitted point, never the sweep's point n.
        while (i < n_ - 1 && P()[static_cast<size_t>(i)] > h)
            ++i;
        const double fR = F()[static_cast<size_t>(i)];
        Q = fR != fL ? Checked(F0 / (fR - fL)) : 1.0;
        A = Q > 0.0 ? Checked(std::sqrt(Checked(p - Offset)) / Q) : Offset;
    }

    void ModelCurve()
    {
        double previous = 1.0;
        for (int i = 0; i < n_; ++i) {
            const double m = ShoModel(F()[static_cast<size_t>(i)], F0, Q);
            previous = std::isfinite(m) ? m : previous;
            model_[static_cast<size_t>(i)] = previous;
        }
    }

    double Residual()
    {
        if (Offset < 0.0)
            Offset = 0.0;
        const double f02 = F0 * F0;
        double phi0 = 0.0;
        if (projection_.Enabled && projection_.PhaseCurve) {
            int d = fit_.PeakIndex;
            for (int i = 0; i < n_; ++i) {
                if (F()[static_cast<size_t>(i)] == F0) {
                    d = i;
                    break;
                }
            }
            const std::vector<double>& phase = *projection_.PhaseCurve;
            const double pd = d >= 0 && d < static_cast<int>(phase.size()) ? phase[static_cast<size_t>(d)] : 0.0;
            phi0 = (90.0 - pd / 1000.0) * std::numbers::pi / 180.0;
        }
        double sum = 0.0;
        for (int i = 0; i < n_; ++i) {
            const double f = F()[static_cast<size_t>(i)];
            const double m = Checked((A * f02) * (A * f02) / ((f02 - f * f) * (f02 - f * f) + f02 * f * f / (Q * Q)));
            const double e = P()[static_cast<size_t>(i)] - (m + Offset);
            sum += e * e;
            double& c = fit_.FitCurve[static_cast<size_t>(i)];
            if (projection_.Enabled) {
                const double phi = f == F0 ? std::atan2(F0 * f, 0.00001 * Q) : std::atan2(F0 * f, (f02 - f * f) * Q);
                c = m >= 0.0 ? std::cos(phi - phi0) * std::sqrt(m) : 0.0;
            } else {
                c = m + Offset >= 0.0 ? std::sqrt(m + Offset) : 0.0;
            }
        }
        return Checked(sum);
    }

    void Search()
    {
        const int pi = fit_.PeakIndex;
        double dQ = Q / 10.0;
        int direction = 1;
        int rounds = 0;
        int lastSign = 0;
        double previousResidual = 0.0;
        int steps = 0;
        do {
            // Each inner search counts its own direction changes; the last
            // direction is remembered across them.
            int changes = 0;
            do {
                ModelCurve();
                const LineFit l = FitLine(model_, P(), 1, pi);
                const LineFit r = FitLine(model_, P(), pi, n_ - 1);
                double step = F()[3] - F()[2];
                int sign = 1;
                if (l.Slope > r.Slope) {
                    step = -step;
                    sign = -1;
                }
                if (sign != lastSign) {
                    lastSign = sign;
                    ++changes;
                }
                F0 = Checked(F0 + step);
                const double a = l.Slope + r.Slope;
                A = a >= 0.0 ? std::sqrt(a * 0.5) : 0.0;
                Offset = Checked((l.Intercept + r.Intercept) * 0.5);
                ++steps;
                fit_.InnerSteps = steps;
                if (steps >= FitMaxInnerSteps)
                    break;
            } while (!Aborted() && changes < FitInnerChanges);
            const double res = Residual();
            if (rounds != 0 && res > previousResidual) {
                direction = -direction;
                dQ *= 0.25;
                ++rounds;
            }
            if (rounds == 0)
                rounds = 1;
            fit_.QRounds = rounds;
            previousResidual = res;
            Q = Checked(Q + direction * dQ);
            if (Offset * 5.0 > P()[static_cast<size_t>(pi)]) {
                fit_.NoiseError = true;
                return;
            }
            if (steps >= FitMaxInnerSteps)
                return;
        } while (!Aborted() && rounds < FitQRounds);
    }

    TShoFit& fit_;
    const std::vector<double>& newest_;
    const int n_;
    const TShoProjection& projection_;
    const bool* aborted_;
    std::vector<double> model_;
};

} // namespace

double ShoModel(double f, double f0, double q)
{
    const double f2 = f * f;
    const double f02 = f0 * f0;
    return f2 * f2 / ((f2 - f02) * (f2 - f02) + f2 * f02 / (q * q));
}

double ShoPower(double f, double f0, double q, double amplitude, double offset)
{
    const double f2 = f * f;
    const double f02 = f0 * f0;
    return (amplitude * f02) * (amplitude * f02) / ((f02 - f2) * (f02 - f2) + f02 * f2 / (q * q)) + offset;
}

void FillShoFit(TShoFit& fit, const std::vector<double>& newest, int n, double step, double start)
{
    n = std::clamp(n, 0, static_cast<int>(newest.size()));
    fit.FitFrequency.assign(static_cast<size_t>(n), 0.0);
    fit.FitPower.assign(static_cast<size_t>(n), 0.0);
    fit.FitCurve.assign(static_cast<size_t>(n), 0.0);
    for (int i = 0; i < n; ++i) {
        fit.FitFrequency[static_cast<size_t>(i)] = i * step + start;
        fit.FitPower[static_cast<size_t>(i)] = newest[static_cast<size_t>(i)] * newest[static_cast<size_t>(i)];
    }
}

void FitSho(TShoFit& fit, const std::vector<double>& newest, int n, const TShoProjection& projection,
            const bool* aborted)
{
    fit.MathError = false;
    fit.NoiseError = false;
    fit.InnerSteps = 0;
    fit.QRounds = 0;
    n = std::min({n, static_cast<int>(fit.FitPower.size()), static_cast<int>(fit.FitFrequency.size()),
                  static_cast<int>(newest.size())});
    fit.FitCurve.resize(fit.FitPower.size(), 0.0);
    ShoSearch s(fit, newest, n, projection, aborted);
    if (n < 4) {
        fit.MathError = true; // no line through fewer points than the search needs
    } else {
        try {
            s.Run();
        } catch (const ShoMathFault&) {
            fit.MathError = true;
        }
    }
    if (s.F0 == 0.0 && fit.MathError)
        s.F0 = 1.0;
    // The model holds Q only squared: a Q that crossed zero is the same fit.
    const double q = std::abs(s.Q);
    if (!std::isfinite(s.F0) || !(s.F0 > 0.0) || !std::isfinite(q) || !(q > 0.0))
        fit.MathError = true;
    fit.FitOffset = s.Offset;
    fit.FitAmplitude = s.A;
    fit.FitPeakFrequency = s.F0;
    fit.FitQ = q;
}

QString ShoStatusText(double q, double f0, bool resolved)
{
    auto whole = [](double v) {
        return std::isfinite(v) ? QString::number(static_cast<qint64>(Round(v))) : QString("0");
    };
    const QString text = QString(resolved ? "Q: " : "Q: ~") + whole(q) + " | fPeak: " + whole(f0) + " Hz" +
                         " | tau: " + whole(q / f0 * 1.0e6) + QString::fromUtf8(" \u00B5s");
    return resolved ? text : text + " | " + DncUnresolvedText;
}

bool DncPeakResolved(double f0, double q, double step)
{
    if (!(q > 0.0) || step == 0.0 || !std::isfinite(f0 / q / step))
        return true; // nothing to judge
    return std::abs(f0 / q / step) >= DncResolvedPoints;
}

double AutoTuneOperatingFrequency(double f0, double q, double offset)
{
    return f0 - offset * f0 / q;
}

TAutoTuneStep AutoTuneNarrow(double rangeStart, double rangeStop, double f0, double q, int peakIndex, double sweepStep,
                             double sweepStart, const TAutoTuneSettings& s)
{
    TAutoTuneStep r;
    r.Start = rangeStart;
    r.Stop = rangeStop;
    const double w = std::abs(rangeStop - rangeStart);
    if (!(w >= s.Step * f0 / q)) {
        r.Done = true;
        return r;
    }
    const double centre = Round(peakIndex * sweepStep + sweepStart);
    const double half = Round(w / 3.0 * 0.5);
    r.Start = std::max(centre - half, s.StartF);
    r.Stop = std::min(centre + half, s.StopF);
    return r;
}

bool AutoTuneColumn(double op, double sweepStart, double sweepStep, int dataPoints, int pointShift, int& column)
{
    if (sweepStep == 0.0)
        return false;
    const double point = Round((op - sweepStart) / sweepStep);
    if (!(point >= 0.0 && point <= dataPoints))
        return false;
    column = static_cast<int>(point) >> pointShift;
    return true;
}

} // namespace qvt
