// uartemu_control.h - the UART emulation's control file and trace, as the environment names
// them (UARTEMU_CTL, UARTEMU_TRACE; "" when the program runs without them).
#pragma once

#include "files.h"
#include "testenv.h"

namespace qmtest {

// The emulation's control file.
inline std::string UartemuControlPath() { return Env("UARTEMU_CTL"); }
// The emulation's trace.
inline std::string UartemuTracePath() { return Env("UARTEMU_TRACE"); }
// Replaces the control file with text in one step; a failed rename fails the case.
inline void SetUartemuControl(const std::string &text)
{
    EXPECT_TRUE(ReplaceFile(UartemuControlPath(), text)) << "control file " << UartemuControlPath();
}

} // namespace qmtest
