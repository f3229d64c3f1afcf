#include "files/ScanFiles.h"

#include "core/IniFile.h"
#include "images/ChildForm.h"
#include "motion/MoveEngine.h"
#include "platform/MessageBoxes.h"

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
        pictures.push_back(
            PictureCopy(form->windowTitle(), form->BufferIndex(), form->Renderer().Bitmap(), form->ColorTable()));
    }
    return pictures;
}

namespace {
int saveDepth = 0; // window thread only
} // namespace

bool ScanSaveUnderWay()
{
    return saveDepth > 0;
}

TSaveOutcome SaveScanFiles(const TImageChannels& channels, QMdiArea* area, int flyOn, const TScanParams& params)
{
    return SaveScanFiles(channels, ImageWindowPictures(area != nullptr ? area : SaveImageArea.data()), flyOn, params,
                         {});
}

TSaveOutcome SaveScanFiles(const TImageChannels& channels, std::vector<TImageWindowPicture> windows, int flyOn,
                           const TScanParams& params, TFrameBuffers frame)
{
    if (MainIni == nullptr)
        return {};
    struct TUnderWay {
        TUnderWay() { ++saveDepth; }
        ~TUnderWay() { --saveDepth; }
    } underWay;
    TSaveRequest request;
    request.Ini = MainIni;
    request.Channels = &channels;
    request.Windows = std::move(windows);
    request.Values = CollectParameterValues(params, MicroscopeState, LockInState, flyOn, MainIni);
    request.Environment = SaveEnvironment;
    request.CheckPath = SavePathCheck;
    request.Frame = std::move(frame);
    TSaveOutcome outcome = SaveScanFileSet(std::move(request));
    if (!outcome.Caption.isEmpty() && SaveCaptionWindow)
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

QString PartialFrameText(int measured, int rows)
{
    return QString("The frame is not complete: %1 of %2 lines measured.\rNothing was saved.").arg(measured).arg(rows);
}

namespace {

// Shows why the frame cannot be saved; true when it can.
bool FrameSaveable(const TFrameRecord::TFrame& frame)
{
    if (frame.State == TFrameRecord::TState::Whole)
        return true;
    if (frame.State == TFrameRecord::TState::None)
        ShowMessage(MsgKind::Information, QString::fromLatin1(NoFrameText));
    else
        ShowMessage(MsgKind::Information, PartialFrameText(frame.Measured, frame.Rows));
    return false;
}

} // namespace

bool FrameToSave(const TGoXYThread& scan)
{
    return FrameSaveable(scan.Frame().Take(false));
}

TSaveOutcome SaveScanFrame(const TGoXYThread& scan, QMdiArea* area, const TScanParams& params)
{
    if (MainIni == nullptr)
        return {};
    const TFrameRecord::TFrame frame = scan.Frame().Take();
    if (!FrameSaveable(frame))
        return {};
    // The parameter file tells the settings the frame was measured with, not
    // what the boxes hold now.
    TScanParams measured;
    measured.Pixels = static_cast<int16_t>(frame.Settings.Pixels);
    measured.Range = frame.Settings.Range;
    measured.Speed = frame.Settings.Speed;
    measured.XCenter = frame.Settings.XCenter;
    measured.YCenter = frame.Settings.YCenter;
    measured.Angle = frame.Settings.Angle;
    measured.OverScan = frame.Settings.OverScan;
    measured.LineScan = frame.Settings.LineScan;
    measured.LevelDxDz = params.LevelDxDz.load();
    measured.LevelDyDz = params.LevelDyDz.load();
    const auto buffers = std::make_shared<std::vector<TFrameBuffer>>(frame.Buffers);
    const auto find = [buffers](int index) -> const TFrameBuffer* {
        for (const TFrameBuffer& b : *buffers)
            if (b.Index == index)
                return &b;
        return nullptr;
    };
    TFrameBuffers frameBuffers = [find](int index) -> std::optional<TSaveBuffer> {
        const TFrameBuffer* b = find(index);
        if (b == nullptr)
            return std::nullopt;
        return TSaveBuffer{b->Matrix, b->HasScale ? &b->Scale : nullptr};
    };
    // A window shows the frame only while its buffer still holds the frame's matrix.
    std::vector<TImageWindowPicture> windows = ImageWindowPictures(area != nullptr ? area : SaveImageArea.data());
    std::erase_if(windows, [&](const TImageWindowPicture& w) {
        const TFrameBuffer* b = find(w.BufferIndex);
        const TImageMatrixPtr now = IsValidImageChannel(w.BufferIndex) ? scan.Channels[w.BufferIndex].Data() : nullptr;
        return b == nullptr || !now || now->Id() != b->MatrixId;
    });
    return SaveScanFiles(scan.Channels, std::move(windows), frame.Settings.FlyOn, measured, std::move(frameBuffers));
}

TSaveOutcome SaveScanFrameAs(const QString& chosenFile, const TGoXYThread& scan, QMdiArea* area,
                             const TScanParams& params)
{
    if (MainIni == nullptr || !FrameToSave(scan))
        return {};
    ApplySaveAsName(*MainIni, chosenFile);
    return SaveScanFrame(scan, area, params);
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
    LastSave = SaveScanFrame(scan_, area_, params_);
    ++SaveCount;
}

void ConnectAutoSave(TGoXYThread& scan, TAutoSaveHost& host)
{
    scan.SetHost(&host);
}

} // namespace qvt
