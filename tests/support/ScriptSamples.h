#pragma once
// The sample scripts shipped with the program carry what a run gives behind
// their "END.": each line "//= text" is one line of the memo, each "//# text"
// one line of the data file. Without "//#" lines the data file holds the memo
// lines that are not the error line. "{scripts}" stands for the folder the
// scripts run from. A sample with neither kind of line is a sub-script that
// only runs from another one.

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace qvt::test {

struct TSampleExpectation {
    bool Runs = false;
    QStringList Memo;
    QStringList Data;
};

inline TSampleExpectation ReadSampleExpectation(const QByteArray& text, const QString& scriptsFolder)
{
    TSampleExpectation e;
    bool dataGiven = false;
    const qsizetype end = text.toUpper().lastIndexOf("\nEND.");
    for (QByteArray line : text.mid(end < 0 ? 0 : end + 5).split('\n')) {
        line = line.trimmed();
        const QString rest = QString::fromLatin1(line.mid(4)).replace("{scripts}", scriptsFolder);
        if (line.startsWith("//= ") || line == "//=") {
            e.Memo << rest;
            e.Runs = true;
        } else if (line.startsWith("//# ") || line == "//#") {
            e.Data << rest;
            e.Runs = dataGiven = true;
        }
    }
    if (!dataGiven)
        for (const QString& line : e.Memo)
            if (!line.startsWith("Error "))
                e.Data << line;
    return e;
}

} // namespace qvt::test
