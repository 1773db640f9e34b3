// benchmaster.h - the line's master in a test: opens a bench line's tty raw, sends Modbus RTU
// requests and records every reply byte with its arrival time.
#pragma once

#include <cstdint>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "fieldsim.h"
#include "testsupport.h"

namespace benchmaster
{

using Bytes = std::vector<uint8_t>;

inline Bytes Frame(Bytes body)
{
    fieldsim::AppendCrc(body);
    return body;
}

inline Bytes ReadRegs(uint8_t address, uint16_t start, uint16_t count)
{
    return Frame(
        {address, 0x03, uint8_t(start >> 8), uint8_t(start), uint8_t(count >> 8), uint8_t(count)});
}

// What arrived after a request: the bytes and, per byte, the seconds from the end of the
// request's write.
struct Heard {
    Bytes bytes;
    std::vector<double> at;
};

class Master
{
  public:
    explicit Master(const std::string &tty)
    {
        fd = open(tty.c_str(), O_RDWR | O_NOCTTY);
        termios t{};
        tcgetattr(fd, &t);
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
        // Like the unit's master, this one runs its exchanges at real-time priority (where
        // granted): the arrival times it takes are then the simulator's pacing, not the
        // lag of a reader waiting behind a loaded machine's other work.
        sched_param rt = {sched_get_priority_max(SCHED_FIFO)};
        realTime = pthread_setschedparam(pthread_self(), SCHED_FIFO, &rt) == 0;
    }
    ~Master()
    {
        if (fd >= 0)
            close(fd);
        if (realTime) {
            sched_param normal = {0};
            pthread_setschedparam(pthread_self(), SCHED_OTHER, &normal);
        }
    }
    Master(const Master &) = delete;
    Master &operator=(const Master &) = delete;

    bool Send(const Bytes &b)
    {
        bool ok = write(fd, b.data(), b.size()) == ssize_t(b.size());
        sent = qmtest::NowSeconds();
        return ok;
    }
    // Listens until `quiet` seconds pass without a byte (after the last one, or from the
    // start when nothing came), and at most `limit` seconds.
    Heard Listen(double quiet, double limit = 10)
    {
        Heard h;
        double last = qmtest::NowSeconds();
        for (;;) {
            double now = qmtest::NowSeconds();
            if (now - last >= quiet || now - sent >= limit)
                break;
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 2) <= 0)
                continue;
            uint8_t buf[512];
            ssize_t n = read(fd, buf, sizeof buf);
            now = qmtest::NowSeconds();
            for (ssize_t i = 0; i < n; ++i) {
                h.bytes.push_back(buf[i]);
                h.at.push_back(now - sent);
            }
            last = now;
        }
        return h;
    }
    Heard Ask(const Bytes &request, double quiet = 0.3)
    {
        Send(request);
        return Listen(quiet);
    }

    int fd = -1;
    bool realTime = false;
    double sent = 0;
};

} // namespace benchmaster
