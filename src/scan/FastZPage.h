#pragma once
// The "FastZ" page of the parameter window (type-29 controllers): Kp, Ki
// with their prefixes and Td or alpha of the module's fast z loop, and the
// step that sends them to the "Feedback" register page.

#include "scan/FastZParams.h"

#include <QObject>

#include <functional>

class QGridLayout;
class QLabel;

namespace qvt {

class TInOutForm;
class TNumericEdit;

class TFastZPage : public QObject {
    Q_OBJECT

public:
    // Adds the page's controls to `layout` below its first row.
    TFastZPage(QGridLayout* layout, std::function<TInOutForm*()> device, QObject* parent = nullptr);

    void FormCreate();
    // Computes the loop's registers from the edits and the active feedback set and writes them.
    void SendFastZParams();
    void EditFastzKeyPress(TNumericEdit* edit, bool enter);
    void Edit13KeyPress(bool enter);
    void Label35Click();
    // Shift: the next larger prefix, else the next smaller; the value shown keeps its meaning.
    void PrefixLabelMouseDown(QLabel* label, bool shift);
    bool TdMode() const { return tdMode_; }
    // A double click on the Td label toggles the pulse bias, as on the bias label.
    std::function<void()> Label35DblClick;
    // A click on the Ki label switches to the approach Ki and back, as on the z page's.
    std::function<void()> Label29Click;

    TNumericEdit* Edit17 = nullptr; // Kp
    TNumericEdit* Edit20 = nullptr; // Ki
    TNumericEdit* Edit13 = nullptr; // Td (µs) or alpha
    QLabel* Label29 = nullptr; // "Ki"
    QLabel* Label35 = nullptr;
    QLabel* Label38 = nullptr;
    QLabel* Label39 = nullptr; // Ki prefix
    QLabel* Label40 = nullptr; // Kp prefix

private:
    int Tag(QLabel* label) const;
    void SetTag(QLabel* label, int tag);

    std::function<TInOutForm*()> device_;
    bool tdMode_ = true;
};

} // namespace qvt
