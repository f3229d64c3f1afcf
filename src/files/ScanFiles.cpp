#include "files/ScanFiles.h"

#include "core/IniFile.h"
#include "images/ChildForm.h"
#include "motion/MoveEngine.h"

#include <QMdiArea>
#include <QMdiSubWindow>

namespace qvt {

TSaveEnvironment SaveEnvironment;
std::function<bool()> SavePathCheck;
QPointer<QMdiArea> SaveImageArea;
QPointer<QWidget> SaveCaptionWindow;

std::vector<TImageWindowPicture> ImageWindowPictures(QMdiArea* area)
{
    std::vector<TImageWindowPicture> pictures;
    if (area == nullptr)
        return pictures;
    for (QMdiSubWindow* sub : area->subWindowList(QMdiArea::CreationOrder)) {
        const auto* form = qobject_cast<const TChildForm*>(sub->widget());
        if (form == nullptr || sub->isHidden())
            continue;
        pictures.push_back({form->windowTitle(), form->BufferIndex(), &form->Renderer().Bitmap(), &form->ColorTable()});
    }
    return pictures;
}

TSaveOutcome SaveScanFiles(const TImageChannels& channels, QMdiArea* area, int flyOn, const TScanParams& params)
{
    if (MainIni == nullptr)
        return {};
    if (area == nullptr)
        area = SaveImageArea;
    TSaveRequest request;
    request.Ini = MainIni;
    request.Channels = &channels;
    request.Windows = ImageWindowPictures(area);
    request.Values = CollectParameterValues(params, MicroscopeState, LockInState, flyOn, MainIni);
    request.Environment = SaveEnvironment;
    request.CheckPath = SavePathCheck;
    TSaveOutcome outcome = SaveScanFileSet(std::move(request));
    if (outcome.Complete && SaveCaptionWindow)
        SaveCaptionWindow->setWindowTitle(outcome.Caption);
    return outcome;
}

TSaveOutcome SaveScanFilesAs(const QString& chosenFile, const TImageChannels& channels, QMdiArea* area, int flyOn,
                             const TScanParams& params)
{
    if (MainIni == nullptr)
        return {};
    ApplySaveAsName(*MainIni, chosenFile);
    return SaveScanFiles(channels, area, flyOn, params);
}

TAutoSaveHost::TAutoSaveHost(TGoXYThread& scan, const TScanParams& params, QMdiArea* area)
    : scan_(scan), params_(params), area_(area)
{
}

bool TAutoSaveHost::SaveButtonDown() const
{
    if (SaveButton)
        return SaveButton();
    return MainIni != nullptr && MainIni->ReadBool("Save", "AutoSaveScan", false);
}

void TAutoSaveHost::SaveFrame()
{
    LastSave = SaveScanFiles(scan_.Channels, area_, scan_.Moves().FlyOn.load(), params_);
    ++SaveCount;
}

void ConnectAutoSave(TGoXYThread& scan, TAutoSaveHost& host)
{
    scan.SetHost(&host);
}

} // namespace qvt
