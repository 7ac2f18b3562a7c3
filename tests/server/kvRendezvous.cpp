// kv_rendezvous: the test rendezvous server. A fixture for the tests (started inside the
// network lab's namespaces) and for demonstrations, not part of the product.
//
//   kv_rendezvous --addr IP:PORT [--name NAME] [--account USER:PASS[:TYPE[:PARAM]]]...
//                 [--accounts FILE] [--expire SECONDS] [--param TEXT] [--redirect IP:PORT]...
//                 [--table N] [--control FIFO] [--log DIR] [--mnguser NAME]
//                 [--passcode CODE:DOMAIN]... [--nosess]
//
// One UDP socket on --addr carries everything; byte 1 of a datagram picks its handler:
//   below 0x40        a peer socket packet of a client's node session (kvSrvNode)
//   0x40              a relay envelope: the socket packet inside comes from the address in it
//   0x41 .. 0x7F      a connect-control message for the station (kvSrvStation)
//   0x80              UDP over IPv4 tunnel data: the socket packet after its 12-byte header
//   0x81              UDP over IPv4 loop request (kvSrvStation)
// Anything else is dropped.
//
// --control names a FIFO (made when missing) that takes one command per line:
//   tick N            run N one-second ticks now (ageing of holes and silent logins)
//   kick USER [PARAM] end USER's login with a kick-out
//   notify USER TEXT  send TEXT (the rest of the line) to USER as a server notification
//   tunnel USER TEXT  add the connection text TEXT ("(name){...}") to USER's tunnel list
//   untunnel USER NAME  take the connection NAME off USER's tunnel list
//   quit              stop
// The server prints what it does on standard output, each line starting with "kvsrv: ";
// "kvsrv: ready" once it serves.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

#include "kvSrvAccounts.h"
#include "kvSrvCarrier.h"
#include "kvSrvNode.h"
#include "kvSrvStation.h"
#include "kvSrvWire.h"
#include "qvLog.h"
#include "qvTimer.h"

using namespace kvsrv;

namespace {

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

// Relay envelope: [4] the first sender's address record (16 bytes IP, u16 port, u16 extra).
const u32 kEnvelope = 24;
// UDP over IPv4 tunnel data header.
const u32 kTunnelHdr = 12;
// Head room kept in front of a received datagram for the socket layer.
const u32 kHead = 64;
const u32 kDgramMax = 2048;

int Usage(const char* why)
{
    fprintf(stderr, "kv_rendezvous: %s\n", why);
    fprintf(stderr,
            "usage: kv_rendezvous --addr IP:PORT [--name NAME] [--account USER:PASS[:TYPE[:PARAM]]]...\n"
            "       [--accounts FILE] [--expire SECONDS] [--param TEXT] [--redirect IP:PORT]...\n"
            "       [--table N] [--control FIFO] [--log DIR] [--mnguser NAME] [--passcode CODE:DOMAIN]...\n"
            "       [--nosess]\n");
    return 2;
}

bool Number(const char* s, u32 lo, u32 hi, u32* out)
{
    char* end = nullptr;
    errno = 0;
    unsigned long v = strtoul(s, &end, 10);
    if (errno || !end || *end || end == s || v < lo || v > hi)
        return false;
    *out = (u32)v;
    return true;
}

class Server {
public:
    Server(const NodeServer::Config& cfg, const Accounts& acc)
        : m_carrier([this](const QV_ADDR_S& to, const u8* d, u32 n) { return SendTo(to, d, n); }),
          m_station([this](const QV_ADDR_S& to, const u8* d, u32 n) { SendTo(to, d, n); }),
          m_node(cfg, acc, &m_station, &m_carrier)
    {
    }
    ~Server()
    {
        m_node.Stop();
        if (m_fd >= 0)
            close(m_fd);
    }
    Station& GetStation() { return m_station; }
    NodeServer& Node() { return m_node; }

    bool Open(const QV_ADDR_S& addr)
    {
        m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        if (m_fd < 0)
            return false;
        int one = 1;
        setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        sockaddr_in sa;
        memset(&sa, 0, sizeof(sa));
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = addr.uAddr[3];
        sa.sin_port = htons(addr.uPort);
        return bind(m_fd, (sockaddr*)&sa, sizeof(sa)) == 0 && m_node.Start();
    }
    int Fd() const { return m_fd; }

    // Reads every waiting datagram.
    void Receive()
    {
        u8 raw[kHead + kDgramMax];
        for (;;) {
            sockaddr_in sa;
            socklen_t sl = sizeof(sa);
            ssize_t n = recvfrom(m_fd, raw + kHead, kDgramMax, 0, (sockaddr*)&sa, &sl);
            if (n < 0)
                return;
            if (sa.sin_family != AF_INET)
                continue;
            QV_ADDR_S from;
            memset(&from, 0, sizeof(from));
            from.uAddr[3] = sa.sin_addr.s_addr;
            from.uPort = ntohs(sa.sin_port);
            Dispatch(from, raw, kHead, (u32)n);
        }
    }

private:
    void Dispatch(const QV_ADDR_S& from, u8* raw, u32 off, u32 len)
    {
        if (len < 2)
            return;
        const u8* p = raw + off;
        u8 act = p[1];
        if (act < 0x40) {
            m_node.OnSocketData(from, raw, off, len);
        } else if (act == 0x40) {
            if (len < kEnvelope + 2)
                return;
            QV_ADDR_S first = RdRec(p, 4);
            first.uExtra = 0;
            const u8* in = p + kEnvelope;
            // Socket packets belong to the first sender; a station message is answered
            // where it came from.
            if (in[1] < 0x40)
                m_node.OnSocketData(first, raw, off + kEnvelope, len - kEnvelope);
            else
                m_station.OnConnectControl(from, in, len - kEnvelope);
        } else if (act < 0x80) {
            m_station.OnConnectControl(from, p, len);
        } else if (act == 0x80) {
            if (len >= kTunnelHdr + 2 && p[kTunnelHdr + 1] < 0x40)
                m_node.OnSocketData(from, raw, off + kTunnelHdr, len - kTunnelHdr);
        } else if (act == kUdpLoopReq) {
            m_station.OnLoopRequest(from, p, len);
        }
    }

    s32 SendTo(const QV_ADDR_S& to, const u8* d, u32 n)
    {
        if (qvAddrIPVer(&to) != QV_ADDR_VER_IPV4)
            return -1;
        sockaddr_in sa;
        memset(&sa, 0, sizeof(sa));
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = to.uAddr[3];
        sa.sin_port = htons(to.uPort);
        ssize_t r = sendto(m_fd, d, n, 0, (sockaddr*)&sa, sizeof(sa));
        return r < 0 ? -1 : (s32)r;
    }

    int m_fd = -1;
    Carrier m_carrier;
    Station m_station;
    NodeServer m_node;
};

// Commands of the control FIFO; false on "quit".
bool Command(Server& srv, const std::string& line)
{
    // Commands whose last argument is the rest of the line.
    for (const char* verb : {"notify ", "tunnel "}) {
        size_t vl = strlen(verb);
        if (line.compare(0, vl, verb) != 0)
            continue;
        size_t sp = line.find(' ', vl);
        if (sp == std::string::npos || sp == vl) {
            Out("control: %s wants USER TEXT", verb);
            return true;
        }
        std::string user = line.substr(vl, sp - vl), text = line.substr(sp + 1);
        if (verb[0] == 'n')
            Out("notify user=%s %s", user.c_str(), srv.Node().Notify(user, text) ? "sent" : "not logged in");
        else
            Out("tunnel user=%s %s", user.c_str(), srv.Node().AddTunnel(user, text) ? "added" : "refused");
        return true;
    }
    char word[16] = {0}, arg[256] = {0};
    unsigned long num = 0;
    int n = sscanf(line.c_str(), "%15s %255s %lu", word, arg, &num);
    if (n < 1)
        return true;
    std::string w = word;
    if (w == "quit")
        return false;
    if (w == "tick") {
        u32 count = 0;
        if (n < 2 || !Number(arg, 1, 100000, &count)) {
            Out("control: bad tick count");
            return true;
        }
        for (u32 i = 0; i < count; i++) {
            srv.GetStation().Tick();
            srv.Node().Tick();
        }
        Out("ticked %u", count);
    } else if (w == "untunnel" && n >= 2) {
        char name[256] = {0};
        if (sscanf(line.c_str(), "%*s %*s %255s", name) != 1) {
            Out("control: untunnel wants USER NAME");
            return true;
        }
        Out("untunnel user=%s name=%s %s", arg, name, srv.Node().RemoveTunnel(arg, name) ? "removed" : "absent");
    } else if (w == "kick" && n >= 2) {
        if (!srv.Node().Kick(arg, n >= 3 ? (u32)num : 0))
            Out("kick user=%s: not logged in", arg);
        else
            Out("kick user=%s reason=control", arg);
    } else {
        Out("control: unknown command %s", word);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    NodeServer::Config cfg;
    Accounts acc;
    QV_ADDR_S addr;
    memset(&addr, 0, sizeof(addr));
    std::vector<QV_ADDR_PAIR_S> redirect;
    std::string control, logDir;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--nosess") {
            cfg.sessText = false;
            continue;
        }
        if (i + 1 >= argc)
            return Usage(("missing value after " + a).c_str());
        const char* v = argv[++i];
        std::string why;
        u32 num = 0;
        if (a == "--addr") {
            if (!ParseIPv4Port(v, &addr))
                return Usage("--addr wants IPv4:PORT");
        } else if (a == "--name") {
            cfg.name = v;
            if (cfg.name.empty() || cfg.name.size() > 127)
                return Usage("--name wants 1 to 127 characters");
        } else if (a == "--account") {
            if (!acc.Add(v, &why))
                return Usage(("--account: " + why).c_str());
        } else if (a == "--accounts") {
            if (!acc.Load(v, &why))
                return Usage(("--accounts: " + why).c_str());
        } else if (a == "--expire") {
            if (!Number(v, 1, 3600, &num))
                return Usage("--expire wants 1 to 3600 seconds");
            cfg.expire = (u16)num;
        } else if (a == "--param") {
            cfg.param = v;
            if (cfg.param.size() > 255)
                return Usage("--param longer than 255 characters");
        } else if (a == "--redirect") {
            QV_ADDR_PAIR_S pair;
            memset(&pair, 0, sizeof(pair));
            if (!ParseIPv4Port(v, &pair.Addr4))
                return Usage("--redirect wants IPv4:PORT");
            redirect.push_back(pair);
        } else if (a == "--table") {
            if (!Number(v, 2, 0xFFFE, &num))
                return Usage("--table wants 2 to 65534");
            cfg.table = (u16)num;
        } else if (a == "--mnguser") {
            cfg.mng = v;
        } else if (a == "--passcode") {
            std::string p = v;
            if (p.find(':') == std::string::npos || p.front() == ':' || p.back() == ':')
                return Usage("--passcode wants CODE:DOMAIN");
            cfg.passCodes.push_back(p);
        } else if (a == "--control") {
            control = v;
        } else if (a == "--log") {
            logDir = v;
        } else {
            return Usage(("unknown option " + a).c_str());
        }
    }
    if (!addr.uPort)
        return Usage("--addr is required");
    cfg.proxy = AddrText(addr);

    signal(SIGPIPE, SIG_IGN);
    signal(SIGTERM, OnSignal);
    signal(SIGINT, OnSignal);
    if (!logDir.empty())
        qvLogInit(0xF, logDir.c_str(), "kvsrv", 0, 0);
    if (!qvTimerInit(64)) {
        fprintf(stderr, "kv_rendezvous: timer service failed\n");
        return 1;
    }
    int ctl = -1;
    if (!control.empty()) {
        if (mkfifo(control.c_str(), 0600) != 0 && errno != EEXIST) {
            fprintf(stderr, "kv_rendezvous: cannot make %s: %s\n", control.c_str(), strerror(errno));
            return 1;
        }
        // Opened for writing too, so that the FIFO never reads as ended between writers.
        ctl = open(control.c_str(), O_RDWR | O_NONBLOCK);
        if (ctl < 0) {
            fprintf(stderr, "kv_rendezvous: cannot open %s: %s\n", control.c_str(), strerror(errno));
            return 1;
        }
    }
    int rc = 0;
    {
        Server srv(cfg, acc);
        srv.GetStation().SetRedirect(redirect);
        if (!srv.Open(addr)) {
            fprintf(stderr, "kv_rendezvous: cannot serve on %s: %s\n", AddrText(addr).c_str(), strerror(errno));
            rc = 1;
        } else {
            Out("ready addr=%s name=%s accounts=%zu", AddrText(addr).c_str(), cfg.name.c_str(), acc.Count());
            std::string pending;
            u32 nextTick = GET_TIMESTAMP() + 1000;
            while (!g_stop) {
                pollfd fds[2] = {{srv.Fd(), POLLIN, 0}, {ctl, POLLIN, 0}};
                int wait = (int)(nextTick - GET_TIMESTAMP());
                if (wait > 1000) {
                    // The clock went back: the next tick is a second from now.
                    nextTick = GET_TIMESTAMP() + 1000;
                    wait = 1000;
                } else if (wait < 0) {
                    wait = 0;
                }
                int r = poll(fds, ctl >= 0 ? 2 : 1, wait);
                if (r < 0 && errno != EINTR)
                    break;
                if (r > 0 && (fds[0].revents & POLLIN))
                    srv.Receive();
                if (r > 0 && ctl >= 0 && (fds[1].revents & POLLIN)) {
                    char buf[512];
                    ssize_t n = read(ctl, buf, sizeof(buf));
                    if (n > 0)
                        pending.append(buf, (size_t)n);
                    size_t nl;
                    while ((nl = pending.find('\n')) != std::string::npos) {
                        std::string line = pending.substr(0, nl);
                        pending.erase(0, nl + 1);
                        if (!Command(srv, line))
                            g_stop = 1;
                    }
                    if (pending.size() > 4096)
                        pending.clear();
                }
                if ((s32)(GET_TIMESTAMP() - nextTick) >= 0) {
                    nextTick += 1000;
                    srv.GetStation().Tick();
                    srv.Node().Tick();
                }
            }
            Out("stopped");
        }
    }
    if (ctl >= 0)
        close(ctl);
    qvTimerClean();
    return rc;
}
