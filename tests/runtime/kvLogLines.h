// Collects the library log lines in memory, so that tests (and helper programs) can check what
// was reported, also by threads whose objects are already gone.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

#include "qvLog.h"

class CLogLines : public CQVLogProc
{
public:
    void LogPrint(u32, const char* lpszLine) override
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Lines.push_back(lpszLine);
    }
    // Lines that hold both texts.
    u32 Count(const std::string& text, const std::string& text2 = "")
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        u32 n = 0;
        for (const std::string& s : m_Lines)
            n += s.find(text) != std::string::npos && s.find(text2) != std::string::npos;
        return n;
    }
    bool Has(const std::string& text, const std::string& text2 = "") { return Count(text, text2) != 0; }

private:
    std::mutex m_Mutex;
    std::vector<std::string> m_Lines;
};

// The program's collector, fed by a library log with every level on, writing into a fresh
// directory under /tmp. Never destroyed: detached threads may still log while the program
// exits. The directory is named like the lab's temporary directories, so that a later lab
// removes it once this program has ended. When the log cannot start, no line arrives and the
// checks that look for one fail.
inline CLogLines& LogLines()
{
    static CLogLines* s_pLines = []() {
        std::string strDir = "/tmp/kvlab-dir-" + std::to_string(getpid()) + "-XXXXXX";
        if (mkdtemp(&strDir[0]) != nullptr)
            qvLogInit(0xF, strDir.c_str(), "t", 0, 0);
        CLogLines* p = new CLogLines;
        qvGetLog()->SetProcCallback(p, 1);
        return p;
    }();
    return *s_pLines;
}
