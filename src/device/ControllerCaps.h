#pragma once
// What the controller has. The device window fills this once when it opens
// the link (the USB flag from the driver's name, the type and sub-version read
// from the box) and every part of the program asks it instead of comparing
// type numbers: the rules of which controller carries which module are
// written here and nowhere else.

#include "protocol/ControlCodes.h"

#include <cstdint>

namespace qvt {

struct TControllerCaps {
    int32_t BoxVersion = 0;    // controller type, 22..29
    int32_t BoxSubVersion = 0; // controller sub-version
    int32_t UsbBox = 0;        // 1: attached by USB

    // Attached by USB rather than the card.
    constexpr bool Usb() const { return UsbBox == 1; }
    // Type 29 carries the high-speed module: the fast z loop, the dual Z
    // output, its own lock-in clock and frequency words, the auxiliary
    // registers at 256.
    constexpr bool Type29() const { return BoxVersion == 29; }
    // Type 26: the digital lock-in whose phase shifter runs on the lock-in clock.
    constexpr bool Type26() const { return BoxVersion == 26; }
    // The high-speed module of type 29 and the USB boxes: the fast feedback,
    // the controller's own scan generator, the feedback record's computed
    // mirror, a sampling list that is never sent empty.
    constexpr bool FastScanPresent() const { return Type29() || Usb(); }
    // The three built-in lock-in oscillators.
    constexpr bool MultiLockInPresent() const { return Type26() || Type29(); }
    // Registers from FirstExtendedRegister on (and the slider window's waves).
    constexpr bool ExtendedRegisters() const { return BoxVersion > 27 || Usb(); }
    // The digital lock-in of types above 25: the 16-bit amplitude word, the Q
    // control page, the sync filter, a sub-version worth showing.
    constexpr bool DigitalLockIn() const { return BoxVersion > 25; }
    // Harmonics beyond the first on the digital lock-in (sub-version 2 on).
    constexpr bool LockInHarmonics() const { return DigitalLockIn() && BoxSubVersion > 1; }
    // The phase shifter sits in the lock-in gain register (type 26 before sub-version 2).
    constexpr bool ShifterInGainRegister() const { return Type26() && BoxSubVersion < 2; }
    // The input's AC coupling switch (not on the first types nor on type 29).
    constexpr bool InputAcCoupling() const { return BoxVersion >= 23 && !Type29(); }
    // The input gain of 100 (type 29 stops at 10).
    constexpr bool InputGain100() const { return !Type29(); }
    // The coarse motors' registers at the type-24 place (types 24 and 26).
    constexpr bool MotorsAtType24Registers() const { return BoxVersion == 24 || Type26(); }
    // Base of the auxiliary registers (LED power, motor status, the register grid).
    constexpr int32_t AuxRegisterBase() const { return Type29() ? AuxRegisterBaseType29 : AuxRegisterBaseCard; }
    // The full drive-amplitude word.
    constexpr int32_t AmplitudeFullWord() const { return (DigitalLockIn() || Usb()) ? 65535 : 2047; }
};

} // namespace qvt
