// Key exchange slots and session encryption of the peer sockets.
// The log header goes first: it must be read before <limits.h> defines LINE_MAX.
#include "qvLog.h"

#include "qvCrypto.h"
#include "qvTimer.h"
#include "qvUtilize.h"

#include <mbedtls/bignum.h>
#include <mbedtls/dhm.h>
#include <mbedtls/sha256.h>

#include <cstring>
#include <new>

namespace {

// The one 1024-bit group every exchange uses; a responder refuses any other.
const char* const s_szDhmP =
    "E4004C1F94182000103D883A448B3F802CE4B44A83301270002C20D0321CFD0011CCEF784C26A400F43DFB9"
    "01BCA7538F2C6B176001CF5A0FD16D2C48B1D0C1CF6AC8E1DA6BCC3B4E1F96B0564965300FFA1D0B601EB2"
    "800F489AA512C4B248C01F76949A60BB7F00A40B1EAB64BDD48E8A700D60B7F1200FA8E77B0A979DABF";
const char* const s_szDhmG = "4";

// Private exponent size handed to the DH functions, in bytes.
const int kPrivSize = 256;
// Output room of dhm_calc_secret, in bytes.
const u32 kSecretRoom = 256;

int HavegeRandom(void* p, unsigned char* out, size_t len)
{
    return mbedtls_havege_random(p, out, len);
}

} // namespace

CQVCrypto::CQVCrypto() : m_pSlots(0), m_uCount(0), m_uHavege(0)
{
    m_Free.pHead = m_Free.pTail = 0;
    m_Used.pHead = m_Used.pTail = 0;
    std::memset(&m_Havege, 0, sizeof(m_Havege));
}

CQVCrypto::~CQVCrypto()
{
}

void CQVCrypto::ListRemove(LIST_S& l, SLOT_S* s)
{
    if (s->pPrev) s->pPrev->pNext = s->pNext; else l.pHead = s->pNext;
    if (s->pNext) s->pNext->pPrev = s->pPrev; else l.pTail = s->pPrev;
    s->pPrev = s->pNext = 0;
}

void CQVCrypto::ListPushHead(LIST_S& l, SLOT_S* s)
{
    s->pPrev = 0;
    s->pNext = l.pHead;
    if (l.pHead) l.pHead->pPrev = s; else l.pTail = s;
    l.pHead = s;
}

void CQVCrypto::ListPushTail(LIST_S& l, SLOT_S* s)
{
    s->pNext = 0;
    s->pPrev = l.pTail;
    if (l.pTail) l.pTail->pNext = s; else l.pHead = s;
    l.pTail = s;
}

u32 CQVCrypto::Initialize(u32 uCount)
{
    if (m_pSlots || uCount == 0 || uCount > 0x10000) return 0;
    m_pSlots = new (std::nothrow) SLOT_S[uCount];
    if (!m_pSlots) return 0;
    m_uCount = uCount;
    m_Free.pHead = m_Free.pTail = 0;
    m_Used.pHead = m_Used.pTail = 0;
    for (u32 i = 0; i < uCount; i++) {
        SLOT_S* s = &m_pSlots[i];
        s->pPrev = s->pNext = 0;
        s->uStamp = 0;
        s->uState = 0;
        s->uQueryID = 0;
        s->uKeyBits = 0;
        s->pKey = 0;
        s->pDhm = 0;
        s->uCookie = qvGetCookieShort(0);
        s->uOnList = 0;
        ListPushTail(m_Free, s);
    }
    mbedtls_havege_init(&m_Havege);
    m_uHavege = 1;
    return 1;
}

void CQVCrypto::FreeContext(SLOT_S* s)
{
    if (s->pDhm) {
        mbedtls_dhm_free(s->pDhm);
        delete s->pDhm;
        s->pDhm = 0;
    }
}

void CQVCrypto::FreeKey(SLOT_S* s)
{
    if (s->pKey) {
        std::memset(s->pKey, 0, 32);
        delete[] s->pKey;
        s->pKey = 0;
    }
    s->aes.Clear();
    s->uKeyBits = 0;
}

void CQVCrypto::Clean()
{
    if (m_pSlots) {
        for (u32 i = 0; i < m_uCount; i++) {
            FreeContext(&m_pSlots[i]);
            FreeKey(&m_pSlots[i]);
        }
        delete[] m_pSlots;
    }
    m_pSlots = 0;
    m_uCount = 0;
    m_Free.pHead = m_Free.pTail = 0;
    m_Used.pHead = m_Used.pTail = 0;
    if (m_uHavege) {
        mbedtls_havege_free(&m_Havege);
        m_uHavege = 0;
    }
}

CQVCrypto::SLOT_S* CQVCrypto::Slot(u32 uHandle)
{
    u32 uInd = uHandle >> 16;
    if (!m_pSlots || uInd >= m_uCount) return 0;
    SLOT_S* s = &m_pSlots[uInd];
    if (s->uCookie != (uHandle & 0xFFFF)) return 0;
    return s;
}

mbedtls_dhm_context* CQVCrypto::NewContext()
{
    mbedtls_dhm_context* ctx = new (std::nothrow) mbedtls_dhm_context;
    if (!ctx) return 0;
    mbedtls_dhm_init(ctx);
    if (mbedtls_mpi_read_string(&ctx->P, 16, s_szDhmP) != 0 ||
        mbedtls_mpi_read_string(&ctx->G, 16, s_szDhmG) != 0) {
        mbedtls_dhm_free(ctx);
        delete ctx;
        return 0;
    }
    ctx->len = mbedtls_mpi_size(&ctx->P);
    return ctx;
}

u32 CQVCrypto::Open(u32 uFlag)
{
    SLOT_S* s = m_Free.pHead;
    if (!s) return 0;
    ListRemove(m_Free, s);
    s->pDhm = NewContext();
    if (!s->pDhm) {
        ListPushHead(m_Free, s);
        return 0;
    }
    s->uCookie = qvGetCookieShort(s->uCookie);
    s->uQueryID = qvGetCookieShort(s->uQueryID);
    s->uState = uFlag ? STA_REQ_OPEN : STA_RES_OPEN;
    s->uStamp = GET_TIMESTAMP();
    s->uOnList = 1;
    ListPushTail(m_Used, s);
    u32 uInd = (u32)(s - m_pSlots);
    qvPrintf("CQVCrypto::Open, uInd=%u, uCookie=%u, usQueryID=%u", uInd, s->uCookie, s->uQueryID);
    return uInd << 16 | s->uCookie;
}

void CQVCrypto::Close(u32 uHandle)
{
    SLOT_S* s = Slot(uHandle);
    if (!s) return;
    u32 uInd = (u32)(s - m_pSlots);
    qvPrintf("CQVCrypto::Close, uInd=%u", uInd);
    FreeContext(s);
    FreeKey(s);
    s->uCookie = qvGetCookieShort(s->uCookie);
    s->uQueryID = qvGetCookieShort(s->uQueryID);
    u32 uWasUsed = s->uState != STA_FREE;
    s->uState = STA_FREE;
    s->uStamp = 0;
    if (uWasUsed) {
        ListRemove(m_Used, s);
        s->uOnList = 0;
        ListPushHead(m_Free, s);
    }
}

int CQVCrypto::DeriveKey(SLOT_S* s, u32 uLen)
{
    if (uLen > kSecretRoom) return QV_CRYPTO_FAIL;
    u8 aSecret[kSecretRoom];
    size_t olen = 0;
    if (mbedtls_dhm_calc_secret(s->pDhm, aSecret, uLen, &olen, HavegeRandom, &m_Havege) != 0)
        return QV_CRYPTO_FAIL;
    // The key hashes K in exactly as many bytes as P has. The library writes K without its
    // leading zero bytes (about one exchange in 256), so those are put back in front.
    size_t uPSize = mbedtls_mpi_size(&s->pDhm->P);
    if (olen > uPSize || uPSize > kSecretRoom) return QV_CRYPTO_FAIL;
    if (olen < uPSize) {
        std::memmove(aSecret + (uPSize - olen), aSecret, olen);
        std::memset(aSecret, 0, uPSize - olen);
        olen = uPSize;
    }
    u8* pKey = new (std::nothrow) u8[32];
    if (!pKey) return QV_CRYPTO_FAIL;
    if (mbedtls_sha256_ret(aSecret, olen, pKey, 0) != 0) {
        delete[] pKey;
        return QV_CRYPTO_FAIL;
    }
    std::memset(aSecret, 0, sizeof(aSecret));
    FreeKey(s);
    if (!s->aes.SetKey(pKey)) {
        std::memset(pKey, 0, 32);
        delete[] pKey;
        FreeKey(s);
        return QV_CRYPTO_FAIL;
    }
    s->pKey = pKey;
    s->uKeyBits = 256;
    return QV_CRYPTO_OK;
}

int CQVCrypto::Export(u32 uHandle, u8* lpOut, u32* lpLen, u32& uQueryID, u32 uFlag)
{
    SLOT_S* s = Slot(uHandle);
    if (!s || !lpOut || !lpLen) return QV_CRYPTO_FAIL;
    if (uFlag) {
        if (s->uState != STA_REQ_OPEN || !s->pDhm) return QV_CRYPTO_STATE;
        size_t olen = 0;
        if (mbedtls_dhm_make_params(s->pDhm, kPrivSize, lpOut, &olen, HavegeRandom, &m_Havege) != 0)
            return QV_CRYPTO_FAIL;
        lpOut[olen] = 0;
        lpOut[olen + 1] = 0;
        *lpLen = (u32)olen + 2;
        s->uState = STA_REQ_EXPORTED;
    } else {
        if (s->uState != STA_RES_IMPORTED || !s->pDhm) return QV_CRYPTO_STATE;
        u32 uSize = (u32)mbedtls_mpi_size(&s->pDhm->P);
        if (mbedtls_dhm_make_public(s->pDhm, kPrivSize, lpOut, uSize, HavegeRandom, &m_Havege) != 0)
            return QV_CRYPTO_FAIL;
        *lpLen = uSize;
        if (DeriveKey(s, uSize) != QV_CRYPTO_OK) return QV_CRYPTO_FAIL;
        FreeContext(s);
        s->uState = STA_CONNECTED;
    }
    s->uStamp = GET_TIMESTAMP();
    uQueryID = s->uQueryID;
    return QV_CRYPTO_OK;
}

int CQVCrypto::Import(u32 uHandle, const u8* lpData, u32 uLen, u32 uQueryID, u32 uFlag)
{
    SLOT_S* s = Slot(uHandle);
    if (!s || (!lpData && uLen)) return QV_CRYPTO_FAIL;
    if (uFlag) {
        if (s->uState != STA_RES_OPEN || !s->pDhm) return QV_CRYPTO_STATE;
        // The requester's P and G are read into a scratch context first: only the fixed group
        // is accepted, so a peer can neither impose a weak group nor one whose reply would
        // not fit the caller's buffer.
        mbedtls_dhm_context tmp;
        mbedtls_dhm_init(&tmp);
        unsigned char* p = const_cast<unsigned char*>(lpData);
        int r = mbedtls_dhm_read_params(&tmp, &p, p + uLen);
        u32 uSame = r == 0 && mbedtls_mpi_cmp_mpi(&tmp.P, &s->pDhm->P) == 0 &&
                    mbedtls_mpi_cmp_mpi(&tmp.G, &s->pDhm->G) == 0;
        if (uSame) uSame = mbedtls_mpi_copy(&s->pDhm->GY, &tmp.GY) == 0;
        mbedtls_dhm_free(&tmp);
        if (!uSame) return QV_CRYPTO_FAIL;
        s->uQueryID = (u16)uQueryID;
        s->uState = STA_RES_IMPORTED;
    } else {
        if (s->uState != STA_REQ_EXPORTED || !s->pDhm) return QV_CRYPTO_STATE;
        if ((u16)uQueryID != s->uQueryID) {
            u32 uInd = (u32)(s - m_pSlots);
            qvPrintf("CQVCrypto::STA_ImportReply, uInd=%u, uCookie=%u, usQueryID=%u, usQueryID1=%u",
                     uInd, s->uCookie, s->uQueryID, uQueryID);
            qvLogOut(0, "CQVCrypto::STA_ImportReply, uInd=%u, uCookie=%u, usQueryID=%u, usQueryID1=%u",
                     uInd, s->uCookie, s->uQueryID, uQueryID);
            return QV_CRYPTO_FAIL;
        }
        if (mbedtls_dhm_read_public(s->pDhm, lpData, uLen) != 0) return QV_CRYPTO_FAIL;
        if (DeriveKey(s, uLen) != QV_CRYPTO_OK) return QV_CRYPTO_FAIL;
        FreeContext(s);
        s->uState = STA_CONNECTED;
    }
    s->uStamp = GET_TIMESTAMP();
    return QV_CRYPTO_OK;
}

u32 CQVCrypto::CompareQueryID(u32 uHandle, u32 uQueryID)
{
    SLOT_S* s = Slot(uHandle);
    if (!s || s->uState != STA_REQ_EXPORTED || s->uQueryID <= (uQueryID & 0xFFFF)) return 1;
    return 0;
}

u32 CQVCrypto::CheckTimeout(u32 uHandle)
{
    return CheckTimeoutAt(uHandle, GET_TIMESTAMP());
}

u32 CQVCrypto::CheckTimeoutAt(u32 uHandle, u32 uNow)
{
    SLOT_S* s = Slot(uHandle);
    if (!s) return 1;
    return (u32)(uNow - s->uStamp) > QV_CRYPTO_TIMEOUT_MS ? 1 : 0;
}

u32 CQVCrypto::IsConnected(u32 uHandle)
{
    SLOT_S* s = Slot(uHandle);
    return s && s->uState == STA_CONNECTED && s->pKey ? 1 : 0;
}

u32 CQVCrypto::KeyGet(u32 uHandle, u8* lpKey)
{
    SLOT_S* s = Slot(uHandle);
    if (!s || s->uState != STA_CONNECTED || !s->pKey || !lpKey) return 0;
    std::memcpy(lpKey, s->pKey, 32);
    return 1;
}

u32 CQVCrypto::GetState(u32 uHandle)
{
    SLOT_S* s = Slot(uHandle);
    return s ? s->uState : 0xFFFF;
}

u32 CQVCrypto::Encrypt(u32 uHandle, const u8* lpIn, u8* lpOut, u32 uLen)
{
    SLOT_S* s = Slot(uHandle);
    u32 uInd = uHandle >> 16;
    if (!s || !s->pKey || !s->aes.IsSet() || (uLen & 15) || !lpIn || !lpOut) {
        qvPrintf("CQVCrypto::Encrypt, failed uInd=%u", uInd);
        return 0;
    }
    // Every call is a chain of its own from a zero IV; nothing to do for an empty one.
    if (uLen && !s->aes.Encrypt(lpIn, lpOut, uLen)) {
        qvPrintf("CQVCrypto::Encrypt, failed uInd=%u", uInd);
        return 0;
    }
    return 1;
}

u32 CQVCrypto::EncryptMany(u32 uHandle, const u8* const* lpIn, u8* const* lpOut, const u32* lpLen, u32 uCount)
{
    SLOT_S* s = Slot(uHandle);
    if (!s || !s->pKey || !s->aes.EncryptMany(lpIn, lpOut, lpLen, uCount)) {
        qvPrintf("CQVCrypto::Encrypt, failed uInd=%u", uHandle >> 16);
        return 0;
    }
    return 1;
}

u32 CQVCrypto::Decrypt(u32 uHandle, const u8* lpIn, u8* lpOut, u32 uLen)
{
    SLOT_S* s = Slot(uHandle);
    u32 uInd = uHandle >> 16;
    if (!s || !s->pKey || !s->aes.IsSet() || (uLen & 15) || !lpIn || !lpOut) {
        qvPrintf("CQVCrypto::Decrypt, failed uInd=%u, pucKey=0x%x", uInd,
                 (u32)(uintptr_t)(s ? s->pKey : 0));
        return 0;
    }
    if (uLen && !s->aes.Decrypt(lpIn, lpOut, uLen)) {
        qvPrintf("CQVCrypto::Decrypt, failed uInd=%u, pucKey=0x%x", uInd,
                 (u32)(uintptr_t)s->pKey);
        return 0;
    }
    return 1;
}
