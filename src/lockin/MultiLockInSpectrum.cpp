#include "lockin/MultiLockInSpectrum.h"

#include "core/IniFile.h"
#include "core/NumberText.h"
#include "files/SavePath.h"
#include "lockin/DncExport.h"

#include <algorithm>
#include <cmath>

namespace qvt {

QString SpectrumSaveName(const TQVTIniFile* mainIni)
{
    if (mainIni == nullptr)
        return "noname";
    QString name = mainIni->ReadString("MultiLockinOpt", "SaveName", QString()).trimmed();
    if (name.size() >= 2 && name.startsWith('"') && name.endsWith('"'))
        name = name.mid(1, name.size() - 2);
    if (name.isEmpty())
        return SaveDirectory(*mainIni) + "/noname";
    // A name written on another system ("c:\temp\noname") is read as a path here.
    return DncLocalPath(name);
}

int ClampSpectrumPoints(int n)
{
    return std::clamp(n, 32, 4096);
}

double SpectrumStep(double start, double stop, int points)
{
    return points > 1 ? (stop - start) / (points - 1) : 0.0;
}

int32_t SpectrumReadingWait(double settleSeconds)
{
    const double units = settleSeconds * 1.0e5;
    if (!(units > SpectrumMinimumWait))
        return SpectrumMinimumWait;
    return static_cast<int32_t>(std::min(Round(units), 1.0e9));
}

QString SpectrumFileName(const QString& name, bool numbered, int number, const QString& ext)
{
    if (!numbered)
        return name + "." + ext;
    const int n = std::clamp(number, 0, 9999);
    return name + QString("%1").arg(n, 4, 10, QChar('0')) + "." + ext;
}

QString SpectrumRangeText(double start, double stop)
{
    return GeneralText(start, 4) + "-" + GeneralText(stop, 4);
}

bool ParseSpectrumRange(const QString& text, double& start, double& stop)
{
    QString t = text;
    t.remove('&');
    const qsizetype dash = t.indexOf('-');
    if (dash < 0)
        return false;
    double a = 0, b = 0;
    if (!ParseNumber(t.left(dash), a) || !ParseNumber(t.mid(dash + 1), b))
        return false;
    start = a;
    stop = b;
    return true;
}

void AddSpectrumRangeHistory(QStringList& items, const QString& text)
{
    while (items.size() < 3)
        items << text;
    for (int i = 0; i < 3; ++i) {
        QString item = items[i];
        item.remove('&');
        if (item == text) {
            items.removeAt(i);
            items << text;
            return;
        }
    }
    items.removeFirst();
    items << text;
}

void TSpectrumMeans::Resize(int points)
{
    for (auto& s : stored_)
        s.assign(static_cast<size_t>(std::max(points, 0)) + 1, 0.0);
}

double TSpectrumMeans::Add(int channel, int index, double value, int32_t repetition)
{
    if (channel < 0 || channel > 3 || index < 0 || index >= static_cast<int>(stored_[0].size()) || repetition < 1)
        return value;
    double& s = stored_[static_cast<size_t>(channel)][static_cast<size_t>(index)];
    s = (1.0 - 1.0 / repetition) * s + value / repetition;
    return s;
}

double TSpectrumMeans::Stored(int channel, int index) const
{
    if (channel < 0 || channel > 3 || index < 0 || index >= static_cast<int>(stored_[0].size()))
        return 0.0;
    return stored_[static_cast<size_t>(channel)][static_cast<size_t>(index)];
}

} // namespace qvt
