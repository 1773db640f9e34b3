// qmbenchline.cpp - a bench line for people: brings up a virtual field line (simulator, line
// record, UART emulation), runs a command on it (e.g. qmveskar) and tears everything down.
// Usage: README.md.
#include "benchline.h"
#include "fieldsim.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace
{

// The demonstration line: the reference device at 17, a silent address, a device that
// answers the first question only, a device with a bad CRC, and the line-test responder.
const char kDemoLine[] = "line 9600 8N1\n"
                         "device 17\n"
                         "reg 0 0x0123\n"
                         "reg 1 0x4142 0x1EE3\n"
                         "reg 6 0x0107\n"
                         "device 18\n"
                         "fault silent\n"
                         "device 19\n"
                         "reg 0 0x0203\n"
                         "answers 1\n"
                         "device 20\n"
                         "fault badcrc\n"
                         "linetest\n";

volatile sig_atomic_t gStop = 0;
void OnStop(int)
{
    gStop = 1;
}

int Usage()
{
    fprintf(stderr,
            "usage: qmbenchline [-d DESCRIPTION] [-i LINE] [-b SPEED] [-f FRAMING]\n"
            "                   [-t LEAD,TAIL,RXTIMEOUT,POSTRX,PRETX] [-e] [-E]\n"
            "                   [-P pymodbus|libmodbus] [-a ADDRESS] [-L /dev/LINK] [-k DIR]\n"
            "                   [-w | [--] COMMAND [ARG...]]\n");
    return 2;
}

// "8N1", "7E2", ... into the line's settings; false for a malformed text.
bool ParseFraming(const char *t, benchline::Config &c)
{
    fieldsim::LineConfig f;
    if (!fieldsim::ParseFraming(t, f))
        return false;
    c.dataBits = f.dataBits;
    c.parity = f.parity == 'N' ? 0 : f.parity == 'O' ? 1 : 2;
    c.stopBits = f.stopBits;
    return true;
}

// The description file of -d into c; false when it cannot be read.
bool ReadDescription(const char *path, benchline::Config &c)
{
    std::ifstream in(path);
    if (!in) {
        fprintf(stderr, "qmbenchline: cannot read %s\n", path);
        return false;
    }
    std::stringstream ss;
    ss << in.rdbuf();
    c.description = ss.str();
    return true;
}

// The command line into c, wait (-w) and the command; result: 0, else the exit status.
int ParseOptions(int argc, char **argv, benchline::Config &c, bool &wait,
                 std::vector<std::string> &command)
{
    for (int opt; (opt = getopt(argc, argv, "+d:i:b:f:t:eEP:a:L:k:w")) != -1;) {
        switch (opt) {
        case 'd':
            if (!ReadDescription(optarg, c))
                return 2;
            break;
        case 'i':
            c.lineId = atoi(optarg);
            break;
        case 'b':
            c.speed = atoi(optarg);
            break;
        case 'f':
            if (!ParseFraming(optarg, c))
                return Usage();
            break;
        case 't':
            if (sscanf(optarg, "%d,%d,%d,%d,%d", &c.dtrLeadMs, &c.dtrTailMs, &c.rxTimeoutMs,
                       &c.postRxMs, &c.preTxMs) != 5)
                return Usage();
            break;
        case 'e':
            c.echo = true;
            break;
        case 'E':
            c.emulation = false;
            break;
        case 'P':
            c.peer = optarg;
            break;
        case 'a':
            c.peerAddress = atoi(optarg);
            break;
        case 'L':
            c.link = optarg;
            break;
        case 'k':
            c.dir = optarg;
            c.keepFiles = true;
            break;
        case 'w':
            wait = true;
            break;
        default:
            return Usage();
        }
    }
    command.assign(argv + optind, argv + argc);
    return command.empty() != wait ? Usage() : 0;
}

// Where the line is, on standard error.
void Announce(const benchline::Config &c, const benchline::Line &line)
{
    fprintf(stderr,
            "qmbenchline: line %d on %s (record tty \"%s\"), %d bit/s; simulator log %s%s\n",
            c.lineId, line.ttyPath.c_str(), line.ttyName.c_str(), c.speed, line.simLog.c_str(),
            c.emulation ? (", UART trace " + line.trace).c_str() : "");
    if (!c.peer.empty())
        fprintf(stderr, "qmbenchline: %s slave at address %d on %s\n", c.peer.c_str(),
                c.peerAddress, line.peerPath.c_str());
}

// The line's life: the command's run, or (wait) until SIGINT or SIGTERM. Result: the
// command's exit status (0 after a wait).
int Run(const benchline::Line &line, bool wait, const std::vector<std::string> &command)
{
    struct sigaction sa {
    };
    sa.sa_handler = OnStop;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    if (!wait) {
        // SIGINT of the terminal reaches the command too; the line stays up until it ends.
        return benchline::Exec(line, command);
    }
    fprintf(stderr, "qmbenchline: up; Ctrl-C or SIGTERM ends it\n");
    while (!gStop)
        pause();
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    benchline::Config c;
    c.description = kDemoLine;
    bool wait = false;
    std::vector<std::string> command;
    if (int status = ParseOptions(argc, argv, c, wait, command); status != 0)
        return status;
    benchline::Line line;
    std::string error;
    if (!benchline::Up(line, c, error)) {
        fprintf(stderr, "qmbenchline: %s\n", error.c_str());
        return 1;
    }
    Announce(c, line);
    int status = Run(line, wait, command);
    benchline::Down(line);
    if (c.keepFiles)
        fprintf(stderr, "qmbenchline: files kept in %s\n", line.dir.c_str());
    return status;
}
