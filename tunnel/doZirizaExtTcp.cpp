// The TCP forwarding extension's notifications to the tunnel thread.
#include "doZirizaExtTcp.h"

#include "doZiriza.h"

u32 CDOZirizaExtTcp::OnAccept(const char* lpszAddrSock, const char* lpszHost, u32 uParam)
{
    return m_pTunnel != nullptr ? m_pTunnel->OnTcpAccept(lpszAddrSock, lpszHost, uParam) : 0;
}

void CDOZirizaExtTcp::OnConnect(const char* lpszAddrSock, u32 uResult)
{
    if (m_pTunnel != nullptr)
        m_pTunnel->OnTcpConnect(lpszAddrSock, uResult);
}

void CDOZirizaExtTcp::OnDisconnect(const char* lpszAddrSock)
{
    if (m_pTunnel != nullptr)
        m_pTunnel->OnTcpDisconnect(lpszAddrSock);
}

void CDOZirizaExtTcp::OnPassEnd()
{
    if (m_pTunnel != nullptr)
        m_pTunnel->OnTcpPassEnd();
}

void CDOZirizaExtTcp::OnError(u32 uError)
{
    if (m_pTunnel != nullptr)
        m_pTunnel->OnTcpError(uError);
}
