// A lab program driven through a control FIFO: commands go in one line each, and the program
// answers on its standard output, which the test reads and waits on.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "kvLab.h"

namespace kvlab {

class Driven {
public:
    // Spawns argv in host h with "--control FIFO" added.
    void Start(Lab& lab, const Host& h, std::vector<std::string> argv, const std::string& fifo)
    {
        m_fifo = fifo;
        argv.push_back("--control");
        argv.push_back(fifo);
        p = lab.SpawnIn(h, argv);
    }
    // Writes one command line; fails the test when the FIFO does not take it.
    void Cmd(const std::string& line) { ASSERT_TRUE(Send(line)) << m_fifo; }
    // Writes one command line; false when the FIFO does not open within 5 s or the write fails.
    bool Send(const std::string& line)
    {
        int fd = -1;
        if (!WaitUntil([&] { return (fd = open(m_fifo.c_str(), O_WRONLY | O_NONBLOCK)) >= 0; }, 5000))
            return false;
        std::string l = line + "\n";
        bool ok = write(fd, l.data(), l.size()) == (ssize_t)l.size();
        close(fd);
        return ok;
    }
    bool Wait(const std::string& text, int ms = 30000) const { return p.WaitOutput(text, ms); }
    // How many times the text stands in the output so far.
    size_t Count(const std::string& text) const
    {
        std::string out = p.Output();
        size_t n = 0;
        for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1))
            n++;
        return n;
    }
    bool WaitCount(const std::string& text, size_t n, int ms = 30000) const
    {
        return WaitUntil([&] { return Count(text) >= n; }, ms);
    }
    std::string Out() const { return p.Output(); }
    const std::string& Fifo() const { return m_fifo; }
    Process p;

private:
    std::string m_fifo;
};

}  // namespace kvlab
