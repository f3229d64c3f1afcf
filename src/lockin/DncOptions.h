#pragma once
// The options of the resonance tool, section [dncopt] of the main settings
// file: one record that the resonance window and its options window both
// hold. Every read and write of a [dncopt] key in the two windows goes
// through here, with the key's default in one table; nothing is cached, so a
// value written around the record (the device window's automatic phase, a
// script, an edit of the file) is what the next read returns.
//
// Each write tells its holders at once through `changed`, with the key and
// the object that wrote it: a window reacts to what others wrote and leaves
// its own writes alone, so showing a value never writes it back.

#include <QObject>
#include <QString>

#include <functional>
#include <vector>

namespace qvt {

class TQVTIniFile;

class TDncOptions : public QObject {
    Q_OBJECT

public:
    enum Key {
        DataPoints,
        Average,
        ContAverage,
        Wobbel,
        Harmonic,
        Phase,
        AutoPhase,
        Ac,
        SyncFilter,
        SyncPeriode,
        History,
        Vector,
        ShowWarning,
        ShowPhase,
        ScaleY,
        ShowX,
        QEnabled,
        TrackBar1Pos, // in the user settings file
        QDelay,
        QSpecAtChange,
        FitShoAlways,
        FitShoWidth,
        FitShoColor,
        AutoTuneOn,
        AutoTuneStartF,
        AutoTuneStopF,
        Tag,
        AutoTuneStep,
        AutoTuneOffset,
        SaveName,
        SaveExt,
        DelimiterSave,
        SaveNumbered,
        NextNumber,
        SaveComment,
        Comment,
        XAxis,
        SavePhase,
        AutoSave,
        BeepOnOverload,
        BeepOnQClip,
        ShowOnError,
        ActiveTab,
        FormPosLeft,
        FormPosTop,
        LastSaveName,
        Popup0, // the preset range: [dnc], edited on the options window
        // Not a key: the whole section may have changed.
        All
    };
    Q_ENUM(Key)

    explicit TDncOptions(QObject* parent = nullptr);

    QString Text(Key key) const;
    int Integer(Key key) const;
    double Number(Key key) const;
    bool Flag(Key key) const;
    bool Stored(Key key) const;
    // The dialog's left edge, kept on the desktop.
    int FormLeft() const;

    void WriteText(Key key, const QString& value, QObject* by);
    void WriteInteger(Key key, int value, QObject* by);
    void WriteFloat(Key key, double value, QObject* by);
    void WriteBool(Key key, bool value, QObject* by);
    // A key written around the record (or All): its holders are told as after a write.
    void Announce(Key key, QObject* by);

    // Holds the notices of the writes made while it lives and sends each key
    // once when the outermost one ends, in the order first written; All takes
    // the place of every other key.
    class TBatch {
    public:
        explicit TBatch(TDncOptions& options);
        ~TBatch();
        TBatch(const TBatch&) = delete;
        TBatch& operator=(const TBatch&) = delete;

    private:
        TDncOptions& options_;
    };

signals:
    // `key` was written by `by` (already on disk).
    void changed(qvt::TDncOptions::Key key, QObject* by);

private:
    void Write(Key key, QObject* by, const std::function<void(TQVTIniFile&, const QString&, const QString&)>& write);
    void Notify(Key key, QObject* by);

    int batchDepth_ = 0;
    std::vector<std::pair<Key, QObject*>> held_;
};

} // namespace qvt
