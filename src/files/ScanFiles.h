#pragma once
// The program's side of saving a scan: gathers the buffers, the pictures of
// the open image windows and the instrument state, saves the file set
// (ScanFileOutput) and shows the new caption on the main window. Save, Save
// As, the Save button and the automatic save at the end of every frame all
// end here.

#include "core/SharedState.h"
#include "files/ScanFileOutput.h"
#include "scan/GoXYThread.h"

#include <functional>
#include <vector>

#include <QMdiArea>
#include <QPointer>

namespace qvt {

// Clock, locale and user of the program's saves; tests fix them.
extern TSaveEnvironment SaveEnvironment;
// The save directory check of the miscellaneous window (its path box turns
// white or red); unset: CheckSavePath on [Save] Path.
extern std::function<bool()> SavePathCheck;

// The main window's part in a save, set by the main window while it exists:
// the area whose image windows are saved when none is named, and the window
// that shows the caption of the set just saved.
extern QPointer<QMdiArea> SaveImageArea;
extern QPointer<QWidget> SaveCaptionWindow;

// The image windows of the area, in the order they were opened: copies of
// their pictures as shown now. Windows being closed are left out.
std::vector<TImageWindowPicture> ImageWindowPictures(QMdiArea* area);

// A save of the program is running (its message boxes may be open).
bool ScanSaveUnderWay();

// Saves the scan held in `channels` with the pictures of the windows in
// `area` (null: the main window's). `flyOn` is the scan mode of the scan
// thread (0 plain, 1 lift pass, 2 constant height).
TSaveOutcome SaveScanFiles(const TImageChannels& channels, QMdiArea* area = nullptr, int flyOn = 0,
                           const TScanParams& params = ScanParams);
// The same with the pictures given; `frame` set: only its buffers (ScanFileOutput).
TSaveOutcome SaveScanFiles(const TImageChannels& channels, std::vector<TImageWindowPicture> windows, int flyOn,
                           const TScanParams& params, TFrameBuffers frame);
// "Save As": the chosen name becomes [Save] Path and BasisName, then the save.
TSaveOutcome SaveScanFilesAs(const QString& chosenFile, const TImageChannels& channels, QMdiArea* area = nullptr,
                             int flyOn = 0, const TScanParams& params = ScanParams);

// ---- the frame ----------------------------------------------------------------------------

// What a save of a scan frame says when there is none to save.
inline const char* const NoFrameText = "No scan frame to save!\rScan a frame first.";
// "The frame is not complete: <measured> of <rows> lines measured.\rNothing was saved."
QString PartialFrameText(int measured, int rows);

// Whether the scan's buffers hold a whole frame; if not, says so (message
// box) and false. Rows begun under other settings, a frame stopped part-way
// or over-written by the next one's first lines are no frame.
bool FrameToSave(const TGoXYThread& scan);
// The program's save of a scan frame (File › Save, the Save button, the
// automatic save, scripts): the frame last measured whole, its buffers,
// readings and scales, with the settings it was measured with in the
// parameter file; nothing (and a message box) when there is no such frame.
TSaveOutcome SaveScanFrame(const TGoXYThread& scan, QMdiArea* area = nullptr, const TScanParams& params = ScanParams);
// "Save As" of the frame: the name is taken only when there is a frame.
TSaveOutcome SaveScanFrameAs(const QString& chosenFile, const TGoXYThread& scan, QMdiArea* area = nullptr,
                             const TScanParams& params = ScanParams);

// The scan thread's host for the automatic save: at every frame end while
// the Save button is down, the frame is saved (in the window thread, while
// the scan thread waits, so the data cannot change under the save).
class TAutoSaveHost : public IScanHost {
public:
    explicit TAutoSaveHost(TGoXYThread& scan, const TScanParams& params = ScanParams, QMdiArea* area = nullptr);

    // Whether the Save button is down; unset: [Save] AutoSaveScan.
    std::function<bool()> SaveButton;
    // The save just made.
    TSaveOutcome LastSave;
    int SaveCount = 0;

    bool SaveButtonDown() const override;
    void SaveFrame() override;

private:
    TGoXYThread& scan_;
    const TScanParams& params_;
    QMdiArea* area_;
};

// Makes `host` the scan thread's host, so its frames are saved.
void ConnectAutoSave(TGoXYThread& scan, TAutoSaveHost& host);

} // namespace qvt
