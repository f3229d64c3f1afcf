#include "sim/SimSpektCurves.h"

#include <algorithm>
#include <cmath>

namespace qvt::sim {

namespace {

constexpr double WordMax = 2147483647.0;
constexpr double MaxExponent = 20.0; // a crashed tip saturates, it does not overflow
constexpr int32_t KindStop = 2;
constexpr int32_t KindFeedbackOn = 0x02;
constexpr int32_t KindZDifferences = 0x10;
constexpr double TwoPi = 6.283185307179586;

int32_t ToWord(double v)
{
    return static_cast<int32_t>(std::clamp(std::round(v), -WordMax, WordMax));
}

} // namespace

SimSpectroscopy::SimSpectroscopy(const SimConfig& config) : probe_(config.Probe), spekt_(config.Spekt) {}

void SimSpectroscopy::Start(const TSetSpektRecord& record, const SimSpektStart& start, int64_t nowUs)
{
    record_ = record;
    start_ = start;
    startUs_ = nowUs;
    points_ = record.Kind == KindStop ? 0 : std::clamp(record.DataPoints, 0, SpektPoints - 1);
    Play();
}

int64_t SimSpectroscopy::RunUs() const
{
    const double pointUs = std::max(record_.SampleTicks, 1) * TickUs;
    return static_cast<int64_t>(std::ceil(std::max(record_.Delay, 0) + points_ * pointUs));
}

void SimSpectroscopy::Play()
{
    using Family = SimSpektStart::Family;
    const double pointUs = std::max(record_.SampleTicks, 1) * TickUs;
    const double follow = 1.0 - std::exp(-pointUs / spekt_.LoopTimeUs);
    const bool feedbackOn = (record_.Kind & KindFeedbackOn) != 0;
    const bool differences = (record_.Kind & KindZDifferences) != 0;
    // The bias the set point was reached at; a run started at 0 V counts from one digit.
    const double u0 = std::abs(start_.BiasStart) >= 1 ? start_.BiasStart : 1.0;
    const double s = start_.Setpoint;
    const double k = probe_.Stiffness;
    const double contactAt = k != 0.0 ? -s / k : 0.0; // push d at which the deflection is 0
    bool inContact = true;                            // the loop held the tip on the surface
    double sum = 0.0;
    double correction = 0.0;
    for (int i = 0; i < points_; ++i) {
        double played = z_.Values[i];
        if (differences) {
            played = sum;
            sum += z_.Values[i];
        }
        const double u = bias_.Values[i];
        if (feedbackOn) {
            // The loop takes back what the ramp did, less the retraction the bias asks for.
            double wanted = 0.0;
            if (start_.LoopFamily == Family::Stm) {
                const double ratio = std::abs(u / u0);
                wanted = ratio > 0.0 ? probe_.CurrentDecay * std::log(ratio) : probe_.CurrentDecay * MaxExponent;
            }
            correction += follow * (played - wanted - correction);
        }
        const double r = played - correction;
        const double t = std::max(record_.Delay, 0) + i * pointUs;
        const double gap = r + spekt_.VibrationDigits * std::sin(TwoPi * spekt_.VibrationHz * t * 1.0e-6);
        double input = 0.0;
        switch (start_.LoopFamily) {
        case Family::Stm:
            input = s * (u / u0) * std::exp(std::clamp(-gap / probe_.CurrentDecay, -MaxExponent, MaxExponent));
            break;
        case Family::Contact: {
            const double d = -gap;
            if (inContact && d < contactAt - spekt_.Adhesion)
                inContact = false;
            else if (!inContact && d >= contactAt - spekt_.SnapIn)
                inContact = true;
            input = inContact ? s + k * d : 0.0;
            break;
        }
        case Family::Dynamic:
            input = s + k * gap;
            break;
        case Family::None:
            break;
        }
        played_[i] = played;
        feedback_[i] = start_.Interacting ? input : 0.0;
        retraction_[i] = r;
        gap_[i] = gap;
    }
}

double SimSpectroscopy::PointUs(int i) const
{
    return std::max(record_.Delay, 0) + i * std::max(record_.SampleTicks, 1) * TickUs;
}

int SimSpectroscopy::DoneAt(int64_t nowUs) const
{
    const double pointUs = std::max(record_.SampleTicks, 1) * TickUs;
    const double elapsed = double(nowUs - startUs_) - std::max(record_.Delay, 0);
    if (elapsed <= 0.0)
        return 0;
    return static_cast<int>(std::min<double>(points_, std::floor(elapsed / pointUs + 1.0e-9)));
}

double SimSpectroscopy::Input(int32_t address, int i) const
{
    if (address == 0)
        return 0.0;
    if (address == start_.FeedbackAddress)
        return feedback_[i];
    if (address == start_.TopographyAddress)
        return probe_.TopographyGain * (start_.ZStart - retraction_[i]);
    return 0.0;
}

int SimSpectroscopy::Read(int slot, int64_t nowUs, int32_t* out) const
{
    if (slot < 1 || slot > 6)
        return -1;
    const int done = DoneAt(nowUs);
    for (int i = 0; i < done; ++i) {
        switch (slot) {
        case 1:
            out[i] = ToWord(played_[i]);
            break;
        case 2:
            out[i] = bias_.Values[i];
            break;
        default:
            out[i] = ToWord(Input(record_.Inputs[slot - 3], i));
            break;
        }
    }
    return done;
}

} // namespace qvt::sim
