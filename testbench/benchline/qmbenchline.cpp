// qmbenchline.cpp - a bench line for people: brings up a virtual field line (simulator, line
// record, UART emulation), runs a command on it (e.g. qmveskar) and tears everything down.
// Usage: README.md.
#include "benchline.h"

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

bool ParseFraming(const char *t, benchline::Config &c)
{
    if (strlen(t) != 3 || t[0] < '5' || t[0] > '8' || (t[2] != '1' && t[2] != '2'))
        return false;
    char p = char(toupper(static_cast<unsigned char>(t[1])));
    if (p != 'N' && p != 'O' && p != 'E')
        return false;
    c.dataBits = t[0] - '0';
    c.parity = p == 'N' ? 0 : p == 'O' ? 1 : 2;
    c.stopBits = t[2] - '0';
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    benchline::Config c;
    c.description = kDemoLine;
    bool wait = false;
    std::string framing;
    for (int opt; (opt = getopt(argc, argv, "+d:i:b:f:t:eEP:a:L:k:w")) != -1;) {
        switch (opt) {
        case 'd': {
            std::ifstream in(optarg);
            if (!in) {
                fprintf(stderr, "qmbenchline: cannot read %s\n", optarg);
                return 2;
            }
            std::stringstream ss;
            ss << in.rdbuf();
            c.description = ss.str();
            break;
        }
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
    std::vector<std::string> command(argv + optind, argv + argc);
    if (command.empty() != wait)
        return Usage();

    benchline::Line line;
    std::string error;
    if (!benchline::Up(line, c, error)) {
        fprintf(stderr, "qmbenchline: %s\n", error.c_str());
        return 1;
    }
    fprintf(stderr,
            "qmbenchline: line %d on %s (record tty \"%s\"), %d bit/s; simulator log %s%s\n",
            c.lineId, line.ttyPath.c_str(), line.ttyName.c_str(), c.speed, line.simLog.c_str(),
            c.emulation ? (", UART trace " + line.trace).c_str() : "");
    if (!c.peer.empty())
        fprintf(stderr, "qmbenchline: %s slave at address %d on %s\n", c.peer.c_str(),
                c.peerAddress, line.peerPath.c_str());

    int status = 0;
    struct sigaction sa {
    };
    sa.sa_handler = OnStop;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    if (wait) {
        fprintf(stderr, "qmbenchline: up; Ctrl-C or SIGTERM ends it\n");
        while (!gStop)
            pause();
    } else {
        // SIGINT of the terminal reaches the command too; the line stays up until it ends.
        status = benchline::Exec(line, command);
    }
    benchline::Down(line);
    if (c.keepFiles)
        fprintf(stderr, "qmbenchline: files kept in %s\n", line.dir.c_str());
    return status;
}
