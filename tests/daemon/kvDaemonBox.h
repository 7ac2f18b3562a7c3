// Fixtures for the tests of kelvard-daemon and kelvard.
//
// The programs use the fixed install directory /opt/apps/kelvard-1.0.0. A test never touches
// the machine's own: PrivateInstallDir() moves the test process into a private mount
// namespace (once) and covers /opt with a fresh tmpfs (at every call) holding an empty install
// directory with its lock file. A Box is a pid, mount and network namespace (its own, or a lab
// host's) in which daemons and clients run: the tmpfs is shared with the test process, a
// detached daemon is reparented to the box's init, and destroying the box (or the test
// process dying) ends everything inside it.
//
//   ASSERT_TRUE(kvbox::PrivateInstallDir());
//   kvbox::Box box;
//   ASSERT_EQ(0, box.Run({"./kelvard-daemon"}, kvbox::kInstallDir));
//   kvbox::Pty pty = box.Terminal({"kelvard", "config"}, kvbox::kInstallDir);
//   ASSERT_TRUE(pty.Expect("请输入对应功能序号"));
#pragma once

#include <json/json.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "kvLab.h"

namespace kvbox
{
extern const char* const kInstallDir;  // "/opt/apps/kelvard-1.0.0"
extern const char* const kIpcAddr;     // the daemon's IPC address

// See above. False (with the reason in *pWhy) when the mounts cannot be made.
bool PrivateInstallDir(std::string* pWhy = nullptr);

// Copies a file (mode kept); true on success.
bool CopyFile(const std::string& from, const std::string& to, mode_t mode = 0);
bool WriteFile(const std::string& path, const std::string& text, mode_t mode = 0644);
std::string ReadFile(const std::string& path);

// The holder of a byte of the lock file (pid in the test's namespace), or 0 when it is free.
// lpszDir: the install directory as the test process sees it.
pid_t LockHolder(int iOffset, const std::string& dir = "/opt/apps/kelvard-1.0.0");

// A terminal session with a program: its standard input, output and error are a pseudo-
// terminal that the test reads and writes. Not copyable, movable; the destructor kills it.
class Pty
{
public:
    Pty() = default;
    Pty(pid_t pid, int fd) : m_pid(pid), m_fd(fd) {}
    Pty(Pty&& other) noexcept;
    Pty& operator=(Pty&& other) noexcept;
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
    ~Pty();

    bool Valid() const { return m_pid > 0; }
    int Fd() const { return m_fd; }
    // Waits until the output since the last Expect contains text (true) or the time is up.
    // The output up to the end of text is then consumed.
    bool Expect(const std::string& text, int timeoutMs = 10000);
    // Types a line (a newline is added).
    void Line(const std::string& text);
    // Types raw bytes.
    void Type(const std::string& bytes);
    // Ends the input (as ^D at the start of a line does).
    void EndInput();
    // Everything read so far that Expect has not consumed (reads what is waiting first).
    std::string Pending();
    // Everything the program has written so far.
    std::string All();
    // Waits for the end of the program; its exit code (128 + signal), or -1 on time-out.
    int Wait(int timeoutMs = 10000);

private:
    void Drain(int timeoutMs);
    pid_t m_pid = -1;
    int m_fd = -1;
    std::string m_all;
    size_t m_consumed = 0;
};

class Box
{
public:
    // A box with its own network namespace ("" ) or inside a lab host's namespace. With
    // bOwnOpt the box covers /opt with a tmpfs of its own (an empty /opt/apps), so that boxes
    // hold installations apart; the test reaches it through Path().
    explicit Box(const std::string& netns = "", bool bOwnOpt = false);
    ~Box();
    Box(const Box&) = delete;
    Box& operator=(const Box&) = delete;

    bool Ok() const { return m_init > 0; }
    // A path of the box's file system as the test process reaches it.
    std::string Path(const std::string& path) const;
    // Starts a program inside the box in working directory wd; output goes to the Process.
    kvlab::Process Spawn(const std::vector<std::string>& argv, const std::string& wd,
                         const std::vector<std::string>& env = {});
    // Runs a program to its end (at most timeoutMs); its exit code, -1 on time-out. Output
    // appended to *pOut.
    int Run(const std::vector<std::string>& argv, const std::string& wd, std::string* pOut = nullptr,
            const std::vector<std::string>& env = {}, int timeoutMs = 20000);
    // Starts a program inside the box on a pseudo-terminal.
    Pty Terminal(const std::vector<std::string>& argv, const std::string& wd,
                 const std::vector<std::string>& env = {});

private:
    std::vector<std::string> Enter(const std::vector<std::string>& argv, const std::string& wd) const;
    kvlab::Process m_unshare;
    pid_t m_init = -1;
    bool m_bOwnOpt = false;
};

// A raw IPC client of the daemon, as the test's own instrument.
class IpcClient
{
public:
    explicit IpcClient(const std::string& addr = kIpcAddr);
    ~IpcClient();
    IpcClient(const IpcClient&) = delete;
    IpcClient& operator=(const IpcClient&) = delete;
    bool Send(const std::string& text);
    // The next message, or false after timeoutMs.
    bool Recv(std::string* pText, int timeoutMs = 10000);
    // Sends a JSON request and reads one reply as JSON (null on failure).
    Json::Value Ask(const std::string& request, int timeoutMs = 10000);
    // Sends qrycon-like requests: reads replies up to and including one with `finish`.
    std::vector<Json::Value> AskList(const std::string& request, int timeoutMs = 10000);

private:
    int m_sock = -1;
};

// Parses a JSON text (null when it is not JSON).
Json::Value Parse(const std::string& text);
}  // namespace kvbox
