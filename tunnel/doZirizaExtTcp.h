// The tunnel's TCP forwarding extension: the extension's four notifications become tunnel
// messages (accept 6, connect result 7, local side closed 8) and event 1 (errors). They are
// called with the extension's lock held, so they only post; at the end of the worker's pass
// the tunnel may serve a new connection's accept or connect result there at once.
#pragma once

#include "qvExtTcp.h"

class CDOZiriza;

class CDOZirizaExtTcp : public CQVExtTcp
{
public:
    CDOZirizaExtTcp() : m_pTunnel(nullptr) {}
    ~CDOZirizaExtTcp() override {}
    void Attach(CDOZiriza* pTunnel) { m_pTunnel = pTunnel; }

    u32 OnAccept(const char* lpszAddrSock, const char* lpszHost, u32 uParam) override;
    void OnConnect(const char* lpszAddrSock, u32 uResult) override;
    void OnDisconnect(const char* lpszAddrSock) override;
    void OnError(u32 uError) override;
    void OnPassEnd() override;

private:
    CDOZiriza* m_pTunnel;
};
