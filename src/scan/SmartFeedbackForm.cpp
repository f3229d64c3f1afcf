#include "scan/SmartFeedbackForm.h"

#include "core/IniFile.h"
#include "core/NumberText.h"
#include "core/SharedState.h"
#include "device/InOutForm.h"
#include "device/LockInRequests.h"
#include "platform/FileDialogs.h"
#include "platform/MessageBoxes.h"
#include "scan/FastScanThread.h"
#include "widgets/NumericEdit.h"

#include <QCheckBox>
#include <QFile>
#include <QFileInfo>
#include <QGridLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QTabWidget>
#include <QTableWidget>
#include <QTextStream>
#include <QVBoxLayout>

#include <cmath>

namespace qvt {

TSmartFeedbackForm* SmartFeedbackForm = nullptr;

namespace {

constexpr const char* Section = "SmartFeedback";
constexpr int RefreshMs = 500;
constexpr double MaxLineDelayMs = 1000.0;
constexpr double MaxTurnLines = 1e6;

// A frequency the reference oscillator can run at: its register word is not
// 0, and it stays below half the lock-in clock it is made from (register 3
// would hold far more, but nothing above that comes out of the oscillator).
bool ReferenceFrequencyPossible(double hz)
{
    // The word judged is the one sent, rounded as it is rounded there.
    return std::isfinite(hz) && hz > 0.0 && hz <= LockInClockHz / 2.0 && BuildReferenceFrequency(hz).Register3 >= 1;
}
constexpr int ScanPageIndex = 1;
const QColor EditedLabelColor(255, 255, 0);
constexpr const char* SwitchOnStyle = "QCheckBox { background-color: rgb(0, 200, 0); }";

QString GridKey(int page, int row)
{
    return QString("StrGri%1Row%2").arg(page + 1).arg(row);
}

// Tells the window whenever a value cell is opened for editing, however it
// was opened (double click, F2, typing into the current cell).
class TOpenCellDelegate : public QStyledItemDelegate {
public:
    TOpenCellDelegate(std::function<void(int row)> opened, QObject* parent)
        : QStyledItemDelegate(parent), opened_(std::move(opened))
    {
    }
    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        if (index.column() == 1)
            opened_(index.row());
        return QStyledItemDelegate::createEditor(parent, option, index);
    }

private:
    std::function<void(int row)> opened_;
};

} // namespace

TSmartFeedbackForm::TSmartFeedbackForm(TInOutForm& form, TFastScanThread* fast, QWidget* parent)
    : QWidget(parent, Qt::Tool), form_(form), fast_(fast)
{
    setObjectName("SmartFeedbackForm");
    setWindowTitle("HighSpeed Settings");
    resize(380, 640);
    editedRow_.fill(-1);
    BuildControls();
    timer1_.setInterval(RefreshMs);
    connect(&timer1_, &QTimer::timeout, this, &TSmartFeedbackForm::Timer1Timer);
    // Every request hands the module its switches: the boxes show what went,
    // whoever sent it (the boxes, the fast scan, a script, the scanner window).
    connect(&form_, &TInOutForm::osziSnapshot, this, &TSmartFeedbackForm::ShowSwitches);
    // "f" shows the reference the oscillator runs at, whoever set it last
    // (the fast mode's line frequency, its leave reference, a resonance sweep).
    connect(&form_, &TInOutForm::referenceFrequencySet, this, &TSmartFeedbackForm::ShowReferenceFrequency);
    if (SmartFeedbackForm == nullptr)
        SmartFeedbackForm = this;
}

TSmartFeedbackForm::~TSmartFeedbackForm()
{
    if (SmartFeedbackForm == this)
        SmartFeedbackForm = nullptr;
}

void TSmartFeedbackForm::BuildControls()
{
    pages_ = new QTabWidget(this);
    // All six tabs in view: a bar that scrolls moves the tabs under the pointer.
    pages_->setUsesScrollButtons(false);
    pages_->setElideMode(Qt::ElideRight);
    for (int p = 0; p < RegisterPageCount; ++p) {
        const TRegisterPage& page = RegisterPages[static_cast<size_t>(p)];
        auto* grid = new QTableWidget(page.Rows, 2);
        grid->setObjectName(QString("StringGrid%1").arg(p + 1));
        grid->horizontalHeader()->setVisible(false);
        grid->verticalHeader()->setVisible(false);
        for (int r = 0; r < page.Rows; ++r) {
            auto* label = new QTableWidgetItem(RegisterRowLabel(p, r));
            label->setFlags(Qt::ItemIsEnabled);
            grid->setItem(r, 0, label);
            grid->setItem(r, 1, new QTableWidgetItem("0"));
        }
        grid->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed |
                              QAbstractItemView::AnyKeyPressed);
        grid->setItemDelegate(new TOpenCellDelegate([this, p](int row) { BeginEdit(p, row); }, grid));
        connect(grid, &QTableWidget::currentCellChanged, this, [this, p](int row, int column, int, int) {
            if (column == 1 && editedRow_[static_cast<size_t>(p)] < 0)
                BeginEdit(p, row);
        });
        connect(grid, &QTableWidget::itemChanged, this, [this, p](QTableWidgetItem* item) {
            if (!refreshing_ && item->column() == 1 && item->row() == editedRow_[static_cast<size_t>(p)])
                CommitEdit(p);
        });
        grids_[static_cast<size_t>(p)] = grid;
        QWidget* tab = grid;
        if (p == 0) {
            // The switches and the fast scan's timing sit under the feedback registers.
            tab = new QWidget;
            auto* layout = new QVBoxLayout(tab);
            layout->addWidget(grid);
            auto* controls = new QGridLayout;
            const char* captions[] = {"DMA On", "Feedback On", "Scan On", "Mono z"};
            for (int i = 0; i < 4; ++i) {
                boxes_[static_cast<size_t>(i)] = new QCheckBox(captions[i]);
                boxes_[static_cast<size_t>(i)]->setObjectName(QString("CheckBox%1").arg(i + 1));
                connect(boxes_[static_cast<size_t>(i)], &QCheckBox::clicked, this,
                        &TSmartFeedbackForm::IOCTLButtonClick);
                controls->addWidget(boxes_[static_cast<size_t>(i)], i / 2, i % 2);
            }
            edit6_ = new TNumericEdit("Edit6");
            edit6_->OnKey = [this](EditKey key) {
                if (key == EditKey::Enter)
                    Edit6KeyPress();
            };
            edit5_ = new TNumericEdit("Edit5");
            edit4_ = new TNumericEdit("Edit4");
            for (TNumericEdit* e : {edit4_, edit5_})
                e->OnKey = [this](EditKey key) {
                    if (key == EditKey::Enter)
                        Edit4KeyPress();
                };
            controls->addWidget(new QLabel("f"), 2, 0);
            controls->addWidget(edit6_, 2, 1);
            controls->addWidget(new QLabel("Hz"), 2, 2);
            controls->addWidget(edit5_, 3, 1);
            controls->addWidget(new QLabel("Line(s)"), 3, 2);
            controls->addWidget(edit4_, 4, 1);
            controls->addWidget(new QLabel("ms"), 4, 2);
            auto* loadX = new QPushButton("Load X Filter");
            auto* loadY = new QPushButton("Load Y Filter");
            connect(loadX, &QPushButton::clicked, this, [this] { LoadFilter(FilterWordsXBase); });
            connect(loadY, &QPushButton::clicked, this, [this] { LoadFilter(FilterWordsYBase); });
            controls->addWidget(loadX, 5, 0);
            controls->addWidget(loadY, 5, 1);
            layout->addLayout(controls);
        }
        pages_->addTab(tab, page.Caption);
    }
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(pages_);
}

TNumericEdit* TSmartFeedbackForm::Edit(int n) const
{
    return n == 4 ? edit4_ : n == 5 ? edit5_ : n == 6 ? edit6_ : nullptr;
}

void TSmartFeedbackForm::SetCell(int page, int row, const QString& text)
{
    QTableWidget* grid = grids_[static_cast<size_t>(page)];
    refreshing_ = true;
    if (QTableWidgetItem* item = grid->item(row, 1))
        item->setText(text);
    refreshing_ = false;
}

// ---- life ----------------------------------------------------------------------------------

void TSmartFeedbackForm::FormCreate()
{
    // Placed also without the module: the menu still opens the window.
    if (MainIni)
        move(MainIni->ReadInteger(Section, "FormPosLeft", 10), MainIni->ReadInteger(Section, "FormPosTop", 10));
    present_ = form_.Caps.FastScanPresent();
    if (!present_) {
        if (HideFastControls)
            HideFastControls();
        OsziRequest.HighSpeedControl = 0;
        hide();
        return;
    }
    for (const auto& [reg, value] : ModuleInitWrites())
        form_.WriteReg(reg, value);
    OsziRequest.HighSpeedControl = HscApplyRequest;
    form_.OsziTimerTimer();

    TQVTIniFile* scanner = ScannerIni ? ScannerIni() : nullptr;
    edit4_->setText(scanner ? scanner->ReadString("FilterY", "delay", "0") : "0");
    edit5_->setText(MainIni ? MainIni->ReadString(Section, "TopSide", "1") : "1");
    Edit4KeyPress();
    for (int p = 3; p < RegisterPageCount; ++p)
        for (int r = 0; r < RegisterPages[static_cast<size_t>(p)].Rows; ++r)
            SetCell(p, r, QString::number(MainIni ? MainIni->ReadInteger(Section, GridKey(p, r), 0) : 0));
    editedRow_.fill(-1);
    pages_->setCurrentIndex(MainIni ? MainIni->ReadInteger(Section, "ActivePageIndex", ScanPageIndex) : ScanPageIndex);
    timer1_.start();
}

void TSmartFeedbackForm::FormDestroy()
{
    timer1_.stop();
    if (!present_ || MainIni == nullptr)
        return;
    MainIni->WriteInteger(Section, "FormPosLeft", x());
    MainIni->WriteInteger(Section, "FormPosTop", y());
    MainIni->WriteInteger(Section, "ActivePageIndex", pages_->currentIndex());
    for (int p = 3; p < RegisterPageCount; ++p) {
        for (int r = 0; r < RegisterPages[static_cast<size_t>(p)].Rows; ++r) {
            bool ok = false;
            const int v = grids_[static_cast<size_t>(p)]->item(r, 1)->text().trimmed().toInt(&ok);
            MainIni->WriteInteger(Section, GridKey(p, r), ok ? v : 0);
        }
    }
    if (edit4_->Color() == EditColor::White) {
        if (TQVTIniFile* scanner = ScannerIni ? ScannerIni() : nullptr)
            scanner->WriteString("FilterY", "delay", edit4_->text());
        MainIni->WriteString(Section, "TopSide", edit5_->text());
    }
}

void TSmartFeedbackForm::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    ShowSwitches();
    if (present_)
        timer1_.start();
}

void TSmartFeedbackForm::hideEvent(QHideEvent* event)
{
    timer1_.stop();
    QWidget::hideEvent(event);
}

// ---- the pages ---------------------------------------------------------------------------

void TSmartFeedbackForm::Timer1Timer()
{
    for (int p = 0; p < RegisterPageCount; ++p) {
        const TRegisterPage& page = RegisterPages[static_cast<size_t>(p)];
        if (!page.Refreshed)
            continue;
        for (int r = 0; r < page.Rows; ++r) {
            if (r != editedRow_[static_cast<size_t>(p)])
                SetCell(p, r, QString::number(form_.ReadReg(page.Base + r)));
        }
    }
    ShowSwitches();
    if (fast_ != nullptr) {
        if (fast_->Suspended() && ShowMemoryProgress)
            ShowMemoryProgress(0);
        edit4_->setToolTip(QString::number(fast_->Pixels.load()) + " Pixel");
    }
}

void TSmartFeedbackForm::ShowSwitches()
{
    const int32_t control = OsziRequest.HighSpeedControl.load();
    const int32_t bits[] = {HscDmaOn, HscFeedbackOn, HscScanOn, HscMonoZ};
    for (size_t i = 0; i < boxes_.size(); ++i) {
        const bool on = (control & bits[i]) != 0;
        boxes_[i]->setChecked(on);
        const QString style = on ? QString::fromLatin1(SwitchOnStyle) : QString();
        if (boxes_[i]->styleSheet() != style)
            boxes_[i]->setStyleSheet(style);
    }
}

void TSmartFeedbackForm::BeginEdit(int page, int row)
{
    if (page < 0 || page >= RegisterPageCount || row < 0 || row >= RegisterPages[static_cast<size_t>(page)].Rows)
        return;
    QTableWidget* grid = grids_[static_cast<size_t>(page)];
    const int old = editedRow_[static_cast<size_t>(page)];
    if (old >= 0)
        grid->item(old, 0)->setBackground(QBrush());
    editedRow_[static_cast<size_t>(page)] = row;
    grid->item(row, 0)->setBackground(EditedLabelColor);
}

void TSmartFeedbackForm::CommitEdit(int page)
{
    if (page < 0 || page >= RegisterPageCount)
        return;
    const int row = editedRow_[static_cast<size_t>(page)];
    if (row < 0)
        return;
    QTableWidget* grid = grids_[static_cast<size_t>(page)];
    int32_t reg = 0, value = 0;
    // A cell that is no integer keeps its row marked and writes nothing.
    if (!GridCommit(page, row, grid->item(row, 1)->text(), reg, value))
        return;
    form_.WriteReg(reg, value);
    grid->item(row, 0)->setBackground(QBrush());
    editedRow_[static_cast<size_t>(page)] = -1;
}

// ---- controls ----------------------------------------------------------------------------

void TSmartFeedbackForm::IOCTLButtonClick()
{
    OsziRequest.HighSpeedControl = HighSpeedControlWord(boxes_[0]->isChecked(), boxes_[1]->isChecked(),
                                                        boxes_[2]->isChecked(), boxes_[3]->isChecked());
    form_.OsziTimerTimer();
}

void TSmartFeedbackForm::Edit6KeyPress()
{
    double hz = 0;
    if (!ParseNumber(edit6_->text(), hz) || !ReferenceFrequencyPossible(hz)) {
        edit6_->MarkRefused();
        return;
    }
    form_.SetReferenceFrequency(hz);
    edit6_->MarkAccepted();
}

void TSmartFeedbackForm::Edit4KeyPress()
{
    double ms = 0, lines = 0;
    // The delay is a wait after a position, a second at most; the lines are a
    // count the generator adds at each turn.
    if (!ParseNumber(edit4_->text(), ms) || !ParseNumber(edit5_->text(), lines) ||
        !(ms >= 0.0 && ms <= MaxLineDelayMs) || !(lines >= 0.0 && lines <= MaxTurnLines) ||
        lines != std::trunc(lines)) {
        edit4_->MarkRefused();
        edit5_->MarkRefused();
        return;
    }
    edit4_->MarkAccepted();
    edit5_->MarkAccepted();
    if (fast_ != nullptr) {
        fast_->StreamDelay = ms / 1000.0;
        fast_->TurnLines = static_cast<int32_t>(std::trunc(lines));
        if (present_)
            fast_->Prepare();
    }
}

void TSmartFeedbackForm::ShowReferenceFrequency(double hz)
{
    // A typed frequency stays as typed.
    double shown = 0.0;
    if (ParseNumber(edit6_->text(), shown) && shown == hz)
        return;
    edit6_->setText(QString::number(static_cast<qint64>(std::trunc(hz))));
}

void TSmartFeedbackForm::LoadFilter(int32_t base)
{
    const QString folder = MainIni ? MainIni->ReadString(Section, "LoadNotchCoeffPath", ".") : ".";
    const QString path = ChooseFilterFile
                             ? ChooseFilterFile(folder)
                             : GetOpenFileName(this, "Open", folder, "filter coeff. (*.txt);;all files (*.*)");
    if (path.isEmpty())
        return;
    if (MainIni)
        MainIni->WriteString(Section, "LoadNotchCoeffPath", QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return;
    QStringList lines = QTextStream(&file).readAll().split('\n');
    for (QString& l : lines)
        l = l.trimmed();
    while (!lines.isEmpty() && lines.back().isEmpty())
        lines.pop_back();
    const TFilterLoadPlan plan = PlanFilterLoad(lines, base, OsziRequest.HighSpeedControl.load());
    for (const TFilterLoadStep& s : plan.Steps) {
        switch (s.What) {
        case TFilterLoadStep::Write:
            form_.WriteReg(s.Register, s.Value);
            break;
        case TFilterLoadStep::DelayUs:
            form_.DelayUs(s.Value);
            break;
        case TFilterLoadStep::Control:
            OsziRequest.HighSpeedControl = s.Value;
            form_.OsziTimerTimer();
            break;
        }
    }
    const int page = base == FilterWordsXBase ? 3 : 4;
    for (const auto& [k, word] : plan.Shown)
        SetCell(page, k + 1, QString::number(word));
    if (plan.ErrorLine >= 0)
        ShowMessage(MsgKind::Information, plan.Message);
}

} // namespace qvt
