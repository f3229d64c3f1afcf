#include "lockin/DncExport.h"

#include "core/NumberText.h"
#include "core/SharedState.h"
#include "lockin/DncSweep.h"
#include "platform/CheckedWrite.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>

namespace qvt {

QString DncLocalPath(const QString& stored)
{
    QString p = stored;
    p.replace('\\', '/');
    if (p.size() >= 2 && p[1] == ':' && p[0].isLetter())
        p.remove(0, 2);
    if (p.isEmpty() || QDir::isAbsolutePath(p))
        return p;
    return AppDir + p;
}

QString DncSaveFileName(const QString& saveName, const QString& ext, bool numbered, int& nextNumber)
{
    QString name = saveName;
    if (numbered) {
        const int n = std::clamp(nextNumber, 0, DncMaxSaveNumber);
        nextNumber = std::max(nextNumber, 0) + 1;
        name += QString("%1").arg(n, 4, 10, QChar('0'));
    }
    return name + "." + ext;
}

QByteArray DncExportText(const TDncCurves& curves, int n, double step, double start, const TDncExportColumns& c)
{
    QString text;
    if (c.WithComment)
        text += c.Comment + "\r\n";
    if (curves.Empty())
        return text.toLatin1();
    n = std::min(n, curves.DataPoints());
    for (int i = 1; i <= n; ++i) {
        QString line;
        if (c.XAxis)
            line += FixedPointText(i * step + start, 8, 2) + c.Delimiter;
        if (c.Phase) {
            const double phase =
                static_cast<size_t>(i) < curves.Phase.size() ? curves.Phase[static_cast<size_t>(i)] / 1000.0 : 0.0;
            line += FixedPointText(phase, 7, 3) + c.Delimiter;
        }
        for (int k = 0; k <= curves.HistoryDepth(); ++k) {
            line += GeneralText(curves.Curve(k)[static_cast<size_t>(i)], 15);
            if (k < curves.HistoryDepth())
                line += c.Delimiter;
        }
        text += line + "\r\n";
    }
    return text.toLatin1();
}

QString DncClipboardText(const TDncCurves& curves, int n, double step, double start, const QString& delimiter)
{
    QString text;
    if (curves.Empty())
        return text;
    n = std::min(n, curves.DataPoints());
    for (int i = 1; i <= n; ++i)
        text += FixedPointText(i * step + start, 8, 2) + delimiter +
                FixedPointText(curves.Newest()[static_cast<size_t>(i)], 10, 9) + "\r\n";
    return text;
}

DncSaveResult WriteDncExport(const QString& path, const QByteArray& text)
{
    const QFileInfo info(path);
    if (!info.absoluteDir().exists())
        return DncSaveResult::NoDirectory;
    // Whole or not at all, and a file that appeared since the name was chosen
    // is never replaced.
    TCheckedFile file(path, TFinalName::NoReplace);
    file.Write(text);
    if (file.Commit())
        return DncSaveResult::Saved;
    return file.ErrorNumber() == EEXIST ? DncSaveResult::Exists : DncSaveResult::AccessError;
}

} // namespace qvt
