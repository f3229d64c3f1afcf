#pragma once
// "MainFrame": the landing workflow panel (TFrameSequencer) with its
// buttons, the five move edits, the state picture and the log.

#include "motion/FrameSequencer.h"

#include <QWidget>

#include <array>
#include <functional>

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTimer;

namespace qvt {

class TInOutForm;

class TMainFrameForm : public QWidget {
    Q_OBJECT

public:
    explicit TMainFrameForm(TInOutForm& link, QWidget* parent = nullptr);
    ~TMainFrameForm() override;

    // Does nothing unless [Software] "MainFrame" is set; then the position,
    // the stored state and edits, shown, the 100 ms poll started.
    void FormCreate();
    // Writes the position, the state and the edits.
    void FormDestroy();

    void Button1Click(); // Landing
    void Button2Click(); // PickUp
    void Button3Click(); // Approach
    void Button5Click(); // Scan
    void Timer1Timer();

    // Set by app/: the parameter window's approach command (fast or auto),
    // and the main window's Scan button.
    std::function<void(bool fast)> RunApproach;
    std::function<bool()> ScanButtonDown;
    std::function<void()> ClickScanButton;

    const TFrameSequencer& Sequencer() const { return seq_; }
    QLineEdit* Edit(int i) const { return edits_.at(static_cast<size_t>(i - 1)); }
    QPlainTextEdit* Memo1() const { return memo_; }
    QLabel* Image1() const { return image_; }
    QTimer* Timer1() const { return timer_; }

private:
    // The five edits as integers; false (and a message) when one holds none.
    bool ReadEdits(std::array<int32_t, 5>& values);
    void StartMove(bool landing);
    void Apply(const TFrameActions& actions);
    void DrawState();

    TInOutForm& link_;
    TFrameSequencer seq_;
    QLabel* image_ = nullptr;
    QPlainTextEdit* memo_ = nullptr;
    std::array<QLineEdit*, 5> edits_{};
    QTimer* timer_ = nullptr;
    bool created_ = false;
};

extern TMainFrameForm* MainFrameForm;

} // namespace qvt
