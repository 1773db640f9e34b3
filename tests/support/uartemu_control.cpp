// uartemu_control.cpp - the UART emulation's control file and trace (see uartemu_control.h).
#include "uartemu_control.h"

#include "files.h"
#include "testenv.h"

namespace qmtest {

std::string UartemuControlPath() { return Env("UARTEMU_CTL"); }
std::string UartemuTracePath() { return Env("UARTEMU_TRACE"); }

void SetUartemuControl(const std::string &text)
{
    EXPECT_TRUE(ReplaceFile(UartemuControlPath(), text)) << "control file " << UartemuControlPath();
}

} // namespace qmtest
