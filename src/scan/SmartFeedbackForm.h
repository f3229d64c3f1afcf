#pragma once
// "HighSpeed Settings": the engineer's view of the high-speed feedback and
// scan module of type-29 controllers and USB boxes. It initialises the
// module at start, shows six register pages re-read every 500 ms, writes a
// register when its row is edited, switches the module's functions and sets
// the fast scan's reference frequency, line delay and top-side lines.

#include "scan/SmartFeedbackLogic.h"

#include <QTimer>
#include <QWidget>

#include <array>
#include <functional>

class QCheckBox;
class QTabWidget;
class QTableWidget;

namespace qvt {

class TInOutForm;
class TFastScanThread;
class TNumericEdit;
class TQVTIniFile;

class TSmartFeedbackForm : public QWidget {
    Q_OBJECT

public:
    TSmartFeedbackForm(TInOutForm& form, TFastScanThread* fast, QWidget* parent = nullptr);
    ~TSmartFeedbackForm() override;

    // Hooks set by the code that creates the windows around it.
    std::function<void()> HideFastControls;      // the main window's Fast button and menu item
    std::function<void(int)> ShowMemoryProgress; // the main window's memory bar
    std::function<TQVTIniFile*()> ScannerIni;    // [FilterY] delay
    // The filter file dialog (tests answer it); unset: a file dialog.
    std::function<QString(const QString& folder)> ChooseFilterFile;

    // Module initialisation at program start (type 29 or USB only).
    void FormCreate();
    void FormDestroy();
    bool ModulePresent() const { return present_; }

    // ---- the pages ---------------------------------------------------------------------
    void Timer1Timer();
    QTimer& Timer1() { return timer1_; }
    QTableWidget* Grid(int page) const { return grids_[static_cast<size_t>(page)]; }
    QTabWidget* Pages() const { return pages_; }
    // The write-on-edit protocol: opening a value cell marks its row; Enter
    // writes the row's register when the cell holds an integer.
    void BeginEdit(int page, int row);
    void CommitEdit(int page);
    int EditedRow(int page) const { return editedRow_[static_cast<size_t>(page)]; }

    // ---- controls ----------------------------------------------------------------------
    void IOCTLButtonClick();
    // The four boxes ticked and green where their bit of the control word is set.
    void ShowSwitches();
    QCheckBox* CheckBox(int i) const { return boxes_[static_cast<size_t>(i)]; }
    TNumericEdit* Edit(int n) const; // 4 "ms", 5 "Line(s)", 6 "f"
    void Edit6KeyPress();
    void Edit4KeyPress();
    // Loads a filter word file to base 401 (X) or 417 (Y).
    void LoadFilter(int32_t base);
    void ShowReferenceFrequency(double hz);

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void BuildControls();
    void SetCell(int page, int row, const QString& text);

    TInOutForm& form_;
    TFastScanThread* fast_;
    bool present_ = false;
    bool refreshing_ = false;
    QTabWidget* pages_ = nullptr;
    std::array<QTableWidget*, RegisterPageCount> grids_{};
    std::array<int, 11> editedRow_{};
    std::array<QCheckBox*, 4> boxes_{};
    TNumericEdit* edit4_ = nullptr;
    TNumericEdit* edit5_ = nullptr;
    TNumericEdit* edit6_ = nullptr;
    QTimer timer1_;
};

extern TSmartFeedbackForm* SmartFeedbackForm;

} // namespace qvt
