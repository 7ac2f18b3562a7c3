// Stream extension over real sockets for the File tests and the file benchmark: the interface
// of the tunnel's TCP extension (slot 6) without the tunnel. The host registers a connected,
// non-blocking stream socket under a name; the File class opens "<anything>/<name>" with
// "(Option){(Mode){0}}" to read from it or "(Option){(Mode){1}}" to write to it. Reads and
// writes never block: when a socket has nothing to give or no room, the call returns 1 and the
// extension's own thread tells the node through IQVExtProc::OnEvent (2 readable, 1 writable)
// once the socket is ready again. A read of 0 bytes (the peer closed) or an error returns 0.
// Closing the writing instance shuts the socket down for writing, so the far end sees the end
// of the stream.
#pragma once

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "qvNodeDef.h"

namespace kvfile {

class SockStreamExt : public IQVExt {
public:
    SockStreamExt() : m_ep(epoll_create1(EPOLL_CLOEXEC)) {}
    ~SockStreamExt() override { Stop(); }

    // Registers a connected stream socket (made non-blocking here) under a name; the
    // extension does not own it.
    bool Register(const std::string& name, int fd)
    {
        int fl = fcntl(fd, F_GETFL);
        if (fl < 0 || fcntl(fd, F_SETFL, fl | O_NONBLOCK) < 0) return false;
        std::lock_guard<std::mutex> lk(m_mutex);
        m_fds[name] = fd;
        return true;
    }
    u64 BytesRead() const { return m_read.load(); }
    u64 BytesWritten() const { return m_written.load(); }

    void Delete() override { Stop(); }
    bool AttachDepend(IQVBase*, u32) override { return true; }
    bool OnInitialize(void*, IQVExtProc* lpProc, u32) override
    {
        m_proc = lpProc;
        if (m_ep < 0) return false;
        if (!m_thread.joinable()) {
            m_run = true;
            m_thread = std::thread([this] { Loop(); });
        }
        return true;
    }
    void OnClean() override {}
    bool OnOpen(void** lppInst, const char* lpszPath, const char* lpszOption, u32, u32 uHandle, IQVExtProc*) override
    {
        if (!lppInst || !lpszPath || !lpszOption) return false;
        const char* slash = strchr(lpszPath, '/');
        if (!slash) return false;
        u32 uMode;
        if (!strcmp(lpszOption, "(Option){(Mode){0}}"))
            uMode = 0;
        else if (!strcmp(lpszOption, "(Option){(Mode){1}}"))
            uMode = 1;
        else
            return false;
        std::lock_guard<std::mutex> lk(m_mutex);
        auto it = m_fds.find(slash + 1);
        if (it == m_fds.end()) return false;
        INST* inst = new INST;
        inst->fd = it->second;
        inst->uMode = uMode;
        inst->uHandle = uHandle;
        inst->uKey = ++m_key;
        // A socket used in both directions needs its own descriptor per direction in epoll.
        inst->epfd = dup(inst->fd);
        epoll_event ev;
        memset(&ev, 0, sizeof(ev));
        ev.events = EPOLLONESHOT;  // disarmed until a read or write finds nothing to do
        ev.data.u64 = inst->uKey;
        if (inst->epfd < 0 || epoll_ctl(m_ep, EPOLL_CTL_ADD, inst->epfd, &ev) != 0) {
            if (inst->epfd >= 0) close(inst->epfd);
            delete inst;
            return false;
        }
        m_inst[inst->uKey] = inst;
        *lppInst = inst;
        return true;
    }
    void OnClose(const void* lpInst, u32) override
    {
        INST* inst = (INST*)lpInst;
        std::lock_guard<std::mutex> lk(m_mutex);
        epoll_ctl(m_ep, EPOLL_CTL_DEL, inst->epfd, nullptr);
        close(inst->epfd);
        if (inst->uMode == 1) shutdown(inst->fd, SHUT_WR);
        m_inst.erase(inst->uKey);
        delete inst;
    }
    int OnRead(const void* lpInst, u32, void* lpBuf, u32* lpuSize, u64) override
    {
        INST* inst = (INST*)lpInst;
        if (inst->uMode != 0 || !lpuSize) return 0;
        ssize_t n = recv(inst->fd, lpBuf, *lpuSize, 0);
        if (n > 0) {
            *lpuSize = (u32)n;
            m_read += (u64)n;
            return 3;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            *lpuSize = 0;
            Arm(inst, EPOLLIN);
            return 1;
        }
        return 0;
    }
    int OnWrite(const void* lpInst, u32, const void* lpData, u32* lpuSize, u64) override
    {
        INST* inst = (INST*)lpInst;
        if (inst->uMode != 1 || !lpuSize) return 0;
        ssize_t n = send(inst->fd, lpData, *lpuSize, MSG_NOSIGNAL);
        if (n > 0) {
            *lpuSize = (u32)n;
            m_written += (u64)n;
            return 3;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            Arm(inst, EPOLLOUT);
            return 1;
        }
        return 0;
    }
    int OnCtrl(const void*, u32, const void*, u32, void*, u32*) override { return 1; }

private:
    struct INST {
        int fd;
        int epfd;
        u32 uMode;
        u32 uHandle;
        u64 uKey;
    };
    void Arm(INST* inst, u32 uEvents)
    {
        epoll_event ev;
        memset(&ev, 0, sizeof(ev));
        ev.events = uEvents | EPOLLONESHOT;
        ev.data.u64 = inst->uKey;
        epoll_ctl(m_ep, EPOLL_CTL_MOD, inst->epfd, &ev);
    }
    void Loop()
    {
        epoll_event evs[32];
        while (m_run) {
            int n = epoll_wait(m_ep, evs, 32, 100);
            for (int i = 0; i < n; i++) {
                u32 uHandle = 0, uEvent = 0;
                {
                    std::lock_guard<std::mutex> lk(m_mutex);
                    auto it = m_inst.find(evs[i].data.u64);
                    if (it == m_inst.end()) continue;
                    uHandle = it->second->uHandle;
                    uEvent = it->second->uMode == 0 ? 2 : 1;
                }
                if (m_proc) m_proc->OnEvent(uHandle, 0, uEvent, 0);
            }
        }
    }
    void Stop()
    {
        m_run = false;
        if (m_thread.joinable()) m_thread.join();
        std::lock_guard<std::mutex> lk(m_mutex);
        for (auto& i : m_inst) {
            close(i.second->epfd);
            delete i.second;
        }
        m_inst.clear();
        if (m_ep >= 0) close(m_ep);
        m_ep = -1;
    }

    int m_ep;
    IQVExtProc* m_proc = nullptr;
    std::atomic<bool> m_run{false};
    std::thread m_thread;
    std::mutex m_mutex;
    std::map<std::string, int> m_fds;
    std::map<u64, INST*> m_inst;
    u64 m_key = 0;
    std::atomic<u64> m_read{0}, m_written{0};
};

}  // namespace kvfile
