#include "kvDaemonBox.h"

#include <fcntl.h>
#include <nanomsg/nn.h>
#include <nanomsg/pair.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

namespace kvbox
{
const char* const kInstallDir = "/opt/apps/kelvard-1.0.0";
const char* const kIpcAddr = "ipc:///opt/apps/kelvard-1.0.0/comm/kelvard-com";

namespace
{
bool g_bUnshared = false;
bool g_bMounted = false;
std::string g_strUnshareError;

// The private mount namespace must be made before any thread exists: the IPC library connects
// from its own worker threads, which keep the namespace they were born in.
class MountEnvironment : public ::testing::Environment
{
public:
    void SetUp() override
    {
        if (unshare(CLONE_NEWNS) != 0)
        {
            g_strUnshareError = std::string("unshare: ") + strerror(errno);
            return;
        }
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        {
            g_strUnshareError = std::string("mount private: ") + strerror(errno);
            return;
        }
        g_bUnshared = true;
    }
};
const int g_iEnvRegistered = (::testing::AddGlobalTestEnvironment(new MountEnvironment), 0);

long long NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
}  // namespace

bool PrivateInstallDir(std::string* pWhy)
{
    (void)g_iEnvRegistered;
    if (!g_bUnshared)
    {
        if (pWhy)
            *pWhy = g_strUnshareError.empty() ? "no private mount namespace" : g_strUnshareError;
        return false;
    }
    if (g_bMounted)
    {
        umount2("/opt", MNT_DETACH);
        g_bMounted = false;
    }
    if (mount("tmpfs", "/opt", "tmpfs", 0, "mode=0755") != 0)
    {
        if (pWhy)
            *pWhy = std::string("mount tmpfs on /opt: ") + strerror(errno);
        return false;
    }
    g_bMounted = true;
    mkdir("/opt/apps", 0755);
    mkdir(kInstallDir, 0755);
    mkdir((std::string(kInstallDir) + "/comm").c_str(), 0755);
    int fd = open((std::string(kInstallDir) + "/kelvard.lock").c_str(), O_CREAT | O_RDWR, 0600);
    if (fd < 0)
    {
        if (pWhy)
            *pWhy = std::string("lock file: ") + strerror(errno);
        return false;
    }
    close(fd);
    return true;
}

bool CopyFile(const std::string& from, const std::string& to, mode_t mode)
{
    std::ifstream in(from, std::ios::binary);
    if (!in)
        return false;
    std::string tmp = to + ".copy";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << in.rdbuf();
        if (!out)
            return false;
    }
    struct stat st;
    if (mode == 0 && stat(from.c_str(), &st) == 0)
        mode = st.st_mode & 07777;
    chmod(tmp.c_str(), mode);
    return rename(tmp.c_str(), to.c_str()) == 0;
}

bool WriteFile(const std::string& path, const std::string& text, mode_t mode)
{
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out)
            return false;
    }
    return chmod(path.c_str(), mode) == 0;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

pid_t LockHolder(int iOffset, const std::string& dir)
{
    int fd = open((dir + "/kelvard.lock").c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return 0;
    struct flock fl;
    memset(&fl, 0, sizeof(fl));
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = iOffset;
    fl.l_len = 1;
    pid_t holder = 0;
    if (fcntl(fd, F_GETLK, &fl) == 0 && fl.l_type != F_UNLCK)
        holder = fl.l_pid;
    close(fd);
    return holder;
}

// ---------------------------------------------------------------------------------------------

Pty::Pty(Pty&& other) noexcept
{
    *this = std::move(other);
}

Pty& Pty::operator=(Pty&& other) noexcept
{
    if (this != &other)
    {
        this->~Pty();
        m_pid = other.m_pid;
        m_fd = other.m_fd;
        m_all = std::move(other.m_all);
        m_consumed = other.m_consumed;
        other.m_pid = -1;
        other.m_fd = -1;
    }
    return *this;
}

Pty::~Pty()
{
    if (m_pid > 0)
    {
        kill(-m_pid, SIGKILL);
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
    if (m_fd >= 0)
    {
        close(m_fd);
        m_fd = -1;
    }
}

void Pty::Drain(int timeoutMs)
{
    if (m_fd < 0)
        return;
    struct pollfd pfd = {m_fd, POLLIN, 0};
    if (poll(&pfd, 1, timeoutMs) <= 0)
        return;
    char buf[4096];
    ssize_t n = read(m_fd, buf, sizeof(buf));
    if (n > 0)
        m_all.append(buf, (size_t)n);
    else if (n == 0 || (errno != EINTR && errno != EAGAIN))
    {
        // The program and everything it started have closed the terminal.
        close(m_fd);
        m_fd = -1;
    }
}

bool Pty::Expect(const std::string& text, int timeoutMs)
{
    long long deadline = NowMs() + timeoutMs;
    for (;;)
    {
        size_t pos = m_all.find(text, m_consumed);
        if (pos != std::string::npos)
        {
            m_consumed = pos + text.size();
            return true;
        }
        long long left = deadline - NowMs();
        if (left <= 0 || m_fd < 0)
            return false;
        Drain((int)std::min<long long>(left, 50));
    }
}

void Pty::Type(const std::string& bytes)
{
    if (m_fd >= 0)
    {
        ssize_t n = write(m_fd, bytes.data(), bytes.size());
        (void)n;
    }
}

void Pty::Line(const std::string& text)
{
    Type(text + "\n");
}

void Pty::EndInput()
{
    Type("\x04");
}

std::string Pty::Pending()
{
    Drain(0);
    return m_all.substr(m_consumed);
}

std::string Pty::All()
{
    Drain(0);
    return m_all;
}

int Pty::Wait(int timeoutMs)
{
    long long deadline = NowMs() + timeoutMs;
    while (m_pid > 0)
    {
        int st = 0;
        pid_t r = waitpid(m_pid, &st, WNOHANG);
        if (r == m_pid)
        {
            m_pid = -1;
            for (int i = 0; i < 20 && m_fd >= 0; i++)
                Drain(10);
            return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        }
        if (NowMs() >= deadline)
            return -1;
        Drain(20);
        if (m_fd < 0)
            usleep(10000);
    }
    return -1;
}

// ---------------------------------------------------------------------------------------------

Box::Box(const std::string& netns, bool bOwnOpt) : m_bOwnOpt(bOwnOpt)
{
    std::vector<std::string> argv = {"unshare", "--pid", "--mount", "--fork", "--kill-child", "--mount-proc"};
    if (netns.empty())
        argv.push_back("--net");
    std::string strInit = "echo box-ready; exec sleep 1000000";
    if (bOwnOpt)
        strInit = "mount -t tmpfs -o mode=0755 tmpfs /opt && mkdir -p /opt/apps && " + strInit;
    argv.insert(argv.end(), {"sh", "-c", strInit});
    kvlab::RunOptions opt;
    opt.ns = netns;
    m_unshare = kvlab::SpawnChild(opt, argv);
    if (!m_unshare.Valid() || !m_unshare.WaitOutput("box-ready", 10000))
    {
        ADD_FAILURE() << "box did not start: " << m_unshare.Output();
        return;
    }
    std::string children = ReadFile("/proc/" + std::to_string(m_unshare.Pid()) + "/task/" +
                                    std::to_string(m_unshare.Pid()) + "/children");
    m_init = (pid_t)atoi(children.c_str());
    if (m_init <= 0)
        ADD_FAILURE() << "box init not found";
}

std::string Box::Path(const std::string& path) const
{
    return "/proc/" + std::to_string(m_init) + "/root" + path;
}

Box::~Box()
{
    m_unshare.Kill(SIGKILL);
    if (m_init > 0)
    {
        // The init dies with unshare, and every process of the box with it.
        kvlab::WaitUntil([&] {
            std::string stat = ReadFile("/proc/" + std::to_string(m_init) + "/stat");
            size_t pos = stat.rfind(')');
            return stat.empty() || (pos != std::string::npos && stat.compare(pos, 3, ") Z") == 0);
        }, 5000);
    }
}

std::vector<std::string> Box::Enter(const std::vector<std::string>& argv, const std::string& wd) const
{
    // nsenter opens the working directory before it enters the box: a directory under the
    // box's own /opt is reached through the box's root.
    std::string strWd = m_bOwnOpt && wd.compare(0, 5, "/opt/") == 0 ? Path(wd) : wd;
    std::vector<std::string> out = {"nsenter", "-t", std::to_string(m_init), "-m", "-p", "-n", "--wd=" + strWd, "--"};
    out.insert(out.end(), argv.begin(), argv.end());
    return out;
}

kvlab::Process Box::Spawn(const std::vector<std::string>& argv, const std::string& wd,
                          const std::vector<std::string>& env)
{
    kvlab::RunOptions opt;
    opt.env = env;
    return kvlab::SpawnChild(opt, Enter(argv, wd));
}

int Box::Run(const std::vector<std::string>& argv, const std::string& wd, std::string* pOut,
             const std::vector<std::string>& env, int timeoutMs)
{
    kvlab::Process p = Spawn(argv, wd, env);
    int iExit = -1;
    bool bDone = p.Wait(timeoutMs, &iExit);
    if (pOut)
        *pOut += p.Output();
    return bDone ? iExit : -1;
}

Pty Box::Terminal(const std::vector<std::string>& argv, const std::string& wd,
                  const std::vector<std::string>& env)
{
    std::vector<std::string> full = Enter(argv, wd);
    fflush(nullptr);
    int fd = -1;
    struct winsize ws;
    memset(&ws, 0, sizeof(ws));
    ws.ws_row = 50;
    ws.ws_col = 200;
    pid_t pid = forkpty(&fd, nullptr, nullptr, &ws);
    if (pid < 0)
    {
        ADD_FAILURE() << "forkpty: " << strerror(errno);
        return Pty();
    }
    if (pid == 0)
    {
        for (auto& kv : env)
        {
            size_t eq = kv.find('=');
            if (eq != std::string::npos)
                setenv(kv.substr(0, eq).c_str(), kv.substr(eq + 1).c_str(), 1);
        }
        // The program gets ^C, not nsenter, which waits for it as a shell would.
        signal(SIGINT, SIG_IGN);
        std::vector<char*> args;
        for (auto& a : full)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    return Pty(pid, fd);
}

// ---------------------------------------------------------------------------------------------

IpcClient::IpcClient(const std::string& addr)
{
    m_sock = nn_socket(AF_SP, NN_PAIR);
    if (m_sock < 0)
        return;
    int iSend = 5000;
    nn_setsockopt(m_sock, NN_SOL_SOCKET, NN_SNDTIMEO, &iSend, sizeof(iSend));
    if (nn_connect(m_sock, addr.c_str()) < 0)
    {
        nn_close(m_sock);
        m_sock = -1;
    }
}

IpcClient::~IpcClient()
{
    if (m_sock >= 0)
        nn_close(m_sock);
}

bool IpcClient::Send(const std::string& text)
{
    return m_sock >= 0 && nn_send(m_sock, text.data(), text.size(), 0) == (int)text.size();
}

bool IpcClient::Recv(std::string* pText, int timeoutMs)
{
    if (m_sock < 0)
        return false;
    nn_setsockopt(m_sock, NN_SOL_SOCKET, NN_RCVTIMEO, &timeoutMs, sizeof(timeoutMs));
    void* p = nullptr;
    int n = nn_recv(m_sock, &p, NN_MSG, 0);
    if (n < 0)
        return false;
    pText->assign((const char*)p, (size_t)n);
    nn_freemsg(p);
    return true;
}

Json::Value IpcClient::Ask(const std::string& request, int timeoutMs)
{
    std::string reply;
    if (!Send(request) || !Recv(&reply, timeoutMs))
        return Json::Value();
    return Parse(reply);
}

std::vector<Json::Value> IpcClient::AskList(const std::string& request, int timeoutMs)
{
    std::vector<Json::Value> out;
    if (!Send(request))
        return out;
    std::string reply;
    while (out.size() < 1000 && Recv(&reply, timeoutMs))
    {
        out.push_back(Parse(reply));
        if (out.back().isObject() && out.back().get("finish", 0).asInt() != 0)
            break;
    }
    return out;
}

Json::Value Parse(const std::string& text)
{
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value v;
    std::string err;
    try
    {
        if (!reader->parse(text.data(), text.data() + text.size(), &v, &err))
            return Json::Value();
    }
    catch (const std::exception&)
    {
        return Json::Value();
    }
    return v;
}
}  // namespace kvbox
