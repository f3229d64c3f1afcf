#pragma once
// A small, fast, seeded noise source for the models: reproducible runs from a
// seed and no allocation or locking of its own (the owner's lock covers it).

#include <cmath>
#include <cstdint>

namespace qvt::sim {

class SimRandom {
public:
    explicit SimRandom(uint64_t seed) : state_(seed ? seed : 0x9E3779B97F4A7C15ull) {}

    uint64_t Next()
    {
        // xorshift64*
        state_ ^= state_ >> 12;
        state_ ^= state_ << 25;
        state_ ^= state_ >> 27;
        return state_ * 0x2545F4914F6CDD1Dull;
    }
    // Uniform in [0, 1).
    double Uniform() { return static_cast<double>(Next() >> 11) * (1.0 / 9007199254740992.0); }
    // Approximately normal, mean 0 and standard deviation 1 (sum of twelve uniforms).
    double Gaussian()
    {
        double s = 0.0;
        for (int i = 0; i < 12; ++i)
            s += Uniform();
        return s - 6.0;
    }

private:
    uint64_t state_;
};

} // namespace qvt::sim
