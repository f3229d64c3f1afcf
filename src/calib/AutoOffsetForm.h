#pragma once
// "AutoOffset": measures the feedback input's zero with the tip retracted and
// stores it as that channel's offset, so the setpoint counts from true zero.

#include <QDialog>

class QLabel;
class QPushButton;

namespace qvt {

class TInOutForm;
class TNumericEdit;

class TAutoOffsetForm : public QDialog {
    Q_OBJECT

public:
    explicit TAutoOffsetForm(TInOutForm& link, QWidget* parent = nullptr);
    ~TAutoOffsetForm() override;

    void FormCreate();
    // Writes the window's place: at exit, when it is still open, as when it closes.
    void FormDestroy();
    void FormActivate();
    void Button1Click();
    void UseButtonClick();

    int32_t MeasuredOffset = 0;
    TNumericEdit* Edit1() const { return edit1_; }
    TNumericEdit* Edit2() const { return edit2_; }
    QLabel* Label4() const { return label4_; }

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    int Slot() const;

    TInOutForm& link_;
    TNumericEdit* edit1_ = nullptr;
    TNumericEdit* edit2_ = nullptr;
    QLabel* label3_ = nullptr;
    QLabel* label4_ = nullptr;
};

extern TAutoOffsetForm* AutoOffsetForm;

} // namespace qvt
