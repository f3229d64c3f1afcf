#pragma once
// The program's settings files: classic "[Section]" / "Key=Value" text.
//
// Sections and keys match without regard to case and the first duplicate wins;
// values are trimmed and lose one pair of surrounding double quotes. Every
// write goes to disk at once by an atomic rewrite that keeps comments, blank
// lines, order and spelling; edits made outside the program are picked up on
// the next read. Files are read as UTF-8, or as Windows-1252 where that is not
// valid UTF-8, or as UTF-16 when they start with its byte-order mark, and
// written back the same way (new files: Windows-1252). Line ends are written
// CR LF. Safe to use from several threads.
//
// A missing, unreadable or garbled file never fails a read: reads give their
// defaults. Only a regular file of at most 16 MB is read: a device or a pipe
// put in a settings file's place is refused with a message (once per file)
// instead of holding up or swamping the program, and is never written. A write that cannot reach the disk is dropped,
// as is a write to a UTF-16 file with a broken sequence or to a read-only file (both are left as they are); the first
// such failure of each file is shown in a box naming the file and the reason, later ones go to the error log.

#include <QString>
#include <QStringList>

#include <memory>
#include <mutex>

namespace qvt {

class TQVTIniFile {
public:
    explicit TQVTIniFile(const QString& fileName);
    ~TQVTIniFile();
    TQVTIniFile(const TQVTIniFile&) = delete;
    TQVTIniFile& operator=(const TQVTIniFile&) = delete;

    QString FileName() const;
    bool Exists() const;

    QString ReadString(const QString& section, const QString& key, const QString& def) const;
    // Decimal, or hex with "0x" or "$"; anything else gives the default.
    int ReadInteger(const QString& section, const QString& key, int def) const;
    // Stored as an integer: any value other than 0 is true.
    bool ReadBool(const QString& section, const QString& key, bool def) const;
    // Accepts "." or "," as decimal separator; text that is no number gives the default.
    double ReadFloat(const QString& section, const QString& key, double def) const;
    // "FormPosLeft" of the section, kept left of the desktop's right edge
    // (desktop width - 30). A negative value stays.
    int ReadFormPosLeft(const QString& section, int def) const;

    void WriteString(const QString& section, const QString& key, const QString& value);
    void WriteInteger(const QString& section, const QString& key, int value);
    void WriteBool(const QString& section, const QString& key, bool value);
    void WriteFloat(const QString& section, const QString& key, double value);

    bool SectionExists(const QString& section) const;
    bool ValueExists(const QString& section, const QString& key) const;
    QStringList ReadSection(const QString& section) const; // key names, in file order
    QStringList ReadSections() const;
    void EraseSection(const QString& section);
    void DeleteKey(const QString& section, const QString& key);

    // The screen showed a window elsewhere than its stored place (a place
    // beyond a smaller screen, or a run without one): the left (`horizontal`)
    // or top edge `stored` became `shown`. A window's place written back with
    // a value the screen made from the stored one ("FormPosLeft", "FormLeft",
    // "FormPosTop", "FormTop") leaves the stored place as it is, so one run on
    // another screen does not undo the operator's layout. Such a place is
    // not written either where no place was stored, so the window's own
    // default stays. Any thread.
    static void NoteScreenMadePlace(bool horizontal, int stored, int shown);
    // The same for a window's width (`horizontal`) or height that the screen
    // cut from the stored one ("FormWidth", "FormPosWidth", "FormHeight",
    // "FormPosHeight").
    static void NoteScreenMadeSize(bool horizontal, int stored, int shown);

    // Desktop width used by ReadFormPosLeft; 0 or less goes back to the screen's.
    static void SetDesktopWidthForTests(int width);

    struct Content; // parsed file, defined in the source

private:
    // Rereads the file when it changed on disk; call with mutex_ held.
    void RefreshLocked() const;
    // Writes the edited lines to disk and adopts them; call with mutex_ held.
    // Returns why the file was not written, empty when it was.
    QString SaveLocked(QStringList lines);
    // Tells the operator (once per file) or the log why a write failed;
    // call without mutex_ held.
    void TellWriteFailure(const QString& reason) const;
    bool LookupLocked(const QString& section, const QString& key, QString& value) const;

    const QString fileName_;
    mutable std::mutex mutex_;
    mutable std::unique_ptr<Content> content_;
};

} // namespace qvt
