// Events that the socket process raises into the socket layer above it.
// CQVSocket implements this; tests implement it to watch the socket process alone.
#pragma once

#include "qvType.h"
#include "qvSocketAddr.h"   // QV_ADDR_S
#include "qvUtilize.h"      // QV_BUF_S

class IQVSockEvent {
public:
    // Every inbound socket packet. uSockID: the caller id stored with the peer record
    // (0 for an unknown peer); uCnntID: connection id word of the path it came on
    // (0 none); uDrivType: driver index 0..3. Called on the process thread without
    // the process mutex held.
    virtual void SockEventData(QV_ADDR_S& Addr, QV_BUF_S& Buf, u32 uSockID, u32 uCnntID, u32 uDrivType) = 0;
    // A peer became connected (action as posted with process message 3 or 4).
    virtual void SockEventConnect(u32 uSockID, u32 uAction) = 0;
    // Socket report n; uSockID 0 means the report is about the process as a whole.
    virtual void SockEventReport(u32 uSockID, u32 uReport) = 0;
    // uAdd 1: the path uCnntID of the peer was added or updated and gets uValue
    // (its through priority); uAdd 0: the path was removed.
    virtual void SockEventCnntAddr(u32 uSockID, u32 uAdd, u32 uCnntID, u32 uValue) = 0;
    // Batched receive: the process thread is asked to pull queued datagrams.
    virtual void SockEventDataPull() = 0;
    // The process thread ends a pass of its loop (before it waits again): what the events
    // of the pass left to send or to wake goes now, once for the whole batch.
    virtual void SockEventBatchEnd() {}
    // The process thread started (1) or stopped (0).
    virtual void SocketProcThreadStatus(u32 uStatus) = 0;

protected:
    ~IQVSockEvent() {}
};
