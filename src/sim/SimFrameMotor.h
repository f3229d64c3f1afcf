#pragma once
// The frame motor that lands the sample on its frame and picks it up again.
//
// What a scientist would see: after a "Landing" the frame motor runs toward
// the frame at the commanded rate; the landing sensor's signal stays at 0 mV
// until the sample nears the frame, then rises by SensorMvPerStep per step up
// to SensorMaxMv. In sensor mode the motor stops by itself when the signal
// crosses the reference (rising for polarity 1, falling for 0), and the
// progress register tells how many steps of the chunk were made.
//
// Register 276: bit 31 start flag, bit 30 direction (1: toward the frame),
// bits 16-29 steps - 1, bits 0-15 the rate in units of 1.6 Hz. Register 277:
// 0 step mode; bit 1 sensor mode, bit 0 polarity, bits 8-31 the reference in
// units of 1e-5 mV. Register 41 (read, shared with DAC10's write address):
// bit 0 the chunk has finished, bits 8 and up the steps made.

#include <cstdint>

namespace qvt::sim {

struct FrameMotorConfig {
    // A machine with a frame has the frame motor on registers 276/277 (on type
    // 29 the block of motor channels 4 and 5, whose legs it then does not have).
    bool Attached = false;
    double SensorStartSteps = 20000.0; // position (steps toward the frame) where the signal starts
    double SensorMvPerStep = 0.001;
    double SensorMaxMv = 10.0;
};

class SimFrameMotor {
public:
    static constexpr int32_t StepRegister = 276;
    static constexpr int32_t ModeRegister = 277;
    static constexpr int32_t ProgressRegister = 41;
    static constexpr double HzPerSpeedUnit = 1.6;

    explicit SimFrameMotor(const FrameMotorConfig& config) : config_(config) {}

    // A write of 276 or 277 (others are ignored); true when it was one (and the motor is attached).
    bool Write(int32_t reg, int32_t value, int64_t nowNs);
    // Register 41 once the motor has been commanded.
    bool Commanded() const { return commanded_; }
    int32_t Progress(int64_t nowNs);

    // Steps toward the frame from where the motor started, and the sensor there.
    double Position(int64_t nowNs);
    double SensorMv(double position) const;
    int64_t ChunksStarted() const { return chunks_; }

private:
    void Advance(int64_t nowNs);

    const FrameMotorConfig config_;
    bool commanded_ = false;
    bool finished_ = true;
    double startPosition_ = 0.0;
    double position_ = 0.0;
    int direction_ = 1;
    int32_t steps_ = 0;
    int32_t made_ = 0;
    double rateHz_ = 1.6;
    int64_t startNs_ = 0;
    bool sensorMode_ = false;
    bool rising_ = true;
    double referenceMv_ = 0.0;
    int64_t chunks_ = 0;
};

} // namespace qvt::sim
