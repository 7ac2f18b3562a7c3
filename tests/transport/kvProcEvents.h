// What a socket process hands up to its socket layer, recorded for the tests that run the
// process alone: datagrams as "<caller id>:<bytes>", connect events, reports and data pulls.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "qvSockEvent.h"

class CProcEvents : public IQVSockEvent {
public:
    void SockEventData(QV_ADDR_S&, QV_BUF_S& Buf, u32 uSockID, u32, u32) override
    {
        std::lock_guard<std::mutex> g(mu);
        data.push_back(std::to_string(uSockID) + ":" + std::string((const char*)Buf.buf + Buf.uOffset, Buf.uLen));
    }
    void SockEventConnect(u32 uSockID, u32 uAction) override
    {
        std::lock_guard<std::mutex> g(mu);
        connects.push_back(uSockID * 10 + uAction);
    }
    void SockEventReport(u32 uSockID, u32 uReport) override
    {
        std::lock_guard<std::mutex> g(mu);
        reports.push_back(uSockID * 100 + uReport);
    }
    void SockEventCnntAddr(u32, u32, u32, u32) override {}
    void SockEventDataPull() override { pulls++; }
    void SocketProcThreadStatus(u32) override {}
    // A connect event (action 1) for the caller id.
    bool Connected(u32 id)
    {
        std::lock_guard<std::mutex> g(mu);
        for (u32 c : connects)
            if (c == id * 10 + 1)
                return true;
        return false;
    }
    bool Reported(u32 id, u32 report)
    {
        std::lock_guard<std::mutex> g(mu);
        for (u32 r : reports)
            if (r == id * 100 + report)
                return true;
        return false;
    }
    // A datagram whose record holds s.
    bool Got(const std::string& s)
    {
        std::lock_guard<std::mutex> g(mu);
        for (auto& d : data)
            if (d.find(s) != std::string::npos)
                return true;
        return false;
    }
    std::mutex mu;
    std::vector<std::string> data;
    std::vector<u32> connects;
    std::vector<u32> reports;
    std::atomic<u32> pulls{0};
};
