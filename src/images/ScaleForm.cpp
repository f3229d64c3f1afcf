#include "images/ScaleForm.h"

#include "core/IniFile.h"
#include "device/ChannelTable.h"
#include "device/InOutForm.h"
#include "images/ScaleTable.h"
#include "images/SetupForm.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QScrollArea>
#include <QVBoxLayout>

#include <algorithm>
#include <array>

namespace qvt {

TScaleForm* ScaleForm = nullptr;

namespace {
const QString Section = "Scale";
constexpr int CellHeight = 14;
// Room a frameless line edit keeps left and right of its text.
constexpr int CellTextMargin = 4;
// The narrowest gap between two columns of the table's own layout (Name to Unit).
constexpr int ColumnGap = 6;
const char* const CellProperty = "ScaleCell";

const TScaleCell* CellOf(const QObject* widget)
{
    const QString suffix = widget->property(CellProperty).toString();
    for (const TScaleCell& c : ScaleCells)
        if (suffix == QLatin1String(c.Suffix))
            return &c;
    return nullptr;
}
} // namespace

TScaleForm::TScaleForm(TInOutForm& link, QWidget* parent) : QWidget(parent, Qt::Window), link_(link)
{
    setObjectName("ScaleForm");
    setWindowTitle("Scale");
    setWindowFlag(Qt::WindowStaysOnTopHint);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    scroll_ = new QScrollArea(this);
    layout->addWidget(scroll_);
    sheet_ = new QWidget;
    scroll_->setWidget(sheet_);
    if (ScaleForm == nullptr)
        ScaleForm = this;
}

TScaleForm::~TScaleForm()
{
    if (ScaleForm == this)
        ScaleForm = nullptr;
}

void TScaleForm::FormCreate()
{
    if (MainIni != nullptr)
        move(MainIni->ReadFormPosLeft(Section, 10), MainIni->ReadInteger(Section, "FormPosTop", 1));
    QApplication::setOverrideCursor(Qt::WaitCursor);
    BuildRows();
    QApplication::restoreOverrideCursor();
    const int full = ScaleRowY(ChannelSlotCount - 1) + 46;
    sheet_->setFixedSize(sheetWidth_, full);
    setMaximumHeight(full);
    const int height = MainIni ? MainIni->ReadInteger(Section, "FormHeight", 400) : 400;
    resize(sheetWidth_ + 20, std::min(height, full));
    RefreshCells();
}

void TScaleForm::FormDestroy()
{
    if (MainIni == nullptr)
        return;
    MainIni->WriteInteger(Section, "FormPosLeft", x());
    MainIni->WriteInteger(Section, "FormPosTop", y());
    MainIni->WriteInteger(Section, "FormHeight", height());
}

void TScaleForm::BuildRows()
{
    const std::array<std::pair<const char*, int>, 10> headings = {{{"IO", 38},
                                                                   {"IOFast", 65},
                                                                   {"Use", 100},
                                                                   {"Name", 128},
                                                                   {"Unit", 192},
                                                                   {"Scale", 232},
                                                                   {"Min", 296},
                                                                   {"Max", 360},
                                                                   {"Offset", 424},
                                                                   {"Invers", 504}}};
    // The number cells are as wide as the longest value they can show; the
    // columns right of them move along.
    QFont cellFont = font();
    cellFont.setPixelSize(11);
    const int numberWidth = QFontMetrics(cellFont).horizontalAdvance(ScaleWidestNumberText()) + 2 * CellTextMargin;
    const QFontMetrics metrics(cellFont);
    // Text cells are as wide as their longest text, "Topography" whole.
    const auto textWidth = [&](const TScaleCell& cell) {
        int widest = 0;
        for (int row = cell.InputsOnly ? FirstAdcSlot : 0; row < ChannelSlotCount; ++row)
            widest = std::max(widest, metrics.horizontalAdvance(TextCellContent(row, cell)));
        return widest + 2 * CellTextMargin;
    };
    // A wider cell takes up the gap before the next column first; the
    // columns right of it move only by what the gap cannot hold.
    std::array<int, ScaleCells.size()> xs{};
    std::array<int, ScaleCells.size()> widths{};
    int right = 0;
    for (size_t i = 0; i < ScaleCells.size(); ++i) {
        const TScaleCell& cell = ScaleCells[i];
        xs[i] = std::max(cell.X, right + ColumnGap);
        widths[i] = cell.Width;
        if (cell.Kind == ScaleCellKind::Number)
            widths[i] = std::max(cell.Width, numberWidth);
        else if (cell.Kind == ScaleCellKind::Text || cell.Kind == ScaleCellKind::Label)
            widths[i] = std::max(cell.Width, textWidth(cell));
        right = xs[i] + widths[i];
    }
    sheetWidth_ = xs.back() + widths.back() + 40;
    for (size_t i = 0; i < headings.size(); ++i) {
        auto* h = new QLabel(headings[i].first, sheet_);
        h->move(headings[i].second + xs[i] - ScaleCells[i].X, 0);
    }
    for (int row = 0; row < ChannelSlotCount; ++row) {
        const int y = ScaleRowY(row) + 10;
        auto* caption = new QLabel(ScaleRowCaption(row), sheet_);
        caption->setObjectName(ScaleCellKey(row, "Label1"));
        caption->move(10, y);
        for (size_t i = 0; i < ScaleCells.size(); ++i) {
            const TScaleCell& cell = ScaleCells[i];
            if (cell.InputsOnly && row < FirstAdcSlot)
                continue;
            const QString name = ScaleCellKey(row, cell.Suffix);
            if (cell.Kind == ScaleCellKind::Check || cell.Kind == ScaleCellKind::CheckReload) {
                auto* box = new QCheckBox(sheet_);
                box->setObjectName(name);
                box->setProperty(CellProperty, QString(cell.Suffix));
                box->setGeometry(xs[i], y, widths[i], CellHeight + 2);
                connect(box, &QCheckBox::clicked, this, [this, box] { ClickCheck(box); });
                continue;
            }
            auto* edit = new QLineEdit(sheet_);
            edit->setObjectName(name);
            edit->setProperty(CellProperty, QString(cell.Suffix));
            edit->setGeometry(xs[i], y, widths[i], CellHeight + 4);
            edit->setFrame(false);
            edit->setFont(cellFont);
            connect(edit, &QLineEdit::textEdited, this, [this, edit] { Paint(edit, "silver"); });
            connect(edit, &QLineEdit::returnPressed, this, [this, edit] { EnterCell(edit); });
            Paint(edit, "white");
        }
    }
}

void TScaleForm::RefreshCells()
{
    for (int row = 0; row < ChannelSlotCount; ++row) {
        const TIOScale& scale = ChannelTable[row];
        QLineEdit* unit = EditCell(row, "Edit1");
        if (unit == nullptr)
            return; // the rows are not there (yet)
        for (const TScaleCell& cell : ScaleCells) {
            const QString key = ScaleCellKey(row, cell.Suffix);
            if (QCheckBox* box = CheckCell(row, cell.Suffix)) {
                const bool on = QLatin1String(cell.Suffix) == QLatin1String("CheckBox2")
                                    ? scale.Invers.load()
                                    : (MainIni ? MainIni->ReadBool(Section, key, false) : false);
                box->setChecked(on);
            } else if (QLineEdit* edit = EditCell(row, cell.Suffix)) {
                edit->setText(cell.Kind == ScaleCellKind::Number ? ScaleNumberText(scale, cell.Suffix)
                                                                 : TextCellContent(row, cell));
                Paint(edit, "white");
            }
        }
    }
}

QString TScaleForm::TextCellContent(int row, const TScaleCell& cell)
{
    if (cell.Kind == ScaleCellKind::Label)
        return MainIni ? MainIni->ReadString(Section, ScaleCellKey(row, cell.Suffix), "unknown")
                       : ChannelTable[row].Label;
    if (QLatin1String(cell.Suffix) == QLatin1String("Edit1"))
        return ChannelTable[row].UnitName;
    return MainIni ? MainIni->ReadString(Section, ScaleCellKey(row, cell.Suffix), "") : QString();
}

QLineEdit* TScaleForm::EditCell(int row, const char* suffix) const
{
    return sheet_->findChild<QLineEdit*>(ScaleCellKey(row, suffix), Qt::FindDirectChildrenOnly);
}

QCheckBox* TScaleForm::CheckCell(int row, const char* suffix) const
{
    return sheet_->findChild<QCheckBox*>(ScaleCellKey(row, suffix), Qt::FindDirectChildrenOnly);
}

QString TScaleForm::CellColor(const QWidget* cell)
{
    return cell->property("Color").toString();
}

void TScaleForm::Paint(QWidget* cell, const char* color)
{
    cell->setProperty("Color", QString(color));
    cell->setStyleSheet(QString("QLineEdit { background: %1; }").arg(QLatin1String(color)));
}

void TScaleForm::EnterCell(QLineEdit* edit)
{
    const TScaleCell* cell = CellOf(edit);
    if (cell == nullptr || MainIni == nullptr)
        return;
    const QString key = edit->objectName();
    switch (cell->Kind) {
    case ScaleCellKind::Number: {
        QString stored;
        if (!ScaleNumberToStore(edit->text(), stored, QLatin1String(cell->Suffix))) {
            Paint(edit, "red");
            return;
        }
        edit->setText(stored);
        Paint(edit, StoreReloaded(key, stored) ? "white" : "red");
        break;
    }
    case ScaleCellKind::Text:
        Paint(edit, StoreReloaded(key, edit->text()) ? "white" : "red");
        break;
    case ScaleCellKind::Label:
        MainIni->WriteString(Section, key, edit->text());
        Paint(edit, "white");
        break;
    default:
        break;
    }
}

bool TScaleForm::StoreReloaded(const QString& key, const QString& text)
{
    const bool had = MainIni->ValueExists(Section, key);
    const QString before = MainIni->ReadString(Section, key, QString());
    MainIni->WriteString(Section, key, text);
    if (link_.ReloadScales())
        return true;
    // A cell the scales refuse (the reload has said why) is not kept: the
    // file and the table go back to what they held.
    if (had)
        MainIni->WriteString(Section, key, before);
    else
        MainIni->DeleteKey(Section, key);
    link_.ReloadScales();
    return false;
}

void TScaleForm::ClickCheck(QCheckBox* box)
{
    const TScaleCell* cell = CellOf(box);
    if (cell == nullptr || MainIni == nullptr)
        return;
    MainIni->WriteBool(Section, box->objectName(), box->isChecked());
    // Whether a channel is listed matters to the channel choice only, which
    // picks it up when the window closes.
    if (cell->Kind == ScaleCellKind::CheckReload)
        link_.ReloadScales();
}

bool TScaleForm::FormCloseQuery()
{
    if (!link_.ReloadScales())
        return false;
    if (SetupForm != nullptr)
        SetupForm->BuildGrid();
    return true;
}

void TScaleForm::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    RefreshCells();
}

void TScaleForm::closeEvent(QCloseEvent* event)
{
    if (!FormCloseQuery()) {
        event->ignore();
        return;
    }
    QWidget::closeEvent(event);
}

} // namespace qvt
