// A real node with the File class, the file extension and the socket stream extension, set up
// as one end of a pair of static peers: the host program of the File milestone tests (tool_file)
// and of the file benchmark. Streams are socket pairs inside the process: a source thread
// writes a known pattern into one end (blocking when the node stops reading), a sink thread
// reads the other end of a second pair and checks the pattern (and can stop reading).
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "qvClassFile.h"
#include "qvClassPeer.h"
#include "qvExtFile.h"
#include "qvNodeDef.h"
#include "qvSockDriv.h"
#include "qvSocketAddr.h"
#include "qvTimer.h"
#include "test_file_extsock.h"

namespace kvfile {

inline u8 StreamByte(u64 i)
{
    return (u8)((i * 2654435761u) >> 13) ^ (u8)(i >> 8);
}

// A pattern writer into one end of a socket pair whose other end the node reads.
class StreamSource {
public:
    ~StreamSource() { Join(); }
    bool Start(SockStreamExt& ext, const std::string& name, u64 uBytes)
    {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return false;
        m_node = sv[0];
        m_mine = sv[1];
        if (!ext.Register(name, m_node)) return false;
        m_thread = std::thread([this, uBytes] {
            std::vector<u8> buf(64 * 1024);
            u64 done = 0;
            while (done < uBytes) {
                size_t n = (size_t)std::min<u64>(buf.size(), uBytes - done);
                for (size_t i = 0; i < n; i++) buf[i] = StreamByte(done + i);
                ssize_t w = write(m_mine, buf.data(), n);
                if (w <= 0) break;
                done += (u64)w;
                m_written = done;
            }
            shutdown(m_mine, SHUT_WR);  // end of stream
            m_done = true;
        });
        return true;
    }
    u64 Written() const { return m_written.load(); }
    bool Done() const { return m_done.load(); }
    void Join()
    {
        if (m_thread.joinable()) {
            if (!m_done) shutdown(m_mine, SHUT_RDWR);
            m_thread.join();
        }
        if (m_mine >= 0) close(m_mine);
        if (m_node >= 0) close(m_node);
        m_mine = m_node = -1;
    }

private:
    int m_node = -1, m_mine = -1;
    std::thread m_thread;
    std::atomic<u64> m_written{0};
    std::atomic<bool> m_done{false};
};

// A pattern checker on one end of a socket pair whose other end the node writes.
class StreamSink {
public:
    ~StreamSink() { Join(); }
    bool Start(SockStreamExt& ext, const std::string& name, u32 uRcvBuf = 0)
    {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return false;
        m_node = sv[0];
        m_mine = sv[1];
        if (uRcvBuf) {
            int v = (int)uRcvBuf;
            setsockopt(m_node, SOL_SOCKET, SO_SNDBUF, &v, sizeof(v));
            setsockopt(m_mine, SOL_SOCKET, SO_RCVBUF, &v, sizeof(v));
        }
        if (!ext.Register(name, m_node)) return false;
        m_thread = std::thread([this] {
            std::vector<u8> buf(64 * 1024);
            u64 got = 0;
            for (;;) {
                if (m_pause) {
                    if (m_stop) break;
                    usleep(2000);
                    continue;
                }
                ssize_t r = read(m_mine, buf.data(), buf.size());
                if (r <= 0) break;
                for (ssize_t i = 0; i < r; i++)
                    if (buf[i] != StreamByte(got + (u64)i)) m_corrupt = true;
                got += (u64)r;
                m_read = got;
            }
            m_eof = true;
        });
        return true;
    }
    void Pause(bool b) { m_pause = b; }
    u64 Read() const { return m_read.load(); }
    bool Eof() const { return m_eof.load(); }
    bool Corrupt() const { return m_corrupt.load(); }
    void Join()
    {
        if (m_thread.joinable()) {
            m_stop = true;
            m_pause = false;
            shutdown(m_mine, SHUT_RDWR);
            m_thread.join();
        }
        if (m_mine >= 0) close(m_mine);
        if (m_node >= 0) close(m_node);
        m_mine = m_node = -1;
    }

private:
    int m_node = -1, m_mine = -1;
    std::thread m_thread;
    std::atomic<u64> m_read{0};
    std::atomic<bool> m_eof{false}, m_corrupt{false}, m_pause{false}, m_stop{false};
};

// One node: its own peer object (self) and the other node as a static peer.
class FileNodeHost : public IQVNodeProc {
public:
    // Lines about replies, status reports and peer cancels ("REPLY <name> <error> <param>",
    // "STATUS <name> <status> <cursize> <reqsize> <side>", "CANCELLED <name>",
    // "BLOCKED <name>") go here, from the node's dispatch thread.
    std::function<void(const std::string&)> onLine;
    std::string acceptDir;  // accept the peer's Put and Get of files under this directory
    SockStreamExt streams;

    ~FileNodeHost() override { Stop(); }

    // Starts the node as <self> and finds <peer> on the LAN (discovery label "kvfile"); Connect
    // then makes it a static peer at the address found. Both nodes should connect at about the
    // same time: a peer socket that arrives before this side has added its own is taken for a
    // new incoming peer.
    bool Start(const std::string& self, const std::string& peer, u32 uClassOption = 0)
    {
        m_why = "timer";
        if (!qvTimerInit(64)) return false;
        m_node = qvNewNode();
        if (!m_node) return false;
        m_class = new CQVClassFile();
        m_ext = new CQVExtFile();
        m_uOption = uClassOption;
        if (!m_node->AttachClass(m_class, QV_CLASS_FILE, 128) || !m_node->AttachExtend(m_ext, QV_EXT_FILE, 0x7fff) ||
            !m_node->AttachExtend(&streams, QV_EXT_TCP, 64))
            return false;
        QV_CFG_S c;
        memset(&c, 0, sizeof(c));
        c.uPeerMax = 16;
        c.uGroupMax = 8;
        c.uObjMax = 256;
        c.uMCastMax = 512;
        c.uHandleMax = 128;
        c.uNotifyMax = 256;
        c.uExtInstMax = 64;
        c.auQueueSize[0] = 64;
        c.auQueueSize[1] = 64;
        c.auQueueSize[2] = 256;
        c.auQueueSize[3] = 128;
        c.uClassOption = uClassOption;
        m_why = "initialize";
        if (!m_node->Initialize(nullptr, this, &c)) return false;
        m_self = m_node->ObjectAdd(self.c_str(), QV_CLASS_PEER, 0, QV_PEER_FLAG_SELF);
        auto* lan = static_cast<IQVSocketLANPriv*>(m_node->GetSocketPrivate(3));
        m_why = "LAN driver";
        if (!m_self || !lan || !lan->Enable(1, 0, self.c_str(), "kvfile")) return false;
        bool found = false;
        for (int t = 0; t < 300 && !found; t++) {
            // A scan also tries every address of the subnet one by one, which fills the
            // machine's neighbour table: once a second is enough.
            if (t % 5 == 0) lan->ScanLaunch(0);
            usleep(200 * 1000);
            QV_SKT_LAN_PEER_S res[8];
            u32 n = lan->ScanGetResult(res, 8);
            for (u32 i = 0; i < n; i++)
                if (peer == res[i].szPeerID) {
                    m_peerAddr = res[i].Addr;
                    found = true;
                }
        }
        m_peerName = peer;
        m_why = "peer not found on the LAN";
        return found;
    }
    bool Connect()
    {
        char rec[384];
        memset(rec, 0, sizeof(rec));
        qvAddrToStr(&m_peerAddr, rec, 128);
        int r = -1;
        // The peer that connected first is held here as an incoming peer of that name: it goes
        // before the static one is added. Its socket may bring it back in between (then the
        // name is an incoming peer again and its address is refused with 13): once more.
        for (int t = 0; t < 20; t++) {
            if (u32 old = m_node->ObjectGetID(m_peerName.c_str())) m_node->ObjectDelete(old);
            m_peer = m_node->ObjectAdd(m_peerName.c_str(), QV_CLASS_PEER, 0,
                                       QV_PEER_FLAG_STATIC | QV_PEER_FLAG_INFO | QV_PEER_FLAG_ADDED);
            r = m_peer ? m_node->ObjectRequest(m_peer, 37, rec, sizeof(rec), 0) : -1;
            if (r != 13) break;
            usleep(50 * 1000);
        }
        m_why = "static peer address refused: " + std::to_string(r);
        return r == 0;
    }
    void Stop()
    {
        if (m_node) {
            m_node->Clean();
            m_node->Delete();
            m_node = nullptr;
        }
        if (m_class) m_class->Delete();
        if (m_ext) m_ext->Delete();
        m_class = nullptr;
        m_ext = nullptr;
        streams.Delete();
    }
    IQVNode* Node() { return m_node; }
    // Why Start failed.
    const std::string& Why() const { return m_why; }

    u32 AddObject(const std::string& name, u32 uFlags)
    {
        u32 h = m_node->ObjectAdd(name.c_str(), QV_CLASS_FILE, m_peer, uFlags);
        std::lock_guard<std::mutex> lk(m_mu);
        if (h) m_names[h] = name;
        return h;
    }
    u32 Object(const std::string& name)
    {
        std::lock_guard<std::mutex> lk(m_mu);
        for (auto& n : m_names)
            if (n.second == name) return n.first;
        return 0;
    }
    int Transfer(u32 uMethod, const std::string& name, const std::string& path, const std::string& peerPath, u64 off,
                 u64 size, u32 param)
    {
        QV_PARAM_FILE_REQ_S r;
        memset(&r, 0, sizeof(r));
        snprintf(r.Path, sizeof(r.Path), "%s", path.c_str());
        snprintf(r.PeerPath, sizeof(r.PeerPath), "%s", peerPath.c_str());
        r.Offset = off;
        r.Size = size;
        return m_node->ObjectRequest(Object(name), uMethod, &r, sizeof(r), param);
    }
    int Request(const std::string& name, u32 uMethod, const void* data = nullptr, u32 size = 0)
    {
        return m_node->ObjectRequest(Object(name), uMethod, data, size, 0);
    }

    // IQVNodeProc, on the node's dispatch thread.
    void OnReply(u32 uObject, u32 uError, const void*, u32, u32 uParam) override
    {
        Line("REPLY %s %u %u", Name(uObject).c_str(), uError, uParam);
    }
    int OnExtRequest(u32 uObject, u32 uMethod, const void* lpData, u32 uSize, u32 uHandle, u32) override
    {
        if ((uMethod == QV_FILE_EXT_PUT || uMethod == QV_FILE_EXT_GET) && uSize == sizeof(QV_PARAM_FILE_ASK_S)) {
            QV_PARAM_FILE_ASK_S ask;
            memcpy(&ask, lpData, sizeof(ask));
            ask.PeerPath[sizeof(ask.PeerPath) - 1] = 0;
            QV_PARAM_FILE_ACCEPT_S acc;
            memset(&acc, 0, sizeof(acc));
            const char* slash = strrchr(ask.PeerPath, '/');
            const char* base = slash ? slash + 1 : ask.PeerPath;
            // A stream of this node, or a file under the accept directory.
            std::string path = std::string(ask.PeerPath).rfind("stream/", 0) == 0 ? std::string("stream/") + base
                                                                                   : acceptDir + "/" + base;
            snprintf(acc.Path, sizeof(acc.Path), "%s", path.c_str());
            m_node->ObjectExtReply(uObject, 0, &acc, sizeof(acc), uHandle);
            return -1;
        }
        if (uMethod == QV_FILE_EXT_STATUS && uSize == sizeof(QV_PARAM_FILE_ST_S)) {
            QV_PARAM_FILE_ST_S st;
            memcpy(&st, lpData, sizeof(st));
            Line("STATUS %s %u %llu %llu %u", Name(uObject).c_str(), st.Status, (unsigned long long)st.CurSize,
                 (unsigned long long)st.ReqSize, st.Side);
        } else if (uMethod == QV_FILE_EXT_CANCEL)
            Line("CANCELLED %s", Name(uObject).c_str());
        else if (uMethod == QV_FILE_EXT_BLOCKED)
            Line("BLOCKED %s", Name(uObject).c_str());
        return 0;
    }

private:
    std::string Name(u32 uObject)
    {
        std::lock_guard<std::mutex> lk(m_mu);
        auto it = m_names.find(uObject);
        return it == m_names.end() ? "?" : it->second;
    }
    void Line(const char* fmt, ...) __attribute__((format(printf, 2, 3)))
    {
        char buf[512];
        va_list a;
        va_start(a, fmt);
        vsnprintf(buf, sizeof(buf), fmt, a);
        va_end(a);
        if (onLine) onLine(buf);
    }

    IQVNode* m_node = nullptr;
    CQVClassFile* m_class = nullptr;
    CQVExtFile* m_ext = nullptr;
    u32 m_uOption = 0;
    u32 m_self = 0, m_peer = 0;
    std::string m_why;
    std::string m_peerName;
    QV_ADDR_S m_peerAddr;
    std::mutex m_mu;
    std::map<u32, std::string> m_names;
};

}  // namespace kvfile
