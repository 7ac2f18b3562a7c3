// File class: message methods, layouts, state values and limits shared by the class's sources
// (and its tests). All integers on the wire are big-endian.
#pragma once

#include "qvType.h"

namespace qvfile {

// Message methods between the two ends of a transfer.
const u32 kMethData = 0;         // raw bytes, sending end, priority 3
const u32 kMethStartReq = 1;     // requesting end
const u32 kMethStartRep = 2;     // accepting end: u32 error (flag bit 0) or the size
const u32 kMethCancel = 3;       // either end: the size moved so far
const u32 kMethStop = 4;         // either end: the size moved so far
const u32 kMethActive = 6;       // receiving end, every 5 s without data: 16 zero bytes
const u32 kMethPauseReport = 7;  // receiving end: u32 flag (1 pause, 0 resume), 12 zero bytes
const u32 kMethPauseQuery = 8;   // sending end: 16 zero bytes

const u32 kFlagError = 0x1;  // message flag of an error StartReply

// StartRequest: offset low, size low, request (1 Put, 0 Get), 0, flags (bit 0: 64-bit sizes),
// 0, 32 zero bytes, then three strings: the peer path and the decimal high halves of the
// offset and of the size.
const u32 kStartReqHead = 44;
const u32 kStartReqMin = 49;
const u32 kStartReqStrMax = 340;
// Size forms: u32, or u32 low, u32 high and 16 zero bytes.
const u32 kSizeShort = 4;
const u32 kSizeLong = 24;
const u32 kPauseSize = 16;

const u32 kPrioCtrl = 0;
const u32 kPrioData = 3;
const u32 kCtrlTimeout = 5;           // seconds a control message waits for its acknowledgement
const u32 kRequestTries = 30;         // seconds a StartRequest or a Stop the peer's queue refused is tried again
const u32 kNoTimeout = 0xFFFFFFFFu;   // the data multicast never times out

// Notifications the class posts to its own objects.
const u32 kNotifyReply = 256;       // p0 error, p1 the request's parameter
const u32 kNotifyPeerReq = 257;     // pass the peer's request to the application
const u32 kNotifyPeerCancel = 258;  // p0 the peer
const u32 kNotifyWindow = 259;      // the peer's send window opened

// Dispatch bits, served in this order: start, load, save, status, error, stop.
const u32 kDispStart = 0x01;
const u32 kDispStop = 0x02;
const u32 kDispLoad = 0x04;
const u32 kDispSave = 0x08;
const u32 kDispStatus = 0x10;
const u32 kDispError = 0x20;

// Object states.
const u32 kStaStart = 1;
const u32 kStaMove = 2;
const u32 kStaIdle = 3;

// State bits (uStaMask).
const u32 kStaPeerKnows = 0x01;    // the peer knows the session ended: no Stop is sent
const u32 kStaReadDone = 0x02;     // sending end: reading finished
const u32 kStaSaveDone = 0x04;     // receiving end: saving finished
const u32 kStaAbort = 0x08;
const u32 kStaCounted = 0x10;      // counted in its peer record
const u32 kStaRecvBlocked = 0x20;  // no free receive buffer
const u32 kStaSize64 = 0x40;       // the peer reads and writes 64-bit sizes

// uRequest.
const u32 kReqLowMask = 0x0F;  // 1 Put, 0 Get, as the requesting end asked
const u32 kReqSend = 0x10;     // this end sends the data

// uRetry bits.
const u32 kRetryData = 0x1;
const u32 kRetryStart = 0x2;
const u32 kRetryRequest = 0x4;  // the StartRequest waits for room in the peer's queue
const u32 kRetryStop = 0x8;     // the Stop waits for room in the peer's queue (the end waits for it)

// Results of a data send.
const u32 kSendDone = 0;
const u32 kSendBlocked = 1;
const u32 kSendFailed = 2;
const u32 kSendEmpty = 3;

// Extension events (third value of OnExtend).
const u32 kExtWritable = 1;
const u32 kExtReadable = 2;

// Node option bit that forbids file transfers on this node.
const u32 kNodeOptNoFile = 0x80;

const u64 kSizeAll = ~0ull;
const u32 kPathMax = 255;
const u32 kBufSizeDefault = 0x10000;     // transfer buffer, also the smallest allowed
const u32 kBufSizeMaxKiB = 64 * 1024;    // 64 MiB: larger buffers only cost memory
const u32 kDataSendMax = 0x40000;        // bytes per data send
const u32 kRecvSpaceMin = 2048;          // more than one block of the peer socket
const u32 kRecvRunMax = 16;              // data messages taken ahead of one write at most
const u32 kPauseBufMax = 4;
const u32 kWaiterSeconds = 86400;        // a Put or Get waits at most a day for its answer
const u32 kActiveSeconds = 5;
const u32 kPeerEndWait = 60;             // seconds to wait for announced bytes after the peer ended
const u32 kSpeedSamples = 4;
const u32 kPeakDecay = 20;               // seconds between two halvings of the peak's excess
const u32 kDebugMax = 1020;

inline u32 Rd32(const u8* p)
{
    return ((u32)p[0] << 24) | ((u32)p[1] << 16) | ((u32)p[2] << 8) | (u32)p[3];
}

inline void Wr32(u8* p, u32 v)
{
    p[0] = (u8)(v >> 24);
    p[1] = (u8)(v >> 16);
    p[2] = (u8)(v >> 8);
    p[3] = (u8)v;
}

}  // namespace qvfile
