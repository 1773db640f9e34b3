// watchdog.cpp - application watchdog commands: one short write per command to the
// watchdog driver's control file /proc/quorwd ("r<id>", "a<id>", "w0", "w1").
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "qmveskar.h"

namespace {

const char kControlPath[] = "/proc/quorwd";
constexpr unsigned kAppIds = 20;

} // namespace

extern "C" int RegisterAppWdreset(uint8_t appId, int8_t command)
{
    if (access(kControlPath, W_OK) != 0 || appId >= kAppIds)
        return 0;
    char text[8] = "";  // at most 3 characters: ids are below 20
    switch (command) {
    case 1:
        snprintf(text, sizeof text, "r%d", int(appId));
        break;
    case 0:
        snprintf(text, sizeof text, "a%d", int(appId));
        break;
    case -1:
        memcpy(text, "w0", 3);
        break;
    case -2:
        memcpy(text, "w1", 3);
        break;
    default:
        break;  // unknown command: an empty write
    }
    int fd = open(kControlPath, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return 1;
    // The driver takes the command as one write; its answer is not examined.
    if (write(fd, text, strlen(text)) < 0) {
    }
    close(fd);
    return 0;
}
