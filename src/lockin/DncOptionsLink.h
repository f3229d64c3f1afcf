#pragma once
// What the options window asks of the resonance tool besides the options
// themselves, so that neither window includes the other. The options travel
// through the record both hold (`TDncOptions`): the tool follows what the
// options window writes there, the options window shows what the tool wrote.

#include <QObject>
#include <QString>

#include <functional>

namespace qvt {

// The resonance tool as its options window sees it.
class IDncTool {
public:
    virtual bool Acquiring() const = 0;
    virtual void AcquireAndShow() = 0;
    virtual bool ToolShown() const = 0;
    // `f` runs once, in `context`, when the running acquisition ends.
    virtual QMetaObject::Connection WhenAcquisitionEnds(QObject* context, std::function<void()> f) = 0;
    // The save dialog: a file name, or empty when cancelled or when there is none.
    virtual QString AskSpectrumSaveName(const QString& filter, const QString& directory, const QString& name) = 0;

protected:
    ~IDncTool() = default;
};

} // namespace qvt
