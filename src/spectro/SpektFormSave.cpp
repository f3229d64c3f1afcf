// The spectroscopy window's fit line, its hand-over as the cantilever
// sensitivity, the file and the clipboard.

#include "spectro/SpektForm.h"

#include "core/IniFile.h"
#include "core/NumberText.h"
#include "core/SharedState.h"
#include "device/ChannelTable.h"
#include "lockin/OsziFrame.h"
#include "platform/CheckedWrite.h"
#include "platform/FileDialogs.h"
#include "platform/MessageBoxes.h"
#include "widgets/SimpleChart.h"
#include "widgets/SteadyLayout.h"

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace qvt {

namespace {
const char* const Opt = "SpektOpt";
constexpr int SlotAdc1 = 26;
constexpr int SlotDac13 = 12;
constexpr int DynamicAmplitudeAddress = 11;

QString DefaultName()
{
    return UserIni ? UserIni->ReadString(Opt, "SaveName", DefaultSaveName()) : DefaultSaveName();
}
} // namespace

void TSpektForm::BuildSaveControls()
{
    auto* row = new QHBoxLayout;
    FitButton = new QPushButton("Linear Fit", this);
    FitButton->setObjectName("FitButton");
    connect(FitButton, &QPushButton::clicked, this, [this] { FitButtonClick(); });
    Label21 = new QLabel(this);
    Label21->setObjectName("Label21");
    Label21->setToolTip("Click to use for rescale");
    Label21->installEventFilter(this);
    SaveButton = new QToolButton(this);
    SaveButton->setObjectName("SaveButton");
    SaveButton->setText("Save");
    SaveButton->setCheckable(true);
    // The button's own toggling is replaced by the two handlers.
    SaveButton->installEventFilter(this);
    SaveAsButton = new QPushButton("Save as", this);
    SaveAsButton->setObjectName("SaveAsButton");
    connect(SaveAsButton, &QPushButton::clicked, this, [this] { SaveAsButtonClick(); });
    ButtonCopy = new QPushButton("Copy", this);
    ButtonCopy->setObjectName("ButtonCopy");
    connect(ButtonCopy, &QPushButton::clicked, this, [this] { ButtonCopyClick(); });
    // Nothing to write until the first curve is in.
    for (QWidget* w : std::initializer_list<QWidget*>{SaveButton, SaveAsButton, ButtonCopy})
        w->setEnabled(false);
    SpeedButton4 = new QPushButton("Options", this);
    SpeedButton4->setObjectName("SpeedButton4");
    connect(SpeedButton4, &QPushButton::clicked, this, [this] {
        if (ShowOptions)
            ShowOptions();
    });
    // The window has a fixed size: the slope's text takes the width beside the
    // Fit button that is there and never widens the window or moves the buttons.
    Label21->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    auto* fitRow = new QHBoxLayout;
    fitRow->addWidget(FitButton);
    fitRow->addWidget(Label21, 1);
    for (QWidget* w : std::initializer_list<QWidget*>{SaveButton, SaveAsButton, ButtonCopy, SpeedButton4})
        row->addWidget(w);
    row->addStretch();
    EditComment = new QLineEdit(this);
    EditComment->setObjectName("EditComment");
    KeepPlaceWhenHidden(EditComment); // the window keeps its size with or without comments
    if (auto* top = qobject_cast<QVBoxLayout*>(layout())) {
        top->addLayout(fitRow);
        top->addLayout(row);
        top->addWidget(EditComment);
    }
    Image1->setMouseTracking(true);
    Image1->installEventFilter(this);
    SaveSpectrum = [this](const QString& base) { SaveSpektFile(base); };
}

TSpektPlot TSpektForm::CurrentPlot(int& xColumn, int& yColumn) const
{
    const QString section = Section();
    xColumn = std::clamp(UserIni ? UserIni->ReadInteger(section, "ViewX", 0) : 0, 0, 7);
    yColumn = std::clamp(UserIni ? UserIni->ReadInteger(section, "ViewY0", 0) : 0, 0, 7);
    const bool showLead = !UserIni || UserIni->ReadBool(section, "ShowLeadInOut", true);
    return MapSpektPlot(SpektData, measured_.Points, xColumn, yColumn, showLead);
}

int TSpektForm::ColumnSlot(int column) const
{
    return measured_.Slots[static_cast<size_t>(std::clamp(column, 0, 7))];
}

void TSpektForm::ShowSlope(double slope)
{
    const TIOScale& xs = measured_.Scales[static_cast<size_t>(fitX_)];
    const TIOScale& ys = measured_.Scales[static_cast<size_t>(fitY_)];
    Label21->setText(GeneralText(slope, 5) + " [" + ys.UnitName + " / " + xs.UnitName + "]");
    Label21->setStyleSheet({});
}

void TSpektForm::FitButtonClick()
{
    // The line is fitted to the curve on the plot; a preview was never
    // measured, and its slope must not become a sensitivity.
    if (shown_.Preview) {
        fit_ = TSpektFit{};
        Label21->clear();
        ShowMessage(MsgKind::Information, SpektFitPreviewMessage);
        return;
    }
    const double start = UserIni ? UserIni->ReadFloat("Spekt", "StartFit", 0.0) : 0.0;
    const double stop = UserIni ? UserIni->ReadFloat("Spekt", "StopFit", 1.0) : 1.0;
    fit_ = FitSpektLine(SpektData, shown_.Plot, shown_.X, shown_.Y, start, stop);
    fitX_ = shown_.X;
    fitY_ = shown_.Y;
    if (fit_.N <= 1) {
        ShowMessage(MsgKind::Information, SpektTooFewMessage);
        return;
    }
    if (!fit_.Valid) {
        Label21->setText("???");
        return;
    }
    ShowSlope(fit_.Slope);
    DrawFitOverlay();
}

void TSpektForm::DrawFitOverlay()
{
    const TSpektPlot& plot = shown_.Plot;
    if (plot.XScale == 0.0 || plot.YScale == 0.0)
        return;
    const auto toX = [&plot](int px) { return plot.XMin + px / plot.XScale; };
    const auto toY = [&plot](int py) { return plot.YMax - py / plot.YScale; };
    auto& list = Image1->SeriesList;
    list.removeAll(fitLine_.get());
    list.removeAll(fitEnds_.get());
    fitLine_ = std::make_unique<TChartSeries>();
    fitEnds_ = std::make_unique<TChartSeries>();
    const int width =
        std::max(1, UserIni ? static_cast<int>(Round(UserIni->ReadFloat(Section(), "LineWidth", 1.0))) : 1);
    fitLine_->Color = Qt::red;
    fitLine_->Width = 2 * width;
    fitEnds_->Color = Qt::black;
    fitEnds_->Style = ssPoint;
    fitEnds_->Width = 8;
    for (const QPoint& p : {fit_.Start, fit_.End}) {
        fitLine_->AddXY(toX(p.x()), toY(p.y()));
        fitEnds_->AddXY(toX(p.x()), toY(p.y()));
    }
    Image1->AddSeries(fitLine_.get());
    Image1->AddSeries(fitEnds_.get());
    Image1->update();
}

void TSpektForm::Label21Click()
{
    if (fit_.Slope == 0.0 || !fit_.Valid) {
        ShowMessage(MsgKind::Information, "Invalid Value!");
        return;
    }
    const int xSlot = ColumnSlot(fitX_);
    const int ySlot = ColumnSlot(fitY_);
    const int zSensor = ZSensorSlot ? ZSensorSlot() : -1;
    const auto label = [](int slot) { return ChannelTable[static_cast<size_t>(slot)].Label; };
    if (xSlot != SlotZ && (zSensor < 0 || xSlot != zSensor) &&
        ShowMessage(MsgKind::Confirmation, "X-Axis isn't " + label(SlotZ) + "! Continue?", MsgButtons::YesNo) !=
            MsgResult::Yes)
        return;
    const int mode = MicroscopeState.FeedbackMode.load();
    if (mode == FeedbackCmAFM && ySlot != SlotAdc1 &&
        ShowMessage(MsgKind::Confirmation, "Y-Axis isn't " + label(SlotAdc1) + "! Continue?", MsgButtons::YesNo) !=
            MsgResult::Yes)
        return;
    if (mode >= FeedbackNcAFMR) {
        int adc = -1;
        for (int s = FirstAdcSlot; s < ChannelSlotCount; ++s) {
            if (ChannelTable[static_cast<size_t>(s)].Address.load() == DynamicAmplitudeAddress) {
                adc = s;
                break;
            }
        }
        if (ySlot != SlotDac13 && (adc < 0 || ySlot != adc)) {
            ShowMessage(MsgKind::Warning,
                        "Y-Axis isn't " + label(SlotDac13) + (adc >= 0 ? " or " + label(adc) : QString()) + "!");
            Label21->setStyleSheet("color: red");
            return;
        }
    }
    const std::optional<double> value =
        SensitivityFromSlope(fit_.Slope, measured_.Scales[static_cast<size_t>(fitY_)].UnitName,
                             measured_.Scales[static_cast<size_t>(fitX_)].UnitName);
    if (!value) {
        Label21->setStyleSheet("color: red");
        return;
    }
    const TSensitivityStore store = SensitivityToStore(mode, *value);
    if (store.ContactMode) {
        CantileverParams.CantileverScaleCMAFM = store.Value;
        if (MainIni)
            MainIni->WriteFloat("Microscope", "CantileverScaleCMAFM", store.Value);
    } else if (store.Dynamic) {
        CantileverParams.CantileverScaleNCAFM = store.Value;
        if (MainIni)
            MainIni->WriteFloat("Microscope", "CantileverScaleNCAFM", store.Value);
    }
    if (RefreshScanPara)
        RefreshScanPara();
    // Shown only once it was taken, whatever the mode: a refused slope must
    // not look as if it were in use.
    if (ResonanceSlope)
        ResonanceSlope(fit_.Slope);
    Label21->setStyleSheet("color: lime; background: black");
}

QString TSpektForm::LoadDelimiter() const
{
    return SaveDelimiter(UserIni ? UserIni->ReadInteger(Opt, "DelimiterSave", 1) : 1);
}

void TSpektForm::ApplySaveOptions()
{
    const bool comment = UserIni && UserIni->ReadBool(Opt, "SaveComment", false);
    EditComment->setVisible(comment);
    SaveButton->setChecked(UserIni && UserIni->ReadBool(Opt, "AutoSave", false));
}

bool TSpektForm::SaveSpektFile(const QString& baseName)
{
    // Nothing measured yet: there is no curve to write.
    if (UserIni == nullptr || !measured_.Valid)
        return false;
    const QString ext = UserIni->ReadString(Opt, "SaveExt", "txt");
    const TSpektFileName name = SpektFileName(baseName, ext, UserIni->ReadBool(Opt, "SaveNumbered", false),
                                              UserIni->ReadInteger(Opt, "NextNumber", 0));
    // A number is used up by a written file or one already there, never by a failed write.
    const auto useNumber = [&] {
        if (!UserIni->ReadBool(Opt, "SaveNumbered", false))
            return;
        UserIni->WriteInteger(Opt, "NextNumber", name.NextNumber);
        if (ShowNextNumber)
            ShowNextNumber(name.NextNumber);
    };
    const QFileInfo info(name.Name);
    if (!info.dir().exists()) {
        ShowMessage(MsgKind::Information, "Directory does not exist!");
        SaveAsButtonClick();
        return false;
    }
    if (info.exists()) {
        useNumber();
        ShowMessage(MsgKind::Information, "File already exists!");
        SaveAsButtonClick();
        return false;
    }
    int xColumn = 0, yColumn = 0;
    const TSpektPlot plot = CurrentPlot(xColumn, yColumn);
    TSpektFileSpec fileFormat;
    fileFormat.Comment = UserIni->ReadBool(Opt, "SaveComment", false);
    fileFormat.CommentText = EditComment->text();
    fileFormat.AllData = UserIni->ReadBool(Opt, "yAxisAll", true);
    fileFormat.Header = UserIni->ReadBool(Opt, "SaveHeader", false);
    fileFormat.XAxis = UserIni->ReadBool(Opt, "xAxis", !fileFormat.AllData);
    fileFormat.Delimiter = LoadDelimiter();
    // The curve is written with the settings it was measured with.
    fileFormat.Points = measured_.Points;
    fileFormat.CountCh = measured_.CountCh;
    fileFormat.ZNoise = measured_.ZNoise;
    for (int c = 0; c < 4; ++c)
        fileFormat.ChannelLabels[static_cast<size_t>(c)] =
            measured_.Scales[static_cast<size_t>(TSpektData::Ch0 + c)].Label;
    if (!fileFormat.AllData)
        DisplayData();
    fileFormat.XColumn = xColumn;
    fileFormat.YColumn = yColumn;
    const auto label = [this](int column) { return measured_.Scales[static_cast<size_t>(column)].Label; };
    fileFormat.XLabel = label(xColumn);
    fileFormat.YLabel = label(yColumn);
    fileFormat.First = plot.First;
    fileFormat.Last = plot.Last;
    // Whole or not at all, and never over a file that appeared meanwhile.
    const QByteArray text = SpektFileText(SpektData, fileFormat).toLatin1();
    if (!WriteFileWhole(name.Name, text, TFinalName::NoReplace).isEmpty()) {
        ShowMessage(MsgKind::Warning, "File access error!");
        return false;
    }
    useNumber();
    UserIni->WriteString(Opt, "LastSaveName", '"' + name.Name + '"');
    setWindowTitle(name.Name);
    return true;
}

void TSpektForm::SaveAsButtonClick()
{
    const QString ext = UserIni ? UserIni->ReadString(Opt, "SaveExt", "txt") : QString("txt");
    const QString folder = QFileInfo(DefaultName()).path();
    QString chosen;
    if (AskSaveName) {
        chosen = AskSaveName(folder, ext);
    } else {
        chosen = AskFile(this, {TFileDialogAsk::Kind::Save, {}, folder, "spectra (*." + ext + ")", {}, ext}).Path;
    }
    if (chosen.isEmpty()) {
        ShowMessage(MsgKind::Warning, "File not saved!");
        return;
    }
    const QFileInfo info(chosen);
    const QString newExt = info.suffix().isEmpty() ? ext : info.suffix();
    const QString base = info.suffix().isEmpty() ? chosen : info.path() + "/" + info.completeBaseName();
    if (UserIni) {
        UserIni->WriteString(Opt, "SaveExt", newExt);
        UserIni->WriteString(Opt, "SaveName", '"' + base + '"');
        UserIni->WriteInteger(Opt, "NextNumber", 1);
    }
    if (ShowNextNumber)
        ShowNextNumber(1);
    SaveSpektFile(base);
}

void TSpektForm::SaveButtonClick()
{
    SaveButton->setChecked(UserIni && UserIni->ReadBool(Opt, "AutoSave", false));
}

void TSpektForm::SaveButtonMouseUp(bool shift)
{
    bool autoSave = UserIni && UserIni->ReadBool(Opt, "AutoSave", false);
    if (shift) {
        autoSave = !autoSave;
    } else {
        autoSave = false;
        if (UserIni)
            UserIni->WriteBool(Opt, "AutoSave", false);
        SaveSpektFile(DefaultName());
    }
    if (UserIni)
        UserIni->WriteBool(Opt, "AutoSave", autoSave);
    SaveButton->setChecked(autoSave);
    if (ShowAutoSave)
        ShowAutoSave(autoSave);
}

void TSpektForm::ButtonCopyClick()
{
    if (!measured_.Valid)
        return;
    QApplication::clipboard()->setText(
        SpektClipboardText(SpektData, measured_.Points, measured_.CountCh, measured_.ZNoise, LoadDelimiter()));
}

bool TSpektForm::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == Label21 && event->type() == QEvent::MouseButtonRelease) {
        Label21Click();
        return true;
    }
    if (watched == SaveButton) {
        if (!SaveButton->isEnabled())
            return QWidget::eventFilter(watched, event);
        if (event->type() == QEvent::MouseButtonPress)
            return true;
        if (event->type() == QEvent::MouseButtonRelease) {
            auto* m = static_cast<QMouseEvent*>(event);
            if (m->button() == Qt::LeftButton) {
                SaveButtonClick();
                SaveButtonMouseUp(m->modifiers() & Qt::ShiftModifier);
            }
            return true;
        }
        return QWidget::eventFilter(watched, event);
    }
    if (watched != Image1)
        return QWidget::eventFilter(watched, event);
    if (event->type() != QEvent::MouseButtonPress && event->type() != QEvent::MouseMove &&
        event->type() != QEvent::MouseButtonRelease && event->type() != QEvent::Leave)
        return QWidget::eventFilter(watched, event);
    if (event->type() == QEvent::Leave) {
        StatusBar->clear();
        return false;
    }
    const TSpektPlot& plot = shown_.Plot;
    auto* m = static_cast<QMouseEvent*>(event);
    const QPoint chart = m->position().toPoint();
    // Chart pixels to the plot's 255-pixel grid.
    const double x = Image1->PixelToX(chart.x());
    const double y = Image1->PixelToY(chart.y());
    const QPoint p(static_cast<int>(Round((x - plot.XMin) * plot.XScale)),
                   static_cast<int>(Round((plot.YMax - y) * plot.YScale)));
    if (plot.XScale == 0.0)
        StatusBar->setText("dx=0 !");
    else if (plot.YScale == 0.0)
        StatusBar->setText("dy=0 !");
    else
        StatusBar->setText("( " + GeneralText(x, 5) + " ; " + GeneralText(y, 5) + " )");
    if (event->type() == QEvent::MouseButtonPress && m->button() == Qt::LeftButton && fit_.Valid) {
        const double ds = std::hypot(p.x() - fit_.Start.x(), p.y() - fit_.Start.y());
        const double de = std::hypot(p.x() - fit_.End.x(), p.y() - fit_.End.y());
        dragging_ = ds < de ? 1 : 2;
    }
    if (dragging_ != 0 && event->type() != QEvent::MouseButtonRelease) {
        (dragging_ == 1 ? fit_.Start : fit_.End) = p;
        DrawFitOverlay();
    }
    if (dragging_ != 0 && event->type() == QEvent::MouseButtonRelease) {
        dragging_ = 0;
        if (UserIni) {
            UserIni->WriteFloat("Spekt", "StartFit", fit_.Start.x() / double(SpektPlotWidth));
            UserIni->WriteFloat("Spekt", "StopFit", fit_.End.x() / double(SpektPlotWidth));
        }
        const std::optional<double> slope = DraggedSlope(plot, fit_.Start, fit_.End);
        fit_.Slope = slope.value_or(0.0);
        fit_.Valid = slope.has_value();
        if (slope)
            ShowSlope(*slope);
        else
            Label21->setText("???");
    }
    return false;
}

} // namespace qvt
