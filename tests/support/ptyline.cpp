// ptyline.cpp - the unit's serial line opened on a pty (see ptyline.h).
#include "ptyline.h"

#include <csignal>
#include <cstdio>

namespace qmtest {

LineSettings Settings(const std::string &tty, int32_t speed, int32_t parity, int32_t dataBits,
                      int32_t stopBits)
{
    LineSettings s {};
    snprintf(s.tty, sizeof s.tty, "%s", tty.c_str());
    s.speed = speed;
    s.parity = parity;
    s.dataBits = dataBits;
    s.stopBits = stopBits;
    return s;
}

namespace {
void Ignore(int) {}
} // namespace

void CatchSigio()
{
    struct sigaction action = {};
    action.sa_handler = Ignore;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGIO, &action, nullptr);
}

bool OpenTestLine(const std::string &tty, int32_t speed, int32_t parity, int32_t dataBits,
                  int32_t stopBits)
{
    CatchSigio();
    return OpenLine(Settings(tty, speed, parity, dataBits, stopBits));
}

} // namespace qmtest
