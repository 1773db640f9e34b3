// ptyline.h - the unit's serial line opened on a pty for the serial-link tests, as the
// command opens it.
#pragma once

#include <cstdint>
#include <string>

#include "ptypair.h"
#include "seriallink.h"

namespace qmtest {

// The settings of a line on tty (without "/dev/"): speed, parity, data and stop bits.
LineSettings Settings(const std::string &tty, int32_t speed = 9600, int32_t parity = 0,
                      int32_t dataBits = 8, int32_t stopBits = 1);
// A do-nothing SIGIO handler (SA_RESTART), as the command installs: the open line raises
// SIGIO on input, which must only cut sleeps and waits short.
void CatchSigio();
// The line opened on tty as the command does: SIGIO caught, then OpenLine(Settings(...)).
bool OpenTestLine(const std::string &tty, int32_t speed = 9600, int32_t parity = 0,
                  int32_t dataBits = 8, int32_t stopBits = 1);

} // namespace qmtest
