// busserver.cpp - the loopback message-bus server of the test bench: one receiving thread
// (accepts, frames and records messages, sends immediate answers) and one thread for
// delayed answers.
#include "busserver.h"

#include <arpa/inet.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace busserver {

namespace {

using Clock = std::chrono::steady_clock;

struct Client {
    int fd = -1;
    int connection = 0;
    std::string pending;  // bytes received, not yet a whole message
};

struct Delayed {
    Clock::time_point due;
    std::string bytes;
    int connection = 0;  // 0: the latest client
};

void Put16(std::string &s, size_t at, uint16_t v)
{
    s[at] = char(v & 0xFF);
    s[at + 1] = char(v >> 8);
}

void Put32(std::string &s, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        s[at + size_t(i)] = char((v >> (8 * i)) & 0xFF);
}

uint16_t Get16(const std::string &s, size_t at)
{
    return uint16_t(uint8_t(s[at]) | uint8_t(s[at + 1]) << 8);
}

uint32_t Get32(const std::string &s, size_t at)
{
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v |= uint32_t(uint8_t(s[at + size_t(i)])) << (8 * i);
    return v;
}

std::string Text(const std::string &s, size_t at, size_t width)
{
    std::string field = s.substr(at, width);
    size_t end = field.find('\0');
    return end == std::string::npos ? field : field.substr(0, end);
}

bool SendAll(int fd, const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

} // namespace

struct Server {
    int listenFd = -1;
    int wake[2] = {-1, -1};
    uint16_t port = 0;
    std::thread receiver;
    std::thread delayer;

    std::mutex lock;  // everything below
    std::condition_variable changed;
    bool stopping = false;
    std::vector<Client> clients;
    int latest = 0;  // connection number of the latest client; 0: none
    int accepted = 0;
    std::vector<Received> messages;
    size_t count = 0;
    bool recording = true;
    uint16_t trigger = 0;
    bool responding = false;
    bool respondAlways = false;
    std::vector<Outgoing> steps;
    std::deque<Delayed> delayed;
    std::function<void(const Received &)> inspector;
    ReadMode mode;
    Clock::time_point holdUntil;
    size_t pressurePings = 0;

    std::mutex sendLock;  // one whole message per send, never interleaved
};

namespace {

// A field of the server, read under its lock.
template <typename T> T Locked(Server *server, T Server::*field)
{
    std::lock_guard<std::mutex> guard(server->lock);
    return server->*field;
}

// Sends to the client of the given connection number. sendLock is held across the
// send, and clients are closed only under sendLock, so the descriptor stays that client's.
bool SendTo(Server *server, int connection, const std::string &bytes)
{
    std::lock_guard<std::mutex> sending(server->sendLock);
    int fd = -1;
    {
        std::lock_guard<std::mutex> guard(server->lock);
        for (const Client &c : server->clients)
            if (c.connection == connection)
                fd = c.fd;
    }
    return fd >= 0 && SendAll(fd, bytes);
}

// Closes and forgets the client of the given connection number; receiving thread only
// (lock order: sendLock, then lock).
void DropClient(Server *server, int connection)
{
    std::lock_guard<std::mutex> sending(server->sendLock);
    std::lock_guard<std::mutex> guard(server->lock);
    for (size_t k = 0; k < server->clients.size(); ++k) {
        Client &c = server->clients[k];
        if (c.connection != connection)
            continue;
        close(c.fd);
        if (server->latest == connection)
            server->latest = 0;
        server->clients.erase(server->clients.begin() + long(k));
        break;
    }
}

// Called with server->lock held, for each message received from fd.
void Answer(Server *server, const Received &message, std::vector<std::string> *now)
{
    if (!server->responding || message.type != server->trigger)
        return;
    if (!server->respondAlways)
        server->responding = false;
    Clock::time_point arrival = Clock::now();
    for (Outgoing step : server->steps) {
        if (step.replyToTrigger)
            step.replyTo = message.requestId;
        std::string bytes = Encode(step);
        // Immediate answers also go out from the sending thread: the receiving thread must
        // never block in a send, or a client whose reader is itself writing (ping answers)
        // and a server that has stopped reading would wait for each other for ever.
        (void)now;
        if (step.delayMs <= 0)
            server->delayed.push_back({arrival, bytes, message.connection});
        else
            server->delayed.push_back({arrival + std::chrono::milliseconds(step.delayMs), bytes});
    }
    server->changed.notify_all();
}

// Takes the whole messages out of client.pending.
void Frame(Server *server, Client &client, std::vector<std::string> *now)
{
    while (client.pending.size() >= size_t(HeaderSize)) {
        size_t len = Get16(client.pending, 54);
        if (client.pending.size() < size_t(HeaderSize) + len)
            return;
        Received message = Decode(client.pending.substr(0, HeaderSize));
        message.connection = client.connection;
        message.payload = client.pending.substr(HeaderSize, len);
        client.pending.erase(0, HeaderSize + len);
        Answer(server, message, now);
        if (server->inspector)
            server->inspector(message);
        ++server->count;
        if (server->recording)
            server->messages.push_back(std::move(message));
        server->changed.notify_all();
    }
}

// Before a read in pressure mode: a ping to the client through the sending thread, so
// that the client's reader writes its answer while the client's callers write too.
void QueuePing(Server *server, int connection)
{
    Outgoing ping;
    ping.type = 2;
    ping.senderPid = PressurePingPid;
    server->delayed.push_back({Clock::now(), Encode(ping), connection});
    ++server->pressurePings;
    server->changed.notify_all();
}

// A new client (the latest from now on).
void Accept(Server *server)
{
    int fd = accept4(server->listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
        return;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::lock_guard<std::mutex> guard(server->lock);
    Client c;
    c.fd = fd;
    c.connection = ++server->accepted;
    server->clients.push_back(c);
    server->latest = c.connection;
    server->changed.notify_all();
}

// One read from the client on fd: its whole messages recorded and answered, or the client
// dropped when it has gone.
void ReadClient(Server *server, int fd, const ReadMode &mode, std::vector<char> &buffer)
{
    size_t want = mode.chunk > 0 ? std::min(buffer.size(), size_t(mode.chunk)) : buffer.size();
    if (mode.pingEachRead) {
        std::lock_guard<std::mutex> guard(server->lock);
        for (const Client &c : server->clients)
            if (c.fd == fd)
                QueuePing(server, c.connection);
    }
    ssize_t n = recv(fd, buffer.data(), want, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    std::vector<std::string> now;
    int connection = 0;
    bool gone = false;
    {
        std::lock_guard<std::mutex> guard(server->lock);
        for (Client &c : server->clients) {
            if (c.fd != fd)
                continue;
            connection = c.connection;
            if (n <= 0) {
                gone = true;  // the client has gone
            } else {
                c.pending.append(buffer.data(), size_t(n));
                Frame(server, c, &now);
            }
            break;
        }
    }
    if (gone)
        DropClient(server, connection);
    for (const std::string &bytes : now)
        SendTo(server, connection, bytes);
}

void ReceiveLoop(Server *server)
{
    std::vector<char> buffer(65536);
    for (;;) {
        std::vector<pollfd> fds;
        int timeoutMs = 1000;
        ReadMode mode;
        {
            std::lock_guard<std::mutex> guard(server->lock);
            if (server->stopping)
                return;
            mode = server->mode;
            fds.push_back({server->wake[0], POLLIN, 0});
            fds.push_back({server->listenFd, POLLIN, 0});
            auto held = server->holdUntil - Clock::now();
            if (held > Clock::duration::zero())
                timeoutMs = int(std::chrono::duration_cast<std::chrono::milliseconds>(held).count()) + 1;
            else
                for (const Client &c : server->clients)
                    fds.push_back({c.fd, POLLIN, 0});
        }
        if (poll(fds.data(), fds.size(), timeoutMs) < 0 && errno != EINTR)
            return;
        if (fds[0].revents) {
            char scrap[16];
            if (read(server->wake[0], scrap, sizeof scrap) < 0) {
            }
        }
        if (fds[1].revents & POLLIN)
            Accept(server);
        for (size_t i = 2; i < fds.size(); ++i)
            if (fds[i].revents)
                ReadClient(server, fds[i].fd, mode, buffer);
        if (mode.pauseMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(mode.pauseMs));
    }
}

void DelayLoop(Server *server)
{
    std::unique_lock<std::mutex> guard(server->lock);
    while (!server->stopping) {
        if (server->delayed.empty()) {
            server->changed.wait_for(guard, std::chrono::milliseconds(200));
            continue;
        }
        auto first = server->delayed.begin();
        for (auto it = server->delayed.begin(); it != server->delayed.end(); ++it)
            if (it->due < first->due)
                first = it;
        if (Clock::now() < first->due) {
            server->changed.wait_until(guard, first->due);
            continue;
        }
        std::string bytes = first->bytes;
        int connection = first->connection ? first->connection : server->latest;
        server->delayed.erase(first);
        guard.unlock();
        SendTo(server, connection, bytes);
        guard.lock();
    }
}

} // namespace

uint32_t LoopbackAddress() { return htonl(INADDR_LOOPBACK); }

Server *Start(int receiveBuffer) { return StartOn(0, receiveBuffer); }

Server *StartOn(uint16_t port, int receiveBuffer)
{
    auto *server = new Server;
    server->listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBuffer > 0 && server->listenFd >= 0)
        setsockopt(server->listenFd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = LoopbackAddress();
    address.sin_port = htons(port);
    socklen_t size = sizeof address;
    int one = 1;
    if (server->listenFd >= 0 && port != 0)
        setsockopt(server->listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (server->listenFd < 0 ||
        bind(server->listenFd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        listen(server->listenFd, 8) != 0 ||
        getsockname(server->listenFd, reinterpret_cast<sockaddr *>(&address), &size) != 0 ||
        pipe2(server->wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        if (server->listenFd >= 0)
            close(server->listenFd);
        delete server;
        return nullptr;
    }
    server->port = ntohs(address.sin_port);
    server->receiver = std::thread(ReceiveLoop, server);
    server->delayer = std::thread(DelayLoop, server);
    return server;
}

void Stop(Server *server)
{
    if (!server)
        return;
    {
        std::lock_guard<std::mutex> guard(server->lock);
        server->stopping = true;
        server->changed.notify_all();
    }
    if (write(server->wake[1], "x", 1) < 0) {
    }
    server->receiver.join();
    server->delayer.join();
    for (const Client &c : server->clients)
        close(c.fd);
    close(server->listenFd);
    close(server->wake[0]);
    close(server->wake[1]);
    delete server;
}

uint16_t Port(const Server *server) { return server->port; }

std::string Encode(const Outgoing &m)
{
    std::string out(HeaderSize, '\0');
    Put16(out, 0, m.type);
    out[2] = char(m.tag);
    out.replace(3, std::min<size_t>(m.senderName.size(), 21), m.senderName.substr(0, 21));
    Put32(out, 24, uint32_t(m.senderPid));
    Put32(out, 28, uint32_t(m.destPid));
    out.replace(32, std::min<size_t>(m.destName.size(), 22), m.destName.substr(0, 22));
    Put16(out, 54, uint16_t(m.announcedLen >= 0 ? m.announcedLen : int(m.payload.size())));
    Put32(out, 56, uint32_t(m.requestId));
    Put32(out, 60, uint32_t(m.replyTo));
    out.resize(HeaderSize);
    return out + m.payload;
}

Received Decode(const std::string &header)
{
    Received r;
    r.header = header.substr(0, HeaderSize);
    r.type = Get16(header, 0);
    r.tag = uint8_t(header[2]);
    r.senderName = Text(header, 3, 21);
    r.senderPid = int32_t(Get32(header, 24));
    r.destPid = int32_t(Get32(header, 28));
    r.destName = Text(header, 32, 22);
    r.payloadLen = Get16(header, 54);
    r.requestId = int32_t(Get32(header, 56));
    r.replyTo = int32_t(Get32(header, 60));
    return r;
}

int Connections(Server *server) { return Locked(server, &Server::accepted); }

bool WaitFor(Server *server, const std::function<bool(const std::vector<Received> &)> &pred,
             int timeoutMs)
{
    std::unique_lock<std::mutex> guard(server->lock);
    return server->changed.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                    [&] { return pred(server->messages); });
}

bool WaitForClients(Server *server, int count, int timeoutMs)
{
    std::unique_lock<std::mutex> guard(server->lock);
    return server->changed.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                    [&] { return server->accepted >= count; });
}

bool WaitForCount(Server *server, size_t count, int timeoutMs)
{
    std::unique_lock<std::mutex> guard(server->lock);
    return server->changed.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                    [&] { return server->count >= count; });
}

std::vector<Received> Messages(Server *server) { return Locked(server, &Server::messages); }

void ClearMessages(Server *server)
{
    std::lock_guard<std::mutex> guard(server->lock);
    server->messages.clear();
    server->count = 0;
}

void SetRecording(Server *server, bool on)
{
    std::lock_guard<std::mutex> guard(server->lock);
    server->recording = on;
}

void SetInspector(Server *server, std::function<void(const Received &)> inspector)
{
    std::lock_guard<std::mutex> guard(server->lock);
    server->inspector = std::move(inspector);
}

void SetReadMode(Server *server, const ReadMode &mode)
{
    std::lock_guard<std::mutex> guard(server->lock);
    server->mode = mode;
}

void HoldReading(Server *server, int ms)
{
    std::lock_guard<std::mutex> guard(server->lock);
    server->holdUntil = Clock::now() + std::chrono::milliseconds(ms);
    if (write(server->wake[1], "x", 1) < 0) {
    }
}

size_t PressurePings(Server *server) { return Locked(server, &Server::pressurePings); }

size_t Count(Server *server) { return Locked(server, &Server::count); }

bool SendRaw(Server *server, const std::string &bytes)
{
    int connection;
    {
        std::lock_guard<std::mutex> guard(server->lock);
        connection = server->latest;
    }
    return SendTo(server, connection, bytes);
}

bool Send(Server *server, const Outgoing &message) { return SendRaw(server, Encode(message)); }

bool SendPing(Server *server, int32_t senderPid)
{
    Outgoing ping;
    ping.type = 2;
    ping.senderPid = senderPid;
    ping.senderName = "busserver";
    return Send(server, ping);
}

// Shuts the connection down at once; the receiving thread, the only one that reads and
// closes client descriptors, then sees its end and closes it.
void CloseClient(Server *server)
{
    std::lock_guard<std::mutex> sending(server->sendLock);
    std::lock_guard<std::mutex> guard(server->lock);
    for (const Client &c : server->clients)
        if (c.connection == server->latest)
            shutdown(c.fd, SHUT_RDWR);
    server->latest = 0;
    if (write(server->wake[1], "x", 1) < 0) {
    }
}

void Respond(Server *server, uint16_t trigger, const std::vector<Outgoing> &steps, bool always)
{
    std::lock_guard<std::mutex> guard(server->lock);
    server->trigger = trigger;
    server->steps = steps;
    server->respondAlways = always;
    server->responding = true;
}

void StopResponding(Server *server)
{
    std::lock_guard<std::mutex> guard(server->lock);
    server->responding = false;
    server->delayed.clear();
}

} // namespace busserver
