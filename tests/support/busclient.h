// busclient.h - a case's message bus: the test's bus server started, this process its client.
#pragma once

#include <csignal>
#include <gtest/gtest.h>

#include "buskit.h"
#include "busserver.h"
#include "internal.h"
#include "qmveskar.h"

namespace qmtest {

// Starts the bus server for a case run as pid (SIGPIPE ignored, no hook, an empty inbox);
// with connect, this process connects to it and the server forgets what it received.
inline void StartBus(busserver::Server *&server, int32_t pid, bool connect = true)
{
    signal(SIGPIPE, SIG_IGN);
    OwnPid = pid;
    server = busserver::Start();
    ASSERT_NE(server, nullptr);
    if (connect) {
        ASSERT_NE(buskit::ConnectTo(server), 0);
        busserver::ClearMessages(server);
    }
    buskit::ClearInbox();
    buskit::SetHook(nullptr);
}

// Closes this process's bus and stops the server.
inline void StopBus(busserver::Server *server)
{
    CloseBus();
    buskit::SetHook(nullptr);
    busserver::Stop(server);
    OwnPid = 0;
}

} // namespace qmtest
