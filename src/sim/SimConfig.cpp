#include "sim/SimConfig.h"

#include <algorithm>
#include <cmath>

namespace qvt::sim {

namespace {

int32_t ReadInt(const SimSettingsSource& s, const char* section, const QString& key, int32_t def)
{
    return s.ReadInteger ? s.ReadInteger(section, key, def) : def;
}

double ReadDouble(const SimSettingsSource& s, const char* section, const QString& key, double def)
{
    if (!s.ReadFloat)
        return def;
    const double v = s.ReadFloat(section, key, def);
    return std::isfinite(v) ? v : def;
}

} // namespace

SimConfig ReadSimConfig(const SimSettingsSource& source)
{
    SimConfig c;

    const int32_t type = ReadInt(source, "Controller", "Type", c.ControllerType);
    c.ControllerType = std::clamp(type, 22, 29);
    c.SubVersion = ReadInt(source, "Controller", "SubVersion", c.SubVersion);
    c.Absent = ReadInt(source, "Controller", "Absent", 0) != 0;

    const QString clock = source.ReadString ? source.ReadString("Clock", "Mode", "RealTime").trimmed() : "RealTime";
    c.Clock = clock.compare("Fast", Qt::CaseInsensitive) == 0 ? ClockMode::Fast : ClockMode::RealTime;
    c.RequestLatencyUs = std::clamp(ReadDouble(source, "Clock", "RequestLatencyUs", 0.0), 0.0, 100000.0);

    const int32_t dacMin = ReadInt(source, "Limits", "DacMin", c.DacMin[0]);
    const int32_t dacMax = ReadInt(source, "Limits", "DacMax", c.DacMax[0]);
    for (int n = 1; n <= 26; ++n) {
        const QString name = QString("DAC%1").arg(n);
        int32_t lo = ReadInt(source, "Limits", name + "Min", dacMin);
        int32_t hi = ReadInt(source, "Limits", name + "Max", dacMax);
        if (lo > hi)
            std::swap(lo, hi);
        c.DacMin[n - 1] = lo;
        c.DacMax[n - 1] = hi;
    }

    c.AdcNoise = std::clamp(ReadDouble(source, "Noise", "AdcNoise", c.AdcNoise), 0.0, 1.0e6);
    c.Seed = static_cast<uint32_t>(ReadInt(source, "Noise", "Seed", static_cast<int32_t>(c.Seed)));

    SurfaceConfig& f = c.Surface;
    f.Base = ReadDouble(source, "Surface", "Base", f.Base);
    f.TiltX = std::clamp(ReadDouble(source, "Surface", "TiltX", f.TiltX), -10.0, 10.0);
    f.TiltY = std::clamp(ReadDouble(source, "Surface", "TiltY", f.TiltY), -10.0, 10.0);
    f.StepHeight = ReadDouble(source, "Surface", "StepHeight", f.StepHeight);
    f.TerraceWidth = std::max(1.0, ReadDouble(source, "Surface", "TerraceWidth", f.TerraceWidth));
    f.StepAngle = ReadDouble(source, "Surface", "StepAngle", f.StepAngle);
    f.GratingHeight = ReadDouble(source, "Surface", "GratingHeight", f.GratingHeight);
    f.GratingPeriod = std::max(2.0, ReadDouble(source, "Surface", "GratingPeriod", f.GratingPeriod));
    f.Noise = std::clamp(ReadDouble(source, "Surface", "Noise", f.Noise), 0.0, 1.0e6);

    ProbeConfig& p = c.Probe;
    p.RetractSlew = std::clamp(ReadDouble(source, "Probe", "RetractSlew", p.RetractSlew), 1.0e-3, 1.0e9);
    p.CurrentDecay = std::clamp(ReadDouble(source, "Probe", "CurrentDecay", p.CurrentDecay), 1.0, 1.0e9);
    p.SaturationCurrent = std::clamp(ReadDouble(source, "Probe", "SaturationCurrent", p.SaturationCurrent), 1.0, 2.0e9);
    p.Stiffness = std::clamp(ReadDouble(source, "Probe", "Stiffness", p.Stiffness), 1.0e-6, 1.0e6);
    p.FreeAmplitude = std::clamp(ReadDouble(source, "Probe", "FreeAmplitude", p.FreeAmplitude), 1.0, 2.0e9);
    p.AmplitudeGap = std::clamp(ReadDouble(source, "Probe", "AmplitudeGap", p.AmplitudeGap), 1.0, 1.0e9);
    p.SignalAddress = std::max(0, ReadInt(source, "Probe", "SignalAddress", p.SignalAddress));
    p.CrashDepth = std::clamp(ReadDouble(source, "Probe", "CrashDepth", p.CrashDepth), 0.0, 1.0e10);
    p.TopographyAddress = ReadInt(source, "Probe", "TopographyAddress", p.TopographyAddress);
    p.TopographyGain = ReadDouble(source, "Probe", "TopographyGain", p.TopographyGain);

    ScannerConfig& n = c.Scanner;
    n.QuadX = std::clamp(ReadDouble(source, "Scanner", "QuadX", n.QuadX), -0.5, 0.5);
    n.CubicX = std::clamp(ReadDouble(source, "Scanner", "CubicX", n.CubicX), -0.5, 0.5);
    n.QuadY = std::clamp(ReadDouble(source, "Scanner", "QuadY", n.QuadY), -0.5, 0.5);
    n.CubicY = std::clamp(ReadDouble(source, "Scanner", "CubicY", n.CubicY), -0.5, 0.5);
    n.HalfRange = std::clamp(ReadDouble(source, "Scanner", "HalfRange", n.HalfRange), 1.0, 2.2e9);
    n.SensorXAddress = std::max(0, ReadInt(source, "Scanner", "SensorXAddress", n.SensorXAddress));
    n.SensorYAddress = std::max(0, ReadInt(source, "Scanner", "SensorYAddress", n.SensorYAddress));
    n.SensorGain = ReadDouble(source, "Scanner", "SensorGain", n.SensorGain);

    CoarseConfig& m = c.Coarse;
    m.StepSize = std::clamp(ReadDouble(source, "Coarse", "StepSize", m.StepSize), 0.0, 1.0e9);
    m.Gap = std::clamp(ReadDouble(source, "Coarse", "Gap", m.Gap), -1.0e6, 1.0e6);
    m.CountsPerStep = std::clamp(ReadDouble(source, "Coarse", "CountsPerStep", m.CountsPerStep), 1.0, 1.0e9);
    // The version and echo registers keep their meaning: the program's start needs them.
    const int32_t encoder = ReadInt(source, "Coarse", "EncoderRegister", m.EncoderRegister);
    const bool reserved = encoder == 30 || encoder == 31 || encoder == 45;
    m.EncoderRegister = (encoder > 0 && encoder < 512 && !reserved) ? encoder : 0;

    FrameMotorConfig& fm = c.FrameMotor;
    fm.Attached = ReadInt(source, "FrameMotor", "Attached", fm.Attached ? 1 : 0) != 0;
    fm.SensorStartSteps = ReadDouble(source, "FrameMotor", "SensorStartSteps", fm.SensorStartSteps);
    fm.SensorMvPerStep =
        std::clamp(ReadDouble(source, "FrameMotor", "SensorMvPerStep", fm.SensorMvPerStep), 0.0, 1.0e6);
    fm.SensorMaxMv = std::clamp(ReadDouble(source, "FrameMotor", "SensorMaxMv", fm.SensorMaxMv), 0.0, 1.0e6);

    PhotodiodeConfig& pd = c.Photodiode;
    pd.XAddress = std::max(0, ReadInt(source, "Photodiode", "XAddress", pd.XAddress));
    pd.YAddress = std::max(0, ReadInt(source, "Photodiode", "YAddress", pd.YAddress));
    pd.SumAddress = std::max(0, ReadInt(source, "Photodiode", "SumAddress", pd.SumAddress));
    pd.SpotX = ReadDouble(source, "Photodiode", "SpotX", pd.SpotX);
    pd.SpotY = ReadDouble(source, "Photodiode", "SpotY", pd.SpotY);
    pd.SumDigits = std::clamp(ReadDouble(source, "Photodiode", "SumDigits", pd.SumDigits), 0.0, 2.0e9);

    CantileverConfig& t = c.Cantilever;
    t.ResonanceHz = std::clamp(ReadDouble(source, "Cantilever", "Resonance", t.ResonanceHz), 100.0, 5.0e6);
    t.Q = std::clamp(ReadDouble(source, "Cantilever", "Q", t.Q), 0.6, 1.0e6);
    t.SecondModeRatio = std::clamp(ReadDouble(source, "Cantilever", "SecondModeRatio", t.SecondModeRatio), 1.5, 100.0);
    t.SecondModeQ = std::clamp(ReadDouble(source, "Cantilever", "SecondModeQ", t.SecondModeQ), 0.6, 1.0e6);
    t.SpringConstant = std::clamp(ReadDouble(source, "Cantilever", "SpringConstant", t.SpringConstant), 1.0e-3, 1.0e4);
    t.Temperature = std::clamp(ReadDouble(source, "Cantilever", "Temperature", t.Temperature), 0.0, 1000.0);
    t.DriveNmPerVolt = std::clamp(ReadDouble(source, "Cantilever", "DriveNmPerVolt", t.DriveNmPerVolt), 0.0, 1.0e3);
    t.DetectorVoltsPerNm =
        std::clamp(ReadDouble(source, "Cantilever", "DetectorVoltsPerNm", t.DetectorVoltsPerNm), 0.0, 1.0e3);
    t.WhiteNoiseDigits = std::clamp(ReadDouble(source, "Cantilever", "WhiteNoise", t.WhiteNoiseDigits), 0.0, 1.0e9);
    t.PowerUpTimeConstant =
        std::clamp(ReadDouble(source, "Cantilever", "TimeConstant", t.PowerUpTimeConstant), 1.0e-5, 10.0);

    SpektConfig& k = c.Spekt;
    k.SnapIn = std::clamp(ReadDouble(source, "Spekt", "SnapIn", k.SnapIn), 0.0, 1.0e9);
    k.Adhesion = std::clamp(ReadDouble(source, "Spekt", "Adhesion", k.Adhesion), 0.0, 1.0e9);
    k.LoopTimeUs = std::clamp(ReadDouble(source, "Spekt", "LoopTimeUs", k.LoopTimeUs), 1.0, 1.0e9);
    k.VibrationHz = std::clamp(ReadDouble(source, "Spekt", "VibrationHz", k.VibrationHz), 0.0, 1.0e6);
    k.VibrationDigits = std::clamp(ReadDouble(source, "Spekt", "VibrationDigits", k.VibrationDigits), 0.0, 1.0e6);

    TestSineConfig& g = c.TestSine;
    g.Address = std::clamp(ReadInt(source, "TestSine", "Address", g.Address), 0, 63);
    g.Hz = std::clamp(ReadDouble(source, "TestSine", "Hz", g.Hz), 0.0, 1.0e6);
    g.Digits = std::clamp(ReadDouble(source, "TestSine", "Digits", g.Digits), 0.0, 1.0e9);

    c.Faults.FailAllRequests = ReadInt(source, "Faults", "FailRequests", 0) != 0;
    c.Faults.FailCode = static_cast<uint32_t>(ReadInt(source, "Faults", "FailCode", 0));
    c.Faults.EchoStrayEvery = std::max(0, ReadInt(source, "Faults", "EchoStrayEvery", 0));
    c.Faults.EchoLagReads = std::max(0, ReadInt(source, "Faults", "EchoLagReads", 0));
    c.Faults.SpektShortWords =
        std::clamp(ReadInt(source, "Faults", "SpektShortWords", 0), 0, 1024); // a reply holds 1024

    c.LockInAbsent = ReadInt(source, "LockIn", "Absent", 0) != 0;

    c.LogRequests = ReadInt(source, "Log", "Requests", 0) != 0;
    c.LogCapacity = std::clamp(ReadInt(source, "Log", "Capacity", c.LogCapacity), 0, 10000000);
    return c;
}

} // namespace qvt::sim
