// busconnect.cpp - the one bus connection of the process: ConnectBus, CloseBus, and the
// end of the reader thread that belongs to the connection.
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

#include "msgbus_internal.h"

int BusSocket = -1;
pthread_t BusReaderThread;
bool BusReaderHeld = false;
BusHandlerFn BusHandler = nullptr;

namespace {

// Ends the reader thread of the connection, if there is one, before its socket is closed
// or replaced: cancelled at its wait or a read, and waited for, so that it never touches
// a descriptor that is closed or reused. A reader inside the handler finishes the handler
// first. Called from the handler itself, the reader cannot be waited for: it is cancelled
// and detached, and ends at its next wait without touching the connection again.
void EndBusReader()
{
    if (!BusReaderHeld)
        return;
    BusReaderHeld = false;
    pthread_t reader = BusReaderThread;
    pthread_cancel(reader);
    if (pthread_equal(reader, pthread_self()))
        pthread_detach(reader);
    else
        pthread_join(reader, nullptr);
}

void DropSocket()
{
    close(BusSocket);
    BusSocket = -1;
}

} // namespace

extern "C" int ConnectBus(const char *clientName, uint16_t port, uint32_t serverAddr,
                          int32_t destPid, const char *destName, BusHandlerFn handler)
{
    EndBusReader();
    if (BusSocket != -1)
        DropSocket();

    // Close-on-exec: a companion program started through the shell must not keep the
    // connection open after CloseBus.
    BusSocket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (BusSocket < 0) {
        BusSocket = -1;
        return 0;
    }
    sockaddr_in address = BusServerAddress(port, serverAddr);
    if (connect(BusSocket, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        DropSocket();
        return 0;
    }
    linger lingerOption;
    socklen_t optionSize = sizeof lingerOption;
    if (getsockopt(BusSocket, SOL_SOCKET, SO_LINGER, &lingerOption, &optionSize) != 0) {
        DropSocket();
        return 0;
    }
    lingerOption.l_onoff = 1;
    lingerOption.l_linger = 1;  // a close waits at most 1 s for unsent data
    if (setsockopt(BusSocket, SOL_SOCKET, SO_LINGER, &lingerOption, sizeof lingerOption) != 0) {
        DropSocket();
        return 0;
    }

    // The handler is stored before the reader starts, so that the reader sees it from
    // its first message on.
    BusHandler = handler;
    if (pthread_create(&BusReaderThread, nullptr, BusReader, nullptr) == 0)
        BusReaderHeld = true;  // a reader that cannot start is not reported

    return PostBusMessage(BusTypeRegister, clientName, destName, destPid, nullptr, 0, 0, 0);
}

extern "C" int CloseBus(void)
{
    EndBusReader();
    if (BusSocket == -1)
        return 0;
    signal(SIGIO, SIG_IGN);
    DropSocket();
    signal(SIGIO, SIG_DFL);
    signal(SIGPIPE, SIG_DFL);
    return 1;
}
