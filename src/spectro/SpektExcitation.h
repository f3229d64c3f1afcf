#pragma once
// The excitation of a spectroscopy curve: the z and bias columns the
// controller plays point by point, the time column, a colour per point that
// marks lead-in, the two halves of each cycle and lead-out, and the rows
// where the lead-in ends and the lead-out starts. Also the ramp file that
// gives the table directly. Plain logic: the random source and the message
// output are handed in.

#include "device/SpektRequests.h"

#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>
#include <functional>

namespace qvt {

// The point table of the spectroscopy window, one array per column.
struct TSpektData {
    static constexpr int Rows = 1025;
    enum Column { Time = 0, Dz = 1, Bias = 2, Ch0 = 3, Ch1 = 4, Ch2 = 5, Ch3 = 6, Frequency = 7, Columns = 8 };
    std::array<std::array<double, Rows>, Columns> Col{};
    std::array<uint32_t, Rows> Color{}; // Windows RGB values (0x00BBGGRR)
    int LeadInEnd = 0;
    int LeadOutStart = 0;
};

// Row colours: lead-in, first half of each cycle, second half, lead-out.
constexpr std::array<uint32_t, 4> SpektDefaultColors = {0x000000, 0x0000FF, 0x008000, 0xFF0000};

inline constexpr const char* SpektMismatchMessage = "DataPoits does not match!";
inline constexpr const char* SpektNoRampMessage =
    "No Datapoints read!\rPlease check your Settings in Spectroscopy->Options\" ";

// +1 when the target is at or above the current value, else −1.
int RampDirection(double target, double current);

// The shape settings of the current kind.
struct TExcitationShape {
    int Points = 64;       // N, at least 2 inside the builders, at most 1023
    double Cycle = 1.0;    // 0.5, 1, 2..15
    bool LeadInOut = true; // "Leadinout" "On"
    std::array<uint32_t, 4> Colors = SpektDefaultColors;
    double Dt = 0.0; // point time, s
};

// A ramp from b to a and back, Cycle × 2 half cycles long, with lead-in from
// the rest value s and lead-out back to it. Writes rows 0..N−1 of `column`,
// the colours and the time column; reports "DataPoits does not match!" when
// the rows made differ from N.
void BuildRamp(TSpektData& data, int column, const TExcitationShape& shape, double s, double a, double b,
               const std::function<void(const QString&)>& message);
// Square steps between a and b (a for the first quarter of each half cycle),
// never more rows than N.
void BuildStep(TSpektData& data, int column, const TExcitationShape& shape, double a, double b);

// The parameters of the window that the excitation uses.
struct TExcitationParams {
    double U1 = 0.0;
    double U2 = 0.0;
    double Dz1 = 0.0; // also "dz"
    double Dz2 = 0.0;
    double B0 = 0.0; // bias of the current feedback set
};

// Builds the table of kind `kindName` (Kind bits `kind`); `random` gives
// uniform numbers in [0, 1) for the z-noise table.
void PrepareExcitation(TSpektData& data, const QString& kindName, int32_t kind, const TExcitationShape& shape,
                       const TExcitationParams& params, const std::function<double()>& random,
                       const std::function<void(const QString&)>& message);

// A ramp file read into rows of dz and bias.
struct TRampFile {
    int Rows = 0;
    QString Error;     // the first error ("Epmty line 3", ...), empty when none
    int ErrorLine = 0; // 1-based
    bool Cut = false;  // more lines than the table holds
};
// At most 1023 rows from `lines` into the dz and bias columns; the rows
// before an error stay.
TRampFile ParseRampFile(const QStringList& lines, TSpektData& data);
// "Error in file <name> at line <i>!"
QString RampFileErrorMessage(const QString& name, int line);

// What the operator is told when a run's tables would drive Z or the bias
// beyond its output: the range each can take (units of the two outputs).
QString SpektReachMessage(const TSpektReach& reach, const QString& zUnit, const QString& biasUnit);

} // namespace qvt
