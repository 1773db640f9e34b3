// buskit.cpp - recording handler, connection helper and process figures for the bus tests.
#include "buskit.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <mutex>
#include <unistd.h>

namespace buskit {

namespace {

std::mutex inboxLock;
std::condition_variable inboxChanged;
std::vector<Delivered> inbox;
std::function<void(MessageRecord *)> hook;

} // namespace

void RecordingHandler(MessageRecord *message)
{
    Delivered d;
    d.header = *message;
    d.header.Payload = nullptr;
    d.payloadPresent = message->Payload != nullptr;
    if (message->Payload)
        d.payload.assign(static_cast<const char *>(message->Payload), message->PayloadLen);
    d.thread = pthread_self();
    std::function<void(MessageRecord *)> run;
    {
        std::lock_guard<std::mutex> guard(inboxLock);
        inbox.push_back(d);
        run = hook;
        inboxChanged.notify_all();
    }
    if (run)
        run(message);
}

void SetHook(std::function<void(MessageRecord *)> h)
{
    std::lock_guard<std::mutex> guard(inboxLock);
    hook = std::move(h);
}

void ClearInbox()
{
    std::lock_guard<std::mutex> guard(inboxLock);
    inbox.clear();
}

std::vector<Delivered> Inbox()
{
    std::lock_guard<std::mutex> guard(inboxLock);
    return inbox;
}

size_t InboxCount()
{
    std::lock_guard<std::mutex> guard(inboxLock);
    return inbox.size();
}

bool WaitForInbox(size_t count, int timeoutMs)
{
    std::unique_lock<std::mutex> guard(inboxLock);
    return inboxChanged.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                 [&] { return inbox.size() >= count; });
}

int ConnectTo(busserver::Server *server, const char *clientName, BusHandlerFn handler)
{
    int before = busserver::Connections(server);
    size_t seen = busserver::Count(server);
    int result = ConnectBus(clientName, busserver::Port(server), busserver::LoopbackAddress(),
                            0, "busserver", handler);
    if (!result)
        return 0;
    if (!busserver::WaitForClients(server, before + 1, 10000) ||
        !busserver::WaitForCount(server, seen + 1, 10000))
        return 0;
    return result;
}

int ThreadCount()
{
    DIR *dir = opendir("/proc/self/task");
    if (!dir)
        return -1;
    int count = 0;
    while (dirent *entry = readdir(dir))
        if (entry->d_name[0] != '.')
            ++count;
    closedir(dir);
    return count;
}

int SettledThreadCount(int expected, int waitMs)
{
    double deadline = NowSeconds() + waitMs / 1000.0;
    int count = ThreadCount();
    while (count > expected && NowSeconds() < deadline) {
        usleep(2000);
        count = ThreadCount();
    }
    return count;
}


} // namespace buskit
