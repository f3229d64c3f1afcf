#pragma once
// What the resonance tool and its options window ask of each other, so that
// neither window includes the other. The options window keeps no settings of
// its own: it writes the keys of [dncopt] and tells the tool, which re-reads
// the section; the tool tells the options window what it wrote there itself.

#include <QObject>
#include <QString>

#include <functional>

namespace qvt {

// The resonance tool as its options window sees it.
class IDncTool {
public:
    // [dncopt] changed: the tool re-reads it.
    virtual void ApplyOptions() = 0;
    virtual void DrawSpectrum() = 0;
    virtual void HideFitLabels() = 0;
    virtual void UpdateScanGlyph() = 0;
    // Q control was switched: the range group follows.
    virtual void QControlChanged() = 0;
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

// The options window as the resonance tool sees it.
class IDncOptionsView {
public:
    virtual void ShowQGain() = 0;
    virtual void ShowNextNumber() = 0;
    // Shown and brought to the front.
    virtual void ShowOptions() = 0;
    // The phase edit after an automatic phase.
    virtual void ShowPhase(const QString& text) = 0;
    // The save name and extension a Save As of the tool chose.
    virtual void ShowSaveName(const QString& base, const QString& extension) = 0;

protected:
    ~IDncOptionsView() = default;
};

// The options window while it exists, else null.
IDncOptionsView* DncOptionsView();

} // namespace qvt
