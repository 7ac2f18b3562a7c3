// kelvard and kelvard-daemon with the real tunnel, in the network lab: the test rendezvous
// server on one host, two machines beside it, each daemon in a box of its own (pid, mount and
// network namespace, its own /opt). The client installs through its installer (the install
// script run through a sudo stand-in), logs in, manages connections through its menu on a
// terminal, stops and starts the tunnel; a restarted daemon keeps its account and connections;
// second instances are refused; and TCP bytes go through a connection the client added, also
// after either end restarted.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <random>
#include <thread>

#include "kvDaemonBox.h"

using kvbox::ReadFile;
using kvbox::WriteFile;

namespace
{
const char* const kSrvName = "doZirizaSvr0";
const char* const kGroup = "lab";
const uint16_t kServicePort = 7000;  // the echo service on machine B
const uint16_t kLocalPort = 9100;    // the connection's local address on machine A

// An echo service listening on 127.0.0.1 inside a namespace; every connection is served on a
// thread of its own until its peer closes.
class EchoService
{
public:
    EchoService(const std::string& ns, uint16_t port)
    {
        kvlab::NetnsGuard guard(ns);
        if (!guard.Ok())
            return;
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        sockaddr_in sa = {};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(m_fd, (sockaddr*)&sa, sizeof(sa)) != 0 || listen(m_fd, 8) != 0)
        {
            close(m_fd);
            m_fd = -1;
            return;
        }
        m_thread = std::thread([this] { Serve(); });
    }
    ~EchoService()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        for (auto& t : m_conns)
            t.join();
        if (m_fd >= 0)
            close(m_fd);
    }
    bool Ok() const { return m_fd >= 0; }
    int Accepted() const { return m_accepted; }

private:
    void Serve()
    {
        while (!m_stop)
        {
            pollfd p = {m_fd, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            int c = accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0)
                continue;
            m_accepted++;
            m_conns.emplace_back([this, c] {
                char buf[16384];
                while (!m_stop)
                {
                    pollfd q = {c, POLLIN, 0};
                    if (poll(&q, 1, 50) <= 0)
                        continue;
                    ssize_t n = read(c, buf, sizeof(buf));
                    if (n <= 0)
                        break;
                    for (ssize_t off = 0; off < n;)
                    {
                        ssize_t w = write(c, buf + off, (size_t)(n - off));
                        if (w <= 0)
                            break;
                        off += w;
                    }
                }
                close(c);
            });
        }
    }
    int m_fd = -1;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_accepted{0};
    std::thread m_thread;
    std::vector<std::thread> m_conns;
};

// Connects to 127.0.0.1:port inside a namespace, sends the bytes and reads as many back.
// What came back (shorter when the exchange broke off or took longer than timeoutMs).
std::string Exchange(const std::string& ns, uint16_t port, const std::string& data, int timeoutMs = 15000)
{
    int fd = -1;
    {
        kvlab::NetnsGuard guard(ns);
        if (!guard.Ok())
            return "";
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    }
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connect(fd, (sockaddr*)&sa, sizeof(sa));
    std::string back;
    size_t sent = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (back.size() < data.size() && std::chrono::steady_clock::now() < deadline)
    {
        pollfd p = {fd, (short)(POLLIN | (sent < data.size() ? POLLOUT : 0)), 0};
        if (poll(&p, 1, 50) <= 0)
            continue;
        if (p.revents & (POLLERR | POLLHUP))
            break;
        if ((p.revents & POLLOUT) && sent < data.size())
        {
            ssize_t w = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
            if (w > 0)
                sent += (size_t)w;
        }
        if (p.revents & POLLIN)
        {
            char buf[16384];
            ssize_t n = read(fd, buf, sizeof(buf));
            if (n <= 0)
                break;
            back.append(buf, (size_t)n);
        }
    }
    close(fd);
    return back;
}

// True when something accepts TCP connections on 127.0.0.1:port inside a namespace.
bool Listening(const std::string& ns, uint16_t port)
{
    kvlab::NetnsGuard guard(ns);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = guard.Ok() && connect(fd, (sockaddr*)&sa, sizeof(sa)) == 0;
    close(fd);
    return ok;
}

std::string RandomBytes(size_t n)
{
    std::mt19937 rng(12345);
    std::string s(n, '\0');
    for (auto& c : s)
        c = (char)(rng() & 0xff);
    return s;
}
}  // namespace

// One machine: a box in a lab host with the release unpacked beside a sudo stand-in.
struct Machine
{
    kvlab::Host host;
    std::unique_ptr<kvbox::Box> box;
    std::vector<std::string> env;

    std::string In(const std::string& name) const { return box->Path(std::string(kvbox::kInstallDir) + "/" + name); }
    pid_t Daemon() const { return kvbox::LockHolder(1, box->Path(kvbox::kInstallDir)); }
    // Runs the installed client; its exit code, the output in *pOut.
    int Client(const std::vector<std::string>& args, std::string* pOut)
    {
        std::vector<std::string> argv = {"./kelvard"};
        argv.insert(argv.end(), args.begin(), args.end());
        pOut->clear();
        return box->Run(argv, kvbox::kInstallDir, pOut, env);
    }
    // Polls `kelvard status` until it prints this line.
    bool StatusBecomes(const std::string& line, int timeoutMs = 20000)
    {
        std::string out;
        return kvlab::WaitUntil([&] { return Client({"status"}, &out) == 0 && out == line; }, timeoutMs);
    }
};

class Lab : public ::testing::Test
{
protected:
    void SetUp() override
    {
        KV_LAB_REQUIRE();
        std::string why;
        // The test process keeps a private mount namespace and /opt of its own, too.
        ASSERT_TRUE(kvbox::PrivateInstallDir(&why)) << why;
        lab = std::make_unique<kvlab::Lab>();
        kvlab::Segment net = lab->AddSegment("net");
        srv = lab->AddHost(net, "srv");
        a.host = lab->AddHost(net, "a");
        b.host = lab->AddHost(net, "b");
        ASSERT_TRUE(lab->PinNeighbours({srv, a.host, b.host}));
        ASSERT_TRUE(lab->QuietScans({a.host, b.host}));
        srvAddr = srv.ip4 + ":7781";
        server = lab->SpawnIn(srv, {KV_RENDEZVOUS, "--addr", srvAddr, "--name", kSrvName, "--nosess", "--account",
                                    std::string("_DEV_alice@") + kGroup + ":pa", "--account",
                                    std::string("_DEV_bob@") + kGroup + ":pb"});
        ASSERT_TRUE(server.WaitOutput("kvsrv: ready", 10000)) << server.Output();

        ASSERT_TRUE(WriteFile(bin.Path() + "/sudo", "#!/bin/sh\nexec \"$@\"\n", 0755));
        for (Machine* m : {&a, &b})
        {
            m->box = std::make_unique<kvbox::Box>(m->host.ns, true);
            ASSERT_TRUE(m->box->Ok());
            m->env = {"PATH=" + bin.Path() + ":/usr/sbin:/usr/bin:/sbin:/bin", "KELVARD_SERVER=" + srvAddr,
                      "HOME=" + bin.Path()};
        }
    }
    void TearDown() override
    {
        a.box.reset();
        b.box.reset();
        server.Kill();
        lab.reset();
    }

    // `kelvard install` on a terminal: the account typed in, the install script run, the login.
    void Install(Machine& m, const std::string& user, const std::string& pass)
    {
        kvbox::Pty pty = m.box->Terminal({"./kelvard", "install"}, KV_RELEASE_DIR, m.env);
        ASSERT_TRUE(pty.Expect("KELVARD client for Linux V3.1.1.295\r\n")) << pty.All();
        ASSERT_TRUE(pty.Expect("请输入组名: ")) << pty.All();
        pty.Line(kGroup);
        ASSERT_TRUE(pty.Expect("请输入客户端ID: "));
        pty.Line(user);
        ASSERT_TRUE(pty.Expect("请输入密码: "));
        pty.Line(pass);
        ASSERT_TRUE(pty.Expect("用户ID:" + user + ", 登录成功", 30000)) << pty.All() << Dump(m);
        EXPECT_EQ(0, pty.Wait());
        EXPECT_EQ(std::string::npos, pty.All().find(pass + "\r")) << "the password is not echoed";
    }
    // What the daemon, its tunnel and the server said, for a failure's message.
    std::string Dump(Machine& m)
    {
        std::string out = "daemon log:\n" + ReadFile(m.In("log")) + "server:\n" + server.Output();
        kvlab::Sh("cat " + m.In("home") + "/doZiriza/*/*.log 2>/dev/null | tail -n 150", &out);
        return out;
    }
    // The menu on a terminal, at its prompt.
    kvbox::Pty Menu(Machine& m)
    {
        kvbox::Pty pty = m.box->Terminal({"./kelvard", "config"}, kvbox::kInstallDir, m.env);
        EXPECT_TRUE(pty.Expect(kPrompt)) << pty.All();
        return pty;
    }
    void AddConnection(Machine& m, kvbox::Pty& pty, const std::string& remote, uint16_t srvPort, uint16_t cliPort)
    {
        pty.Line("2");
        ASSERT_TRUE(pty.Expect("请输入远程服务ID: "));
        pty.Line(remote);
        ASSERT_TRUE(pty.Expect("请输入服务端地址: "));
        pty.Line("127.0.0.1:" + std::to_string(srvPort));
        ASSERT_TRUE(pty.Expect("请输入客户端地址: "));
        pty.Line("127.0.0.1:" + std::to_string(cliPort));
        ASSERT_TRUE(pty.Expect("添加成功\r\n" + std::string(kPrompt))) << pty.Pending() << Dump(m);
    }
    static std::string ListLine(int seq, const std::string& remote, uint16_t srvPort, uint16_t cliPort)
    {
        char line[256];
        snprintf(line, sizeof(line), "%d\t%s\t\t%-32s%s", seq, remote.c_str(),
                 ("127.0.0.1:" + std::to_string(srvPort)).c_str(), ("127.0.0.1:" + std::to_string(cliPort)).c_str());
        return line;
    }
    // Bytes sent to the connection's local address on A come back from the echo service on B.
    void ExpectTransfer(size_t n)
    {
        std::string data = RandomBytes(n);
        std::string back = Exchange(a.host.ns, kLocalPort, data);
        ASSERT_EQ(data.size(), back.size()) << "bytes back through the tunnel";
        EXPECT_TRUE(back == data) << "the bytes came back changed";
    }

    static constexpr const char* kPrompt = "请输入对应功能序号(输入m查看主菜单): ";
    std::unique_ptr<kvlab::Lab> lab;
    kvlab::Host srv;
    std::string srvAddr;
    kvlab::Process server;
    kvlab::TempDir bin;
    Machine a, b;
};

TEST_F(Lab, InstallLogInAndConnectionsThroughTheMenu)
{
    ASSERT_NO_FATAL_FAILURE(Install(a, "alice", "pa"));
    ASSERT_NO_FATAL_FAILURE(Install(b, "bob", "pb"));
    std::string out;
    EXPECT_EQ(0, a.Client({"status"}, &out));
    EXPECT_EQ("用户ID:alice, 状态:在线\n", out);
    EXPECT_EQ(0, b.Client({"status"}, &out));
    EXPECT_EQ("用户ID:bob, 状态:在线\n", out);
    EXPECT_TRUE(server.WaitOutput("login ok user=_DEV_bob@lab", 1000)) << server.Output();
    // Installed and logged in: the installer runs no script and says so.
    kvbox::Pty again = a.box->Terminal({"./kelvard", "install"}, KV_RELEASE_DIR, a.env);
    EXPECT_TRUE(again.Expect("kelvard后台服务已启动，请通过./kelvard config进行配置"));
    EXPECT_EQ(0, again.Wait());

    kvbox::Pty menu = Menu(a);
    ASSERT_NO_FATAL_FAILURE(AddConnection(a, menu, "bob", kServicePort, kLocalPort));
    ASSERT_NO_FATAL_FAILURE(AddConnection(a, menu, "bob", kServicePort + 1, kLocalPort + 1));
    menu.Line("3");
    ASSERT_TRUE(menu.Expect(ListLine(0, "bob", kServicePort, kLocalPort)));
    ASSERT_TRUE(menu.Expect(ListLine(1, "bob", kServicePort + 1, kLocalPort + 1)));
    ASSERT_TRUE(menu.Expect(kPrompt));
    EXPECT_TRUE(Listening(a.host.ns, kLocalPort));
    EXPECT_TRUE(Listening(a.host.ns, kLocalPort + 1));

    // The second one is deleted: its local address closes, the first one stays.
    menu.Line("4");
    ASSERT_TRUE(menu.Expect("请输入远程连接序号进行删除: "));
    menu.Line("1");
    ASSERT_TRUE(menu.Expect("确认删除请按Y，否则按N，[Y/N]: "));
    menu.Line("Y");
    ASSERT_TRUE(menu.Expect("删除成功\r\n" + std::string(kPrompt))) << menu.Pending();
    menu.Line("3");
    ASSERT_TRUE(menu.Expect("客户端地址\r\n"));
    ASSERT_TRUE(menu.Expect(kPrompt));
    std::string all = menu.All();
    std::string listing = all.substr(all.rfind("客户端地址\r\n"));
    EXPECT_NE(std::string::npos, listing.find(ListLine(0, "bob", kServicePort, kLocalPort))) << listing;
    EXPECT_EQ(std::string::npos, listing.find("\n1\t")) << listing;
    menu.Line("7");
    EXPECT_EQ(0, menu.Wait());
    EXPECT_FALSE(Listening(a.host.ns, kLocalPort + 1));
    EXPECT_TRUE(Listening(a.host.ns, kLocalPort));
}

TEST_F(Lab, StopStartRestartAndSecondInstances)
{
    ASSERT_NO_FATAL_FAILURE(Install(a, "alice", "pa"));
    ASSERT_NO_FATAL_FAILURE(Install(b, "bob", "pb"));
    {
        kvbox::Pty menu = Menu(a);
        ASSERT_NO_FATAL_FAILURE(AddConnection(a, menu, "bob", kServicePort, kLocalPort));
        // A second client is refused while this one holds its menu.
        std::string out;
        EXPECT_EQ(255, a.Client({"status"}, &out));
        EXPECT_EQ("请检查程序是否已启动\n", out);
        menu.Line("7");
        EXPECT_EQ(0, menu.Wait());
    }

    // A second daemon is refused by the lock and leaves the first one running.
    pid_t first = a.Daemon();
    ASSERT_GT(first, 0);
    std::string out;
    EXPECT_EQ(0, a.box->Run({"./kelvard-daemon"}, kvbox::kInstallDir, &out, a.env));
    EXPECT_TRUE(kvlab::WaitUntil(
        [&] { return ReadFile(a.In("log")).find("请检查程序是否已启动") != std::string::npos; }, 10000));
    EXPECT_EQ(first, a.Daemon());

    // Stop and start.
    EXPECT_EQ(0, a.Client({"stop"}, &out));
    EXPECT_EQ("停止成功\n", out);
    EXPECT_EQ(0, a.Client({"status"}, &out));
    EXPECT_EQ("kelvard后台程序尚未启动\n", out);
    EXPECT_FALSE(Listening(a.host.ns, kLocalPort)) << "no local address while stopped";
    EXPECT_EQ(0, a.Client({"start"}, &out));
    EXPECT_EQ("启动成功\n", out);
    EXPECT_TRUE(a.StatusBecomes("用户ID:alice, 状态:在线\n"));
    EXPECT_TRUE(Listening(a.host.ns, kLocalPort));

    // The daemon ends; started again it logs in with the stored account and restores the
    // stored connection.
    ASSERT_EQ(0, kill(first, SIGKILL));
    ASSERT_TRUE(kvlab::WaitUntil([&] { return a.Daemon() == 0; }, 10000));
    EXPECT_EQ(0, a.box->Run({"./kelvard-daemon"}, kvbox::kInstallDir, &out, a.env));
    ASSERT_TRUE(kvlab::WaitUntil([&] { return a.Daemon() != 0; }, 10000));
    EXPECT_TRUE(a.StatusBecomes("用户ID:alice, 状态:在线\n"));
    EXPECT_EQ(0, a.Client({"config", "3"}, &out));
    EXPECT_NE(std::string::npos, out.find(ListLine(0, "bob", kServicePort, kLocalPort))) << out;
    EXPECT_TRUE(Listening(a.host.ns, kLocalPort));

    // Uninstall takes the daemon and the installation away.
    kvbox::Pty un = a.box->Terminal({"./kelvard", "uninstall"}, KV_RELEASE_DIR, a.env);
    EXPECT_EQ(0, un.Wait(20000));
    EXPECT_TRUE(kvlab::WaitUntil([&] { return a.Daemon() == 0; }, 10000));
    EXPECT_FALSE(std::filesystem::exists(a.In("kelvard-daemon")));
}

TEST_F(Lab, TransferThroughAConnectionTheClientAdded)
{
    ASSERT_NO_FATAL_FAILURE(Install(a, "alice", "pa"));
    ASSERT_NO_FATAL_FAILURE(Install(b, "bob", "pb"));
    EchoService echo(b.host.ns, kServicePort);
    ASSERT_TRUE(echo.Ok());
    {
        kvbox::Pty menu = Menu(a);
        ASSERT_NO_FATAL_FAILURE(AddConnection(a, menu, "bob", kServicePort, kLocalPort));
        menu.Line("7");
        EXPECT_EQ(0, menu.Wait());
    }
    ASSERT_NO_FATAL_FAILURE(ExpectTransfer(256 * 1024)) << Dump(a) << Dump(b);
    // Two connections at once, each with its own bytes.
    std::string one = RandomBytes(100000), two = one.substr(50000) + one.substr(0, 50000);
    std::string back1, back2;
    std::thread t([&] { back1 = Exchange(a.host.ns, kLocalPort, one); });
    back2 = Exchange(a.host.ns, kLocalPort, two);
    t.join();
    EXPECT_TRUE(back1 == one);
    EXPECT_TRUE(back2 == two);
    EXPECT_EQ(3, echo.Accepted());

    // Stopped and started again, the tunnel carries again.
    std::string out;
    EXPECT_EQ(0, a.Client({"stop"}, &out));
    EXPECT_EQ(0, a.Client({"start"}, &out));
    ASSERT_TRUE(a.StatusBecomes("用户ID:alice, 状态:在线\n"));
    ASSERT_NO_FATAL_FAILURE(ExpectTransfer(64 * 1024)) << "after stop and start\n" << Dump(a) << Dump(b);

    // A restarted daemon carries again through the connection it restored.
    pid_t first = a.Daemon();
    ASSERT_GT(first, 0);
    ASSERT_EQ(0, kill(first, SIGKILL));
    ASSERT_TRUE(kvlab::WaitUntil([&] { return a.Daemon() == 0; }, 10000));
    EXPECT_EQ(0, a.box->Run({"./kelvard-daemon"}, kvbox::kInstallDir, &out, a.env));
    ASSERT_TRUE(a.StatusBecomes("用户ID:alice, 状态:在线\n"));
    ASSERT_NO_FATAL_FAILURE(ExpectTransfer(64 * 1024)) << "after the restart\n" << Dump(a) << Dump(b);

    // The machine with the service restarts its daemon: the first connection made once it is
    // back is carried.
    pid_t fb = b.Daemon();
    ASSERT_GT(fb, 0);
    ASSERT_EQ(0, kill(fb, SIGKILL));
    ASSERT_TRUE(kvlab::WaitUntil([&] { return b.Daemon() == 0; }, 10000));
    EXPECT_EQ(0, b.box->Run({"./kelvard-daemon"}, kvbox::kInstallDir, &out, b.env));
    ASSERT_TRUE(b.StatusBecomes("用户ID:bob, 状态:在线\n"));
    ASSERT_NO_FATAL_FAILURE(ExpectTransfer(64 * 1024)) << "after the service side restarted\n" << Dump(a) << Dump(b);
}
