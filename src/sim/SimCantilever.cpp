#include "sim/SimCantilever.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace qvt::sim {

namespace {
constexpr double Boltzmann = 1.380649e-23;
constexpr double Q31 = 2147483648.0;

int32_t ClampDigits(double v)
{
    return static_cast<int32_t>(std::clamp(std::nearbyint(v), -2147483647.0, 2147483647.0));
}
} // namespace

SimCantilever::SimCantilever(const CantileverConfig& config, uint64_t seed)
    : config_(config), random_(seed ^ 0xC0FFEE1234ull), tau_(config.PowerUpTimeConstant)
{
    const double ratio[Modes] = {1.0, config.SecondModeRatio};
    const double q[Modes] = {config.Q, config.SecondModeQ};
    for (int k = 0; k < Modes; ++k) {
        Mode& m = modes_[static_cast<size_t>(k)];
        m.Omega = 2.0 * std::numbers::pi * config.ResonanceHz * ratio[k];
        m.Gamma = m.Omega / (2.0 * std::max(q[k], 0.5));
        // A bending mode is stiffer by the square of its frequency ratio:
        // less static deflection and less thermal motion.
        const double stiffness = config.SpringConstant * ratio[k] * ratio[k];
        m.Weight = 1.0 / (ratio[k] * ratio[k]);
        m.ThermalNm = stiffness > 0.0 ? std::sqrt(Boltzmann * config.Temperature / stiffness) * 1.0e9 : 0.0;
    }
    Rebase();
}

std::complex<double> SimCantilever::Response(const Mode& m) const
{
    const double r = omega_ / m.Omega;
    const double q = m.Omega / (2.0 * m.Gamma);
    return config_.DriveNmPerVolt * volts_ * m.Weight / std::complex<double>(1.0 - r * r, r / q);
}

void SimCantilever::Rebase()
{
    // The motion is continuous (the drive's oscillator keeps its phase): what
    // the new steady state does not explain rings down from here.
    for (Mode& m : modes_) {
        const std::complex<double> now = m.Particular + m.Homogeneous;
        m.Particular = Response(m);
        m.Homogeneous = now - m.Particular;
    }
}

void SimCantilever::Advance(int64_t nowNs)
{
    if (nowNs <= lastNs_)
        return;
    const double s = static_cast<double>(nowNs - lastNs_) * 1.0e-9;
    lastNs_ = nowNs;

    // The deterministic part through the first-order output filter, exactly:
    // constants and decaying rotations pass with their own factors.
    const double decay = tau_ > 0.0 ? std::exp(-s / tau_) : 0.0;
    std::complex<double> steady;
    std::complex<double> ringing;
    std::complex<double> ringingAtStart;
    for (Mode& m : modes_) {
        const std::complex<double> lambda(
            -m.Gamma, m.Omega * std::sqrt(std::max(0.0, 1.0 - m.Gamma * m.Gamma / (m.Omega * m.Omega))) - omega_);
        const std::complex<double> through = 1.0 / (1.0 + lambda * tau_);
        const std::complex<double> turn = std::exp(lambda * s);
        steady += m.Particular;
        ringingAtStart += m.Homogeneous * through;
        m.Homogeneous *= turn;
        ringing += m.Homogeneous * through;
        AdvanceThermal(m, lambda, s, decay);
    }
    filtered_ = steady + ringing + (filtered_ - steady - ringingAtStart) * decay;
}

void SimCantilever::AdvanceThermal(Mode& m, std::complex<double> a, double s, double decay)
{
    // Thermal motion is an Ornstein-Uhlenbeck envelope (rate γ, turning at the
    // distance from the drive frequency) seen through the output filter; the
    // pair is a linear system, so one step of any length is drawn exactly:
    // the means decay and turn, the fresh noise has the pair's covariance.
    using C = std::complex<double>;
    const C turn = std::exp(a * s);
    const double var = 2.0 * m.ThermalNm * m.ThermalNm; // E|n|² at rest
    const double drive = 2.0 * m.Gamma * var;           // E|dn|² per second
    if (!(tau_ > 0.0)) {
        const double spread = std::sqrt(std::max(0.0, var * (1.0 - std::exp(-2.0 * m.Gamma * s))) / 2.0);
        m.Thermal = m.Thermal * turn + spread * C(Gaussian(), Gaussian());
        m.ThermalOut = m.Thermal;
        return;
    }
    const C b(-1.0 / tau_, 0.0);
    const C through = 1.0 / (1.0 + a * tau_);
    auto integral = [s](C z) { return std::abs(z) < 1e-12 ? C(s, 0.0) : (std::exp(z * s) - 1.0) / z; };
    const C ac = std::conj(a);
    const double cnn = var * (1.0 - std::exp(-2.0 * m.Gamma * s));
    const C cyn = drive * through * (integral(a + ac) - integral(b + ac));
    const double cyy = std::max(
        0.0, (drive * std::norm(through) * (integral(a + ac) - integral(a + b) - integral(ac + b) + integral(2.0 * b)))
                 .real());
    const C meanOut = m.ThermalOut * decay + m.Thermal * (turn - decay) * through;
    const C meanThermal = m.Thermal * turn;
    // Circular complex normals with E|ξ|² = 1.
    const C xi1 = C(Gaussian(), Gaussian()) / std::sqrt(2.0);
    const C xi2 = C(Gaussian(), Gaussian()) / std::sqrt(2.0);
    const C noiseN = std::sqrt(std::max(0.0, cnn)) * xi1;
    C noiseY = 0.0;
    if (cnn > 0.0)
        noiseY = cyn / cnn * noiseN + std::sqrt(std::max(0.0, cyy - std::norm(cyn) / cnn)) * xi2;
    m.Thermal = meanThermal + noiseN;
    m.ThermalOut = meanOut + noiseY;
}

std::complex<double> SimCantilever::InputNm() const
{
    std::complex<double> c;
    for (const Mode& m : modes_)
        c += m.Particular + m.Homogeneous + m.Thermal;
    return c;
}

void SimCantilever::SetFrequency(double hz, int64_t nowNs)
{
    Advance(nowNs);
    omega_ = 2.0 * std::numbers::pi * std::max(0.0, hz);
    Rebase();
}

void SimCantilever::SetDriveVolts(double volts, int64_t nowNs)
{
    Advance(nowNs);
    volts_ = std::max(0.0, volts);
    Rebase();
}

void SimCantilever::SetTimeConstant(double seconds, int64_t nowNs)
{
    Advance(nowNs);
    if (seconds > 0.0)
        tau_ = seconds;
}

bool SimCantilever::Overload(int64_t nowNs)
{
    Advance(nowNs);
    return std::abs(InputNm()) * config_.DetectorVoltsPerNm * gain_ > InputLimitVolts;
}

SimCantilever::Reading SimCantilever::Read(int64_t nowNs)
{
    Advance(nowNs);
    // The lock-in's convention: the phase leads by the reference phase and
    // rises through the resonance.
    const double digitsPerNm = config_.DetectorVoltsPerNm * gain_ / DigitVolts;
    std::complex<double> seen = filtered_;
    for (const Mode& m : modes_)
        seen += m.ThermalOut;
    std::complex<double> out = std::conj(seen) * digitsPerNm * std::polar(1.0, phaseDeg_ * std::numbers::pi / 180.0);
    // An overloaded input clips.
    const double limit = InputLimitVolts / DigitVolts;
    if (std::abs(out) > limit)
        out *= limit / std::abs(out);
    const double x = out.real() + Gaussian() * config_.WhiteNoiseDigits;
    const double y = out.imag() + Gaussian() * config_.WhiteNoiseDigits;
    Reading r;
    r.X = ClampDigits(x);
    r.Y = ClampDigits(y);
    r.Amplitude = ClampDigits(std::hypot(x, y) * CordicGain);
    r.PhaseMilliDeg = ClampDigits(std::atan2(y, x) * 180000.0 / std::numbers::pi);
    return r;
}

double SimCantilever::DecodeTimeConstant(const int32_t c[8])
{
    auto f = [c](int i) { return c[i] / Q31; };
    const bool firstPassThrough = f(0) > 0.99 && c[1] == 0 && c[2] == 0;
    // c4 at 0.2 ms and at 5 s of the 6, 12 and 24 dB/oct tables.
    double fast = 0.660742;
    double slow = 0.000031;
    if (firstPassThrough && c[6] == 0) {
        fast = 0.743354;
        slow = 0.005672;
    } else if (firstPassThrough) {
        fast = 0.593127;
    }
    const double c4 = f(4);
    if (!(c4 > 0.0) || c4 >= 1.0)
        return 0.0;
    const double t = (std::log(c4) - std::log(fast)) / (std::log(slow) - std::log(fast));
    return std::clamp(std::exp(std::log(2.0e-4) + t * (std::log(5.0) - std::log(2.0e-4))), 1.0e-5, 50.0);
}

} // namespace qvt::sim
