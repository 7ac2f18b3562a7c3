// Plain TCP ends for tests of forwarded connections: sockets made inside a lab namespace,
// blocking send and receive helpers with deadlines, an echo service and a small HTTP service.
// Sockets made here belong to the namespace given when they were made, whatever thread uses
// them later, so one test process can hold clients in one host and services in another.
#pragma once

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <mbedtls/sha256.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kvLab.h"

namespace kvtun {

inline int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

inline bool ParseIp4(const std::string& ip, uint16_t port, sockaddr_in* sa)
{
    memset(sa, 0, sizeof(*sa));
    sa->sin_family = AF_INET;
    sa->sin_port = htons(port);
    return inet_pton(AF_INET, ip.c_str(), &sa->sin_addr) == 1;
}

// A listening TCP socket on ip:port (port 0 = any) inside namespace ns ("" = ours). -1 on failure.
inline int TcpListen(const std::string& ns, const std::string& ip, uint16_t port, int backlog = 512)
{
    std::unique_ptr<kvlab::NetnsGuard> g;
    if (!ns.empty()) {
        g.reset(new kvlab::NetnsGuard(ns));
        if (!g->Ok())
            return -1;
    }
    sockaddr_in sa;
    if (!ParseIp4(ip, port, &sa))
        return -1;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    if (bind(fd, (sockaddr*)&sa, sizeof(sa)) != 0 || listen(fd, backlog) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

inline uint16_t TcpPort(int fd)
{
    sockaddr_in sa;
    socklen_t n = sizeof(sa);
    if (getsockname(fd, (sockaddr*)&sa, &n) != 0)
        return 0;
    return ntohs(sa.sin_port);
}

// A blocking TCP client connected to ip:port from namespace ns. -1 on failure or after timeoutMs.
inline int TcpConnect(const std::string& ns, const std::string& ip, uint16_t port, int timeoutMs = 5000)
{
    std::unique_ptr<kvlab::NetnsGuard> g;
    if (!ns.empty()) {
        g.reset(new kvlab::NetnsGuard(ns));
        if (!g->Ok())
            return -1;
    }
    sockaddr_in sa;
    if (!ParseIp4(ip, port, &sa))
        return -1;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    if (connect(fd, (sockaddr*)&sa, sizeof(sa)) != 0 && errno != EINPROGRESS) {
        close(fd);
        return -1;
    }
    pollfd p = {fd, POLLOUT, 0};
    int err = 0;
    socklen_t n = sizeof(err);
    if (poll(&p, 1, timeoutMs) != 1 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &n) != 0 || err != 0) {
        close(fd);
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

// Waits until fd is readable (or has an error or end); false after timeoutMs.
inline bool WaitReadable(int fd, int timeoutMs)
{
    pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, timeoutMs) == 1;
}

inline bool SendAll(int fd, const void* data, size_t n)
{
    const char* p = (const char*)data;
    while (n > 0) {
        ssize_t k = send(fd, p, n, MSG_NOSIGNAL);
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0)
            return false;
        p += k;
        n -= (size_t)k;
    }
    return true;
}

inline bool SendAll(int fd, const std::string& s)
{
    return SendAll(fd, s.data(), s.size());
}

// How a read that waited for the peer ended.
enum class ReadEnd { Data, Closed, Reset, Timeout };

// Reads until n bytes are in *out, the peer closes or resets, or the deadline passes.
inline ReadEnd RecvN(int fd, size_t n, std::string* out, int timeoutMs)
{
    int64_t end = NowMs() + timeoutMs;
    char buf[65536];
    while (out->size() < n) {
        int64_t left = end - NowMs();
        if (left <= 0 || !WaitReadable(fd, (int)left))
            return ReadEnd::Timeout;
        size_t want = n - out->size() < sizeof(buf) ? n - out->size() : sizeof(buf);
        ssize_t k = recv(fd, buf, want, 0);
        if (k < 0 && errno == EINTR)
            continue;
        if (k == 0)
            return ReadEnd::Closed;
        if (k < 0)
            return ReadEnd::Reset;
        out->append(buf, (size_t)k);
    }
    return ReadEnd::Data;
}

// Reads everything until the peer closes (Closed) or resets, or the deadline passes.
inline ReadEnd RecvToEnd(int fd, std::string* out, int timeoutMs)
{
    return RecvN(fd, (size_t)-1, out, timeoutMs);
}

// Waits for the peer to end the connection without sending anything more: Closed or Reset when
// it ended, Data when bytes came, Timeout when nothing happened in time.
inline ReadEnd WaitEnd(int fd, int timeoutMs)
{
    std::string s;
    ReadEnd e = RecvN(fd, 1, &s, timeoutMs);
    return e;
}

// Running SHA-256 of a byte stream.
class Sha256 {
public:
    Sha256()
    {
        mbedtls_sha256_init(&m_ctx);
        mbedtls_sha256_starts_ret(&m_ctx, 0);
    }
    ~Sha256() { mbedtls_sha256_free(&m_ctx); }
    void Add(const void* p, size_t n) { mbedtls_sha256_update_ret(&m_ctx, (const unsigned char*)p, n); }
    std::string Hex()
    {
        unsigned char d[32];
        mbedtls_sha256_finish_ret(&m_ctx, d);
        static const char* x = "0123456789abcdef";
        std::string s;
        for (unsigned char c : d) {
            s += x[c >> 4];
            s += x[c & 15];
        }
        return s;
    }

private:
    mbedtls_sha256_context m_ctx;
};

// Bytes of a repeatable pseudo-random stream (xorshift), different per seed.
inline void FillStream(uint64_t* state, char* p, size_t n)
{
    uint64_t x = *state;
    for (size_t i = 0; i < n; i++) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        p[i] = (char)(x >> 24);
    }
    *state = x;
}

// Sends `bytes` bytes of the stream of `seed` on one thread while reading as many back on the
// caller's thread (an echo); the digests of what went out and what came back. False when the
// echo did not come back whole within timeoutMs.
struct EchoResult {
    bool whole = false;
    std::string sent, received;
    ReadEnd end = ReadEnd::Timeout;
};
inline EchoResult EchoStream(int fd, size_t bytes, uint64_t seed, int timeoutMs)
{
    EchoResult r;
    Sha256 out, in;
    std::thread sender([&] {
        uint64_t state = seed | 1;
        std::vector<char> buf(65536);
        size_t left = bytes;
        while (left > 0) {
            size_t n = left < buf.size() ? left : buf.size();
            FillStream(&state, buf.data(), n);
            out.Add(buf.data(), n);
            if (!SendAll(fd, buf.data(), n))
                break;
            left -= n;
        }
    });
    int64_t end = NowMs() + timeoutMs;
    std::vector<char> buf(65536);
    size_t got = 0;
    r.end = ReadEnd::Data;
    while (got < bytes) {
        int64_t wait = end - NowMs();
        if (wait <= 0 || !WaitReadable(fd, (int)wait)) {
            r.end = ReadEnd::Timeout;
            break;
        }
        ssize_t k = recv(fd, buf.data(), buf.size(), 0);
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0) {
            r.end = k == 0 ? ReadEnd::Closed : ReadEnd::Reset;
            break;
        }
        in.Add(buf.data(), (size_t)k);
        got += (size_t)k;
    }
    if (got < bytes)
        shutdown(fd, SHUT_RDWR);  // lets a blocked sender go
    sender.join();
    r.whole = got == bytes;
    r.sent = out.Hex();
    r.received = in.Hex();
    return r;
}

// Accepts connections on a listening socket and runs one thread per connection with the
// given handler; the connection is closed when the handler returns. Stops and joins on
// destruction.
class Service {
public:
    using Handler = std::function<void(int fd)>;
    Service() = default;
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;
    ~Service() { Stop(); }

    // Listens on ip:port inside ns; false when the socket could not be made.
    bool Start(const std::string& ns, const std::string& ip, uint16_t port, Handler h)
    {
        m_fd = TcpListen(ns, ip, port);
        if (m_fd < 0)
            return false;
        m_port = TcpPort(m_fd);
        m_handler = std::move(h);
        m_run = true;
        m_accept = std::thread([this] { AcceptLoop(); });
        return true;
    }
    uint16_t Port() const { return m_port; }
    int Accepted() const { return m_accepted; }
    int Open() const { return m_open; }
    void Stop()
    {
        if (!m_run.exchange(false))
            return;
        shutdown(m_fd, SHUT_RDWR);
        m_accept.join();
        close(m_fd);
        std::vector<std::thread> v;
        {
            std::lock_guard<std::mutex> g(m_mutex);
            for (int fd : m_conns)
                if (fd >= 0)
                    shutdown(fd, SHUT_RDWR);
            v.swap(m_threads);
        }
        for (auto& t : v)
            t.join();
    }

private:
    void AcceptLoop()
    {
        while (m_run) {
            if (!WaitReadable(m_fd, 100))
                continue;
            int fd = accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            m_accepted++;
            m_open++;
            std::lock_guard<std::mutex> g(m_mutex);
            m_conns.push_back(fd);
            m_threads.emplace_back([this, fd] {
                m_handler(fd);
                std::lock_guard<std::mutex> g2(m_mutex);
                for (auto& c : m_conns)
                    if (c == fd)
                        c = -1;
                close(fd);
                m_open--;
            });
        }
    }
    int m_fd = -1;
    uint16_t m_port = 0;
    Handler m_handler;
    std::atomic<bool> m_run{false};
    std::atomic<int> m_accepted{0}, m_open{0};
    std::thread m_accept;
    std::mutex m_mutex;
    std::vector<int> m_conns;
    std::vector<std::thread> m_threads;
};

// Echo: everything read is written back; at the client's end of sending the service has
// written everything back and closes.
inline void EchoHandler(int fd)
{
    char buf[65536];
    for (;;) {
        ssize_t k = recv(fd, buf, sizeof(buf), 0);
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0 || !SendAll(fd, buf, (size_t)k))
            break;
    }
}

// HTTP/1.1: every request head ("GET /N ..." with an optional Content-Length body) is answered
// with a body of N bytes ("x" repeated, or the request body echoed for a POST). Requests that
// follow one another on a connection are answered in order. "/close/N" answers N bytes
// without a length and closes the connection: the end of the response is the close.
inline void HttpHandler(int fd)
{
    std::string in;
    char buf[16384];
    for (;;) {
        size_t headEnd = in.find("\r\n\r\n");
        if (headEnd == std::string::npos) {
            ssize_t k = recv(fd, buf, sizeof(buf), 0);
            if (k < 0 && errno == EINTR)
                continue;
            if (k <= 0)
                break;
            in.append(buf, (size_t)k);
            continue;
        }
        std::string head = in.substr(0, headEnd);
        size_t bodyLen = 0;
        size_t cl = head.find("Content-Length: ");
        if (cl != std::string::npos)
            bodyLen = strtoul(head.c_str() + cl + 16, nullptr, 10);
        while (in.size() < headEnd + 4 + bodyLen) {
            ssize_t k = recv(fd, buf, sizeof(buf), 0);
            if (k <= 0)
                break;
            in.append(buf, (size_t)k);
        }
        if (in.size() < headEnd + 4 + bodyLen)
            break;
        std::string body = in.substr(headEnd + 4, bodyLen);
        in.erase(0, headEnd + 4 + bodyLen);
        size_t sp1 = head.find(' '), sp2 = head.find(' ', sp1 + 1);
        std::string target = sp1 == std::string::npos ? "" : head.substr(sp1 + 1, sp2 - sp1 - 1);
        // An absolute target of a proxy request: its path.
        if (target.compare(0, 7, "http://") == 0) {
            size_t slash = target.find('/', 7);
            target = slash == std::string::npos ? "/" : target.substr(slash);
        }
        bool bClose = target.compare(0, 7, "/close/") == 0;
        std::string out;
        if (head.compare(0, 5, "POST ") == 0)
            out = body;
        else
            out.assign(strtoul(target.c_str() + (bClose ? 7 : 1), nullptr, 10), 'x');
        std::string resp = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n";
        if (!bClose)
            resp += "Content-Length: " + std::to_string(out.size()) + "\r\n";
        resp += "\r\n" + out;
        if (!SendAll(fd, resp) || bClose)
            break;
    }
}

}  // namespace kvtun
