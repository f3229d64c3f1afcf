#pragma once
// "PowerDown": the power saver's countdown before it switches the microscope
// off, and its Reset, which restarts the idle clock and powers a microscope
// that is already down up again.

#include "motion/PowerSaver.h"

#include <QWidget>

#include <functional>

class QLabel;

namespace qvt {

class TPowerDownForm : public QWidget, public IPowerDownView {
    Q_OBJECT

public:
    // Shown at `anchor`'s bottom-right corner.
    explicit TPowerDownForm(QWidget* anchor = nullptr);
    ~TPowerDownForm() override;

    // IPowerDownView: the power saver's tick writes both labels.
    void SetLabels(const QString& first, const QString& second) override;
    void ShowView() override;

    // Reset: the idle clock restarts; a powered-down microscope powers up.
    void Button1Click();

    std::function<void()> ResetIdleClock;
    std::function<void()> PowerUp;

    QLabel* Label1() const { return label1_; }
    QLabel* Label2() const { return label2_; }

private:
    QWidget* anchor_;
    QLabel* label1_ = nullptr;
    QLabel* label2_ = nullptr;
};

extern TPowerDownForm* PowerDownForm;

} // namespace qvt
