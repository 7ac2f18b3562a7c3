// Per-peer-socket Diffie-Hellman key exchange and AES-256-CBC session encryption.
#pragma once

#include "qvAesCbc.h"
#include "qvType.h"

#include <mbedtls/havege.h>

struct mbedtls_dhm_context;

// Results of Export and Import.
#define QV_CRYPTO_OK 0
#define QV_CRYPTO_STATE 1   // wrong state, nothing changed
#define QV_CRYPTO_FAIL (-1) // failed or invalid handle

// Key data of an EncR: G^Y as many bytes as P has (1024-bit group).
#define QV_CRYPTO_P_SIZE 128
// A slot whose last step is older than this (ms) may be given up by its owner.
#define QV_CRYPTO_TIMEOUT_MS 1499

class CQVCrypto {
public:
    CQVCrypto();
    virtual ~CQVCrypto();

    u32 Initialize(u32 uCount);
    void Clean();

    u32 Open(u32 uFlag);
    void Close(u32 uHandle);
    int Export(u32 uHandle, u8* lpOut, u32* lpLen, u32& uQueryID, u32 uFlag);
    int Import(u32 uHandle, const u8* lpData, u32 uLen, u32 uQueryID, u32 uFlag);
    u32 CompareQueryID(u32 uHandle, u32 uQueryID);
    u32 CheckTimeout(u32 uHandle);
    // The same check at the millisecond stamp uNow (GET_TIMESTAMP's clock).
    u32 CheckTimeoutAt(u32 uHandle, u32 uNow);
    u32 IsConnected(u32 uHandle);
    u32 Encrypt(u32 uHandle, const u8* lpIn, u8* lpOut, u32 uLen);
    u32 Decrypt(u32 uHandle, const u8* lpIn, u8* lpOut, u32 uLen);
    // uCount (1..QV_AES_MANY_MAX) payloads, each its own chain as Encrypt makes it, worked
    // side by side; 1 when all are done, 0 (nothing usable) otherwise.
    u32 EncryptMany(u32 uHandle, const u8* const* lpIn, u8* const* lpOut, const u32* lpLen, u32 uCount);

    // Copies the established 32-byte key of a slot to lpKey (work with it away from the
    // caller's lock); 1 when there is one, else 0 and nothing is written.
    u32 KeyGet(u32 uHandle, u8* lpKey);

    // Slot state (0 free .. 5 key established); 0xFFFF for an invalid handle.
    u32 GetState(u32 uHandle);

    enum { STA_FREE = 0, STA_REQ_OPEN = 1, STA_RES_OPEN = 2, STA_RES_IMPORTED = 3,
           STA_REQ_EXPORTED = 4, STA_CONNECTED = 5 };

private:
    struct SLOT_S {
        SLOT_S* pPrev;
        SLOT_S* pNext;
        u32 uOnList; // 0 free list, 1 used list
        u32 uStamp;
        u16 uState;
        u16 uQueryID;
        u16 uCookie;
        u16 uKeyBits;
        u8* pKey;
        mbedtls_dhm_context* pDhm;
        // Round keys of pKey, expanded once when the key is set: every block of a session
        // uses them, so no block pays for a key schedule (about 1 us each way).
        CQVAesCbc aes;
    };
    struct LIST_S {
        SLOT_S* pHead;
        SLOT_S* pTail;
    };

    SLOT_S* Slot(u32 uHandle);
    static void ListRemove(LIST_S& l, SLOT_S* s);
    static void ListPushHead(LIST_S& l, SLOT_S* s);
    static void ListPushTail(LIST_S& l, SLOT_S* s);
    mbedtls_dhm_context* NewContext();
    static void FreeContext(SLOT_S* s);
    // Forgets the key and its round keys (zeroed).
    static void FreeKey(SLOT_S* s);
    int DeriveKey(SLOT_S* s, u32 uLen);

    SLOT_S* m_pSlots;
    u32 m_uCount;
    LIST_S m_Free;
    LIST_S m_Used;
    mbedtls_havege_state m_Havege;
    u32 m_uHavege;
};
