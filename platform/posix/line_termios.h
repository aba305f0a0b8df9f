// The terminal attributes SerialDevice::Open applies for a set of line
// settings, as a pure function so the image can be checked whole: a
// pseudo-terminal keeps the speed and stop bits but the kernel forces its
// character size to 8 bits and clears its parity enable. POSIX only; any thread.
#pragma once

#include <termios.h>

#include "platform/serial_device.h"

namespace dravik {

// Rewrites `tio` (as read from the device) for `settings`: raw mode, the
// speed, data bits, parity with input parity checking on, stop bits, receiver
// on, modem control lines ignored, no hardware or software flow control.
// False (tio unchanged) for settings the line cannot take.
bool MakeLineTermios(const LineSettings& settings, termios* tio);

}  // namespace dravik
