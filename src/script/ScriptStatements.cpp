#include "script/ScriptStatements.h"

#include "core/IniFile.h"
#include "core/NumberText.h"
#include "core/SharedState.h"
#include "device/ChannelTable.h"
#include "script/ScriptInterpreter.h"

#include <algorithm>
#include <cmath>

namespace qvt {

namespace {

int RoundToInt(double value)
{
    return static_cast<int>(Round(value));
}

QString ValueText(double value)
{
    return GeneralText(value, 15);
}

QString IntText(double value)
{
    return QString::number(RoundToInt(std::clamp(value, -2.0e9, 2.0e9)));
}

bool StartsExpression(const TScriptInterpreter& s)
{
    const TScriptToken& t = s.Token();
    return t.Kind == TokIdentifier || t.Kind == TokInteger || t.Kind == TokFloat || t.Kind == TokFunction ||
           s.IsSign("(") || s.IsSign("-");
}

} // namespace

QString StampedDataName(const QString& name, const QDateTime& localTime)
{
    const double seconds = Round(DayNumber(localTime) * 86400.0);
    return name + "_" + QString::number(static_cast<qint64>(seconds));
}

double ChannelValue(int address, int32_t raw, int& error)
{
    error = 0;
    const TIOScale* scale = nullptr;
    if (address > 0) {
        for (int slot = FirstAdcSlot; slot < ChannelSlotCount; ++slot)
            if (ChannelTable[slot].Address.load() == address) {
                scale = &ChannelTable[slot];
                break;
            }
    } else if (address >= -(DacCount - 1)) {
        scale = &ChannelTable[-address];
    } else {
        error = ErrParameter;
        return 0.0;
    }
    if (scale == nullptr)
        return raw;
    return (static_cast<double>(raw) + scale->Offset.load()) * scale->Factor.load();
}

QString FeedParaEdit(const QString& upperName)
{
    if (upperName == "REF")
        return "Edit1";
    if (upperName == "KI")
        return "Edit5";
    if (upperName == "KP")
        return "Edit6";
    if (upperName == "BIAS")
        return "Edit2";
    if (upperName == "FLYHEIGHT")
        return "Edit14";
    return {};
}

TScriptStatements::TScriptStatements(IScriptDevice& device, IScriptRun& run) : device_(device), run_(run) {}

// ---- arguments --------------------------------------------------------------------------------

void TScriptStatements::Error(int code)
{
    // What the windows said comes before the error it led to.
    SayBoxTexts();
    script_->ScriptError(code);
}

bool TScriptStatements::Stopped() const
{
    return !script_->Running;
}

bool TScriptStatements::Sign(const char* sign, int error)
{
    script_->GetToken();
    if (script_->ErrorCode != 0)
        return false;
    if (!script_->IsSign(sign)) {
        Error(error);
        return false;
    }
    return true;
}

bool TScriptStatements::Open()
{
    return Sign("(", ErrOpenParen);
}

bool TScriptStatements::Comma()
{
    return Sign(",", ErrCommaExpected);
}

bool TScriptStatements::Close()
{
    return Sign(")", ErrCloseParen);
}

bool TScriptStatements::Number(double& v)
{
    script_->GetToken();
    if (script_->ErrorCode != 0)
        return false;
    if (!StartsExpression(*script_)) {
        Error(ErrNumberExpected);
        return false;
    }
    v = script_->ReadExpression();
    return script_->ErrorCode == 0;
}

bool TScriptStatements::Text(QString& s, int error)
{
    script_->GetToken();
    if (script_->ErrorCode != 0)
        return false;
    if (script_->Token().Kind != TokString) {
        Error(error);
        return false;
    }
    s = script_->Token().Text;
    return true;
}

bool TScriptStatements::Set(const QString& window, const QString& name, const QString& text)
{
    return Done(device_.SetControlValue(window, name, text));
}

bool TScriptStatements::Done(int result)
{
    if (result != ControlNotDone)
        return true;
    // A call given up because the operator stopped the script is no fault of the script.
    if (!Stopped())
        Error(ErrOutOfRange);
    return false;
}

bool TScriptStatements::Click(const QString& window, const QString& name)
{
    // A text that is no integer leaves a button's state alone; its click still runs.
    return Set(window, name, QString());
}

bool TScriptStatements::Started(bool started)
{
    if (!started && !Stopped())
        Error(ErrOutOfRange);
    return started;
}

void TScriptStatements::SayBoxTexts()
{
    for (const QString& text : device_.TakeBoxTexts())
        run_.WriteMemoLine(text);
}

void TScriptStatements::SleepFor(double seconds)
{
    const double end = device_.Seconds() + seconds;
    // The last step sleeps only what is left: a 10 ms bias pulse must not stay on for a whole poll.
    for (double left = seconds; !Stopped() && left > 0.0; left = end - device_.Seconds())
        device_.SleepMs(static_cast<int>(std::clamp(std::ceil(left * 1000.0), 1.0, double(PollMs))));
}

// ---- the statements -----------------------------------------------------------------------------

void TScriptStatements::Run(int code, TScriptInterpreter& script)
{
    script_ = &script;
    switch (code) {
    case StClrScr:
        device_.ClearMemo();
        break;
    case StPoint:
    case StMoveRef:
    case StFreiLauf:
    case StMoveSonde:
    case StGetOffset:
        break;
    case StLine:
        Line();
        break;
    case StImage:
        NumbersOnly(2);
        break;
    case StFileName:
        FileName();
        break;
    case StSetPoint:
    case StToggleTime:
        NumbersOnly(1);
        break;
    case StColor:
        NumbersOnly(3);
        break;
    case StWait:
        Wait();
        break;
    case StGetChannel:
        GetChannel();
        break;
    case StMove:
        Move();
        break;
    case StSpectStart:
        SpectStart();
        break;
    case StSpectPara:
        SpectPara();
        break;
    case StScanImage:
        ScanImage(false);
        break;
    case StScanPara:
        ScanPara();
        break;
    case StFeedPara:
        FeedPara();
        break;
    case StVPulse:
        VPulse();
        break;
    case StBeep:
        device_.Beep();
        break;
    case StGoXY:
        GoXY();
        break;
    case StScanLine:
        ScanImage(true);
        break;
    case StSetChannel:
        SetChannel();
        break;
    case StSetLaser:
        SetLaser();
        break;
    case StDncStart:
        DncStart();
        break;
    case StDncPara:
        DncPara();
        break;
    case StGetFeedPara:
        GetFeedPara();
        break;
    default:
        break;
    }
    SayBoxTexts();
}

void TScriptStatements::NumbersOnly(int count)
{
    // The arguments are read and checked; the statement has no effect.
    double v = 0.0;
    if (!Open())
        return;
    for (int i = 0; i < count; ++i)
        if ((i > 0 && !Comma()) || !Number(v))
            return;
    Close();
}

void TScriptStatements::Line()
{
    QString mode;
    double n = 0.0, v = 0.0;
    if (!Open() || !Text(mode, ErrQuoteExpected))
        return;
    if (mode != "X" && mode != "Y" && mode != "Z" && mode != "t") {
        Error(ErrModeNotSupported);
        return;
    }
    if (!Comma() || !Number(n) || !Comma() || !Number(v) || !Close())
        return;
    run_.WriteDataLine("# Point, LineIndex, Time, Ukelvin, X, Y, Z, Slope");
    run_.WriteDataLine(QString());
}

void TScriptStatements::FileName()
{
    QString name;
    if (!Open() || !Text(name, ErrQuoteExpected) || !Close())
        return;
    // The data file stays inside the data folder: no folders, no way up. A
    // name with two points in it is still a plain file there.
    if (name.contains('/') || name.contains('\\') || name == "..") {
        Error(ErrDataFile);
        return;
    }
    if (const int error = run_.NewDataFile(StampedDataName(name, device_.LocalNow())); error != 0)
        Error(error);
}

void TScriptStatements::Wait()
{
    double seconds = 0.0;
    if (!Open() || !Number(seconds) || !Close())
        return;
    SleepFor(seconds);
}

void TScriptStatements::GetChannel()
{
    double a = 0.0;
    if (!Open() || !Number(a) || !Close())
        return;
    const int address = RoundToInt(std::clamp(a, -65536.0, 65536.0));
    if (address < -(DacCount - 1)) {
        Error(ErrParameter);
        return;
    }
    const int32_t raw = device_.ReadReg(address);
    int error = 0;
    const double value = ChannelValue(address, raw, error);
    if (error != 0) {
        Error(error);
        return;
    }
    script_->SetVariable("C", value);
}

void TScriptStatements::Move()
{
    QString what;
    double n = 0.0;
    if (!Open() || !Text(what) || !Comma() || !Number(n) || !Close())
        return;
    n = std::clamp(n, -1.0e6, 1.0e6);
    what = what.toUpper();
    const int steps = RoundToInt(n);
    if (what == "CX" || what == "CY" || what == "CZ") {
        const TCoarseAxis axis = what == "CX" ? TCoarseAxis::X : what == "CY" ? TCoarseAxis::Y : TCoarseAxis::Z;
        device_.CoarseSteps(axis, steps);
    } else if (what == "APPROACH" || what == "RETRACT") {
        if (n < 0.0) {
            Error(ErrOutOfRange);
            return;
        }
        const QString menu = what == "APPROACH" ? "PopupMenu1" : "PopupMenu2";
        Done(device_.ClickMenuItem(ScriptWindows::ScanPara, menu, steps));
    } else if (what == "X" || what == "Y") {
        Set(ScriptWindows::ScanPara, what == "X" ? "Edit7" : "Edit8", ValueText(n));
    } else {
        Error(ErrFirstParameter);
    }
}

void TScriptStatements::SpectStart()
{
    // A run stopped with the script saved nothing to name.
    if (!Started(device_.SpectroscopyRun()) || Stopped())
        return;
    if (UserIni != nullptr && UserIni->ReadBool("SpektOpt", "AutoSave", false))
        run_.WriteDataLine("#Saved Spectoscopy as: " + UserIni->ReadString("SpektOpt", "LastSaveName", QString()));
}

bool TScriptStatements::NameOrNumberAndValue(bool& named, QString& name, double& n, double& v)
{
    // "(" then a parameter named by a string or numbered by an expression, "," and the value, ")".
    if (!Open())
        return false;
    script_->GetToken();
    if (script_->ErrorCode != 0)
        return false;
    named = script_->Token().Kind == TokString;
    if (named) {
        name = script_->Token().Text.toUpper();
    } else if (!StartsExpression(*script_)) {
        Error(ErrNumberExpected);
        return false;
    } else {
        n = script_->ReadExpression();
        if (script_->ErrorCode != 0)
            return false;
    }
    return Comma() && Number(v) && Close();
}

void TScriptStatements::SpectPara()
{
    QString name;
    double n = 0.0, v = 0.0;
    bool named = false;
    if (!NameOrNumberAndValue(named, name, n, v))
        return;
    if (named) {
        if (name == "AUTOSAVE") {
            if (UserIni != nullptr)
                UserIni->WriteBool("SpektOpt", "AutoSave", v != 0.0);
            Click(ScriptWindows::Spekt, "SaveButton");
        }
        return;
    }
    if (n < 0.0 || n > 100.0) {
        Error(ErrOutOfRange);
        return;
    }
    const int index = RoundToInt(n);
    if (index == 0)
        Set(ScriptWindows::Spekt, "ComboBox1", IntText(v));
    else
        Set(ScriptWindows::Spekt, QString("Edit%1").arg(index), ValueText(v));
}

void TScriptStatements::ScanImage(bool oneLine)
{
    double lines = 0.0;
    if (oneLine && (!Open() || !Number(lines) || !Close()))
        return;
    // The frame end's save names a new last file; a frame refused or cut
    // short leaves it as it was and must not be noted as saved.
    const QString lastSaved = MainIni != nullptr ? MainIni->ReadString("Save", "LastFile", QString()) : QString();
    device_.ResetPictureReady();
    if (!Started(device_.StartScan(oneLine ? RoundToInt(std::clamp(lines, -2.0e9, 2.0e9)) : 0)))
        return;
    if (oneLine) {
        if (!Stopped())
            device_.WaitPictureReady(-1);
        // Its lines done or the script stopped: the scan it started pauses.
        device_.PauseScan();
        return;
    }
    if (!Stopped()) {
        const double speed = ScanParams.Speed.load();
        const int timeout = speed > 0.1 ? RoundToInt(ScanParams.Pixels.load() / speed * 4.0 * 1000.0 + 1000.0) : -1;
        const bool ready = device_.WaitPictureReady(timeout);
        if (!ready && !Stopped() && device_.FastSpeedButtonDown()) {
            // The message says the scan was stopped, so it is.
            device_.PauseScan();
            run_.WriteMemoLine("Fast Scan took too long! Scan was stopped!");
        }
        device_.ProcessMessages();
    }
    if (MainIni != nullptr && MainIni->ReadBool("Save", "AutoSaveScan", false) &&
        MainIni->ReadString("Save", "LastFile", QString()) != lastSaved)
        run_.WriteDataLine("#Saved Image as: \"" + MainIni->ReadString("Save", "Path", "C:") + "\\" +
                           MainIni->ReadString("Save", "LastFile", QString()) + ".txt");
}

void TScriptStatements::ScanPara()
{
    QString name;
    double v = 0.0;
    if (!Open() || !Text(name) || !Comma() || !Number(v) || !Close())
        return;
    name = name.toUpper();
    static const std::pair<const char*, const char*> edits[] = {
        {"RANGE", "Edit3"}, {"SPEED", "Edit4"}, {"PIXEL", "ComboBox1"},
        {"X", "Edit7"},     {"Y", "Edit8"},     {"ANGLE", "Edit9"},
    };
    for (const auto& [key, edit] : edits)
        if (name == key) {
            Set(ScriptWindows::ScanPara, edit, ValueText(v));
            return;
        }
    if (name == "LINENR") {
        if (v > 9.0 && v < ScanParams.Pixels.load())
            ScanParams.CurrentLine = static_cast<int16_t>(RoundToInt(v));
        else
            Error(ErrOutOfRange);
    } else if (name == "1D") {
        Done(device_.ClickMenuItem(ScriptWindows::Main, "ScanPopup", v != 0.0 ? 0 : 1));
    } else if (name == "AUTOSAVE") {
        if (MainIni != nullptr)
            MainIni->WriteBool("Save", "AutoSaveScan", v != 0.0);
        Click(ScriptWindows::Main, "SaveButton");
    } else {
        Error(ErrFirstParameter);
    }
}

void TScriptStatements::FeedPara()
{
    QString name;
    double v = 0.0;
    if (!Open() || !Text(name) || !Comma() || !Number(v) || !Close())
        return;
    const QString edit = FeedParaEdit(name.toUpper());
    if (edit.isEmpty())
        Error(ErrFirstParameter);
    else
        Set(ScriptWindows::ScanPara, edit, ValueText(v));
}

void TScriptStatements::GetFeedPara()
{
    QString name;
    if (!Open() || !Text(name) || !Close())
        return;
    const QString edit = FeedParaEdit(name.toUpper());
    if (edit.isEmpty()) {
        Error(ErrFirstParameter);
        return;
    }
    QString text;
    if (!Done(device_.GetControlValue(ScriptWindows::ScanPara, edit, text)))
        return;
    double value = 0.0;
    if (!ParseNumber(text, value)) {
        Error(ErrNoFloat);
        return;
    }
    script_->SetVariable("C", value);
}

void TScriptStatements::VPulse()
{
    double t = 0.0, u = 0.0;
    if (!Open() || !Number(t) || !Comma() || !Number(u) || !Close())
        return;
    // A negative time would lower the controller's shared delay debt.
    t = std::max(t, 0.0);
    const double before = device_.CurrentBias();
    device_.SetBias(u);
    if (t < HardwarePulseLimit)
        device_.DelayUs(RoundToInt(t * 1.0e6));
    else
        SleepFor(t);
    if (t > 0.0)
        device_.SetBias(before);
}

void TScriptStatements::GoXY()
{
    double fx = 0.0, fy = 0.0;
    if (!Open() || !Number(fx) || !Comma() || !Number(fy) || !Close())
        return;
    if (fx < 0.0 || fx > 1.0 || fy < 0.0 || fy > 1.0) {
        Error(ErrOutOfRange);
        return;
    }
    double x = 0.0, y = 0.0;
    device_.FractionToPosition(fx, fy, x, y);
    device_.GoToXYPhys(x, y);
}

void TScriptStatements::SetChannel()
{
    double c = 0.0, v = 0.0;
    if (!Open() || !Number(c) || !Comma() || !Number(v) || !Close())
        return;
    const int channel = RoundToInt(std::clamp(c, -256.0, 256.0));
    if (channel == 9)
        device_.WriteReg(41, RoundToInt(std::clamp(v, 0.0, 511.0)));
    else
        device_.SetDacPhys(channel, v);
}

void TScriptStatements::SetLaser()
{
    double v = 0.0;
    if (!Open() || !Number(v) || !Close())
        return;
    device_.SetLaserButton(v > 0.0);
}

void TScriptStatements::DncStart()
{
    if (!Started(device_.ResonanceSweep()) || Stopped())
        return;
    if (MainIni != nullptr && MainIni->ReadBool("dncopt", "AutoSave", false))
        run_.WriteDataLine("#Saved Spectrum as: " + MainIni->ReadString("dncopt", "LastSaveName", QString()));
}

void TScriptStatements::DncPara()
{
    QString name;
    double n = 0.0, v = 0.0;
    bool named = false;
    if (!NameOrNumberAndValue(named, name, n, v))
        return;
    if (named) {
        if (name == "AUTOSAVE") {
            if (MainIni != nullptr)
                MainIni->WriteBool("dncopt", "AutoSave", v != 0.0);
            Click(ScriptWindows::Dnc, "SaveButton");
        } else if (name == "INPUTGAIN") {
            const bool known = v == 1.0 || v == 10.0 || v == 100.0;
            if (!known || (v == 100.0 && !device_.ControlVisible(ScriptWindows::Dnc, "InputRadio100"))) {
                Error(ErrInputGain);
                return;
            }
            Set(ScriptWindows::Dnc, "InputRadio" + IntText(v), "1");
        }
        return;
    }
    if (n < 1.0 || n > 100.0) {
        Error(ErrOutOfRange);
        return;
    }
    const int index = RoundToInt(n);
    if (index <= 4)
        Set(ScriptWindows::Dnc, QString("Edit%1").arg(index), ValueText(v));
    else if (index == 5)
        Set(ScriptWindows::Dnc, "RedBandwidthButton", IntText(v));
    else if (index == 6)
        Set(ScriptWindows::Dnc, "ComboBox2", IntText(v));
    else if (index == 7)
        Set(ScriptWindows::Dnc, "ComboBox3", IntText(v));
    else if (index == 8)
        Set(ScriptWindows::Dnc, "SpeedButton2", IntText(v));
}

} // namespace qvt
