// The request front-end seam: requests reach the tunnel as (handle, name, parameter text) and
// are answered with SendResponse on the same handle. Two front ends implement it: the local
// HTTP server and the in-process call bridge of the flat interface.
#pragma once

#include "qvSocketAddr.h"
#include "qvType.h"

class CDOZiriza;

// Handles of the call bridge carry 1 in bits 28 to 31; the HTTP front end's carry 0.
#define DOZIRIZA_HTTP_HANDLE_KIND(h) ((u32)(h) >> 28)
#define DOZIRIZA_HTTP_KIND_REAL 0
#define DOZIRIZA_HTTP_KIND_CALL 1

class IDOZirizaHttp
{
public:
    // 1 on success.
    virtual int Initialize(u32 uMaxConn, u32 uPortTries, QV_ADDR_S& addrListen) = 0;
    virtual void Clean() = 0;
    virtual int SendResponse(u32 uHandle, u32 uStatus, const char* lpszContentType, unsigned char* lpData,
                             u32 uLength) = 0;
    virtual void Cancel() = 0;
    virtual void Attach(CDOZiriza* pTunnel) = 0;
    virtual ~IDOZirizaHttp() {}
};
