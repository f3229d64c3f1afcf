#pragma once
// "About QVT": the versions of the program, the driver and the controller,
// with a red panel when program and driver do not belong together.

#include "device/ControllerCaps.h"

#include <QDialog>
#include <QString>

#include <cstdint>
#include <functional>

class QLabel;

namespace qvt {

constexpr uint32_t ProgramVersion = 0x0021000B;

struct TAboutTexts {
    QString Hardware; // Label1
    QString Driver;   // Label2
    QString Program;  // Label3
    bool Mismatch = false;
};
// On a USB controller `instance` is its index (shown when 0 or more).
TAboutTexts AboutTexts(uint32_t driverVersion, const TControllerCaps& caps, int32_t instance);

class TAboutQVTBox : public QDialog {
    Q_OBJECT

public:
    // The driver's version word, the controller's type and sub-version, the
    // USB box and its index; asked each time the box is filled.
    struct TSource {
        std::function<uint32_t()> DriverVersion;
        TControllerCaps Caps;
        int32_t InstanceNumber = -2;
    };

    explicit TAboutQVTBox(TSource source, QWidget* parent = nullptr);
    ~TAboutQVTBox() override;

    // Reads the driver status and fills the labels (done at creation).
    void Refresh();
    bool PanelRed() const { return texts_.Mismatch; }
    const TAboutTexts& Texts() const { return texts_; }

private:
    TSource source_;
    TAboutTexts texts_;
    QWidget* panel2_ = nullptr;
    QLabel* label1_ = nullptr;
    QLabel* label2_ = nullptr;
    QLabel* label3_ = nullptr;
};

extern TAboutQVTBox* AboutQVTBox;

} // namespace qvt
