#include "calib/FilterFit.h"

#include <QFile>

namespace qvt {

QStringList TFilterFit::Arguments(const QString& filterFolder, const QString& responseName)
{
    return {"-f", filterFolder + FitScriptName, filterFolder, responseName};
}

bool TFilterFit::Start(const QString& program, const QString& filterFolder, const QString& responseName, bool axisIsX)
{
    if (Waiting())
        return false;
    axisIsX_ = axisIsX;
    folder_ = filterFolder;
    QFile::remove(folder_ + FitResultName);
    auto run = std::make_unique<TWatchedProgram>();
    if (!run->Start(program, Arguments(filterFolder, responseName), filterFolder, true))
        return false;
    run_ = std::move(run);
    return true;
}

TFilterFit::Tick TFilterFit::Poll(QString& text)
{
    if (!run_)
        return Tick::Idle;
    if (run_->Running())
        return Tick::Running;
    run_.reset();
    QFile file(folder_ + FitResultName);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return Tick::NoResult;
    text = QString::fromUtf8(file.readAll());
    return Tick::Result;
}

} // namespace qvt
