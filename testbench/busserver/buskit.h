// buskit.h - client-side helpers for the tests and the benchmark of the bus client: a
// handler that records what the reader delivers, connecting a client to a test server,
// and the thread and CPU figures of the process.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <pthread.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "busserver.h"
#include "clockread.h"
#include "qmveskar.h"

namespace buskit {

// One message as the handler was given it.
struct Delivered {
    MessageRecord header;  // Payload cleared (the reader releases it)
    std::string payload;   // PayloadLen bytes that Payload referred to
    bool payloadPresent = false;
    pthread_t thread;      // the thread the handler ran on
};

// The handler: records every call in the process-wide inbox, then runs the hook, if any
// (on the reader thread).
void RecordingHandler(MessageRecord *message);
void SetHook(std::function<void(MessageRecord *)> hook);
void ClearInbox();
std::vector<Delivered> Inbox();
// Waits until the inbox holds at least count messages; false after timeoutMs.
bool WaitForInbox(size_t count, int timeoutMs);
size_t InboxCount();

// ConnectBus to the server with the recording handler (or the given one), addressed to
// "busserver", and waits until the server has the registration. Returns ConnectBus's
// result (0 on failure or when the registration did not arrive).
int ConnectTo(busserver::Server *server, const char *clientName = "tester",
              BusHandlerFn handler = RecordingHandler);

// A helper thread of a test, started before the bus reader and held until Go(). CloseBus
// ends the reader with a signal, and under qemu-i386 a thread that handles a signal takes
// the descriptor of the thread created last (the emulator keeps one TLS table for all
// threads): the reader has to be the newest thread, as it is on the unit.
struct HeldThread {
    std::atomic<bool> go {false};
    std::thread thread;
    template <class Body> explicit HeldThread(Body body)
        : thread([this, body] {
              while (!go)
                  usleep(200);
              body();
          })
    {
    }
    ~HeldThread() { Join(); }
    void Go() { go = true; }
    void Join()
    {
        go = true;
        if (thread.joinable())
            thread.join();
    }
};

int ThreadCount();          // tasks of this process
// The task count once it is down to `expected`, or as it is after waitMs: a joined thread
// stays listed in /proc/self/task for a moment after pthread_join has returned.
int SettledThreadCount(int expected, int waitMs);
// CPU time of the whole process, and the monotonic clock (see clockread.h for why inline).
[[gnu::always_inline]] inline double ProcessCpuSeconds() { return qmclock::Seconds(CLOCK_PROCESS_CPUTIME_ID); }
[[gnu::always_inline]] inline double NowSeconds() { return qmclock::Monotonic(); }

} // namespace buskit
