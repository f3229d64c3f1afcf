#pragma once
// The z-feedback parameter sets: one set (setpoint, bias, Ki, Kp, input
// address) per feedback mode, so that switching between tunnelling and force
// modes brings back the values last used in that mode. They live in
// "FeedPara" of the main settings under per-mode keys. Beside them, the
// arithmetic of the amplitude, frequency and Kelvin loop pages and the hints
// that translate a setpoint into force, amplitude or loop bandwidth.

#include "core/SharedState.h"

#include <QString>

namespace qvt {

class TQVTIniFile;

inline const char* const FeedParaSection = "FeedPara";
constexpr double DefaultNC100ProcentAmpl = 5.0;

// The per-mode key of an edit: "Edit1_3", "Edit2_-1".
QString FeedbackSetKey(const QString& edit, int mode);
// Ki used during an automatic approach: "Edit5_3Approach".
QString ApproachKiKey(int mode);
// "FeedbackChannelAddr4".
QString InputAddrKey(int mode);

// The sets of modes 0..6 from the file (a missing key gives 0, a missing
// input address the mode's default); the input of mode −1 is 0.
void ReadFeedbackSets(const TQVTIniFile& ini, TMicroscopeState& state);

// ---- amplitude page ---------------------------------------------------------------------

// The amplitude setpoint is typed and shown with the prefix that begins its
// label: "m" (tag −3), "µ" (tag −6) or none (tag 0).
int AmplPrefixTag(const QString& label);
// The setpoint as shown with that prefix.
QString AmplSetpointText(double value, int tag);
// A typed number with that prefix, in the input's unit.
double AmplSetpointFromTyped(double typed, int tag);
// The prefix a click on the label chooses next: "µ" → none → "m" → "µ".
QString NextAmplPrefix(const QString& label);

// ---- frequency and Kelvin pages -----------------------------------------------------

constexpr double FreqSetpointMin = 1000.0;    // Hz
constexpr double FreqSetpointMax = 2000000.0; // Hz
// Above the top the top; anything not at least the bottom (NaN too) the bottom.
double LimitFreqSetpoint(double hz);
constexpr double KelvinKiLimit = 2e9;
constexpr double KelvinRefLimit = 0.01; // V

// ---- hints ---------------------------------------------------------------------------------

struct TFeedbackHintInput {
    int Mode = 0;
    double Setpoint = 0.0;
    double Ki = 0.0;
    double NC100ProcentAmpl = DefaultNC100ProcentAmpl;
    TCantileverParams Cantilever;
    QString InputUnit; // the feedback input channel
    double InputFactor = 1.0;
    QString ZUnit; // the Z output channel
    double ZFactor = 1.0;
};

// Which hints change, and to what. Modes other than 3 and 4 keep theirs.
struct TFeedbackHints {
    bool SetpointChanged = false;
    QString Setpoint;
    bool KiChanged = false;
    QString Ki;
};

inline const char* const MathErrorHint = "Math error!";
TFeedbackHints FeedbackHints(const TFeedbackHintInput& in);

} // namespace qvt
