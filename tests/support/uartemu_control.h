// uartemu_control.h - the UART emulation's control file and trace, as the environment names
// them (UARTEMU_CTL, UARTEMU_TRACE; "" when the program runs without them).
#pragma once

#include <string>

namespace qmtest {

// The emulation's control file.
std::string UartemuControlPath();
// The emulation's trace.
std::string UartemuTracePath();
// Replaces the control file with text in one step; a failed rename fails the case.
void SetUartemuControl(const std::string &text);

} // namespace qmtest
