#pragma once
// "Scale": the editor of the channel scale table, one row per channel. Every
// confirmed cell goes to [Scale] at once and the table is reloaded from the
// file, so the settings file stays the one source of the scales.

#include <QWidget>

#include <array>
#include <vector>

class QCheckBox;
class QLineEdit;
class QScrollArea;

namespace qvt {

class TInOutForm;
struct TScaleCell;

class TScaleForm : public QWidget {
    Q_OBJECT

public:
    explicit TScaleForm(TInOutForm& link, QWidget* parent = nullptr);
    ~TScaleForm() override;

    void FormCreate();
    void FormDestroy();
    // Every cell again from the settings file and the scale table.
    void RefreshCells();
    // What closing asks: the scales must reload; then the channel choice is rebuilt.
    bool FormCloseQuery();

    // The cell named ch + suffix (nullptr when there is none).
    QLineEdit* EditCell(int row, const char* suffix) const;
    QCheckBox* CheckCell(int row, const char* suffix) const;
    // A cell's colour as the operator sees it: "white", "silver" or "red".
    static QString CellColor(const QWidget* cell);
    // Enter in a cell, and a click on a check box, as the operator does them.
    void EnterCell(QLineEdit* edit);
    void ClickCheck(QCheckBox* box);

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildRows();
    // What a text or label cell shows: its [Scale] key, the unit from the table.
    static QString TextCellContent(int row, const TScaleCell& cell);
    void Paint(QWidget* cell, const char* color);
    // Writes the cell's text and reloads; a text the reload refuses is taken back out.
    bool StoreReloaded(const QString& key, const QString& text);

    TInOutForm& link_;
    QScrollArea* scroll_ = nullptr;
    QWidget* sheet_ = nullptr;
    int sheetWidth_ = 560;
};

extern TScaleForm* ScaleForm;

} // namespace qvt
