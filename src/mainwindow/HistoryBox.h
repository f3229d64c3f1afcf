#pragma once
// "History": the program's change notes, read only.

#include <QDialog>

namespace qvt {

// The dated change notes the box shows.
extern const char* const HistoryText;

class THistoryBox : public QDialog {
    Q_OBJECT

public:
    explicit THistoryBox(QWidget* parent = nullptr);
    ~THistoryBox() override;
};

extern THistoryBox* HistoryBox;

} // namespace qvt
