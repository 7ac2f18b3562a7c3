// AES-256-CBC of session payloads: every call is a chain of its own from an all-zero IV.
// With AES-NI the round keys are expanded once per key, decryption runs 8 blocks of a chain
// side by side (CBC decryption does not wait on the previous block), and several chains can
// be encrypted side by side (CBC encryption of one chain cannot). A CPU without AES-NI uses
// mbedtls with the same results, byte for byte.
#pragma once

#include "qvType.h"

#include <mbedtls/aes.h>

// Most chains EncryptMany takes in one call.
#define QV_AES_MANY_MAX 8
// Longest chain taken, in bytes (a datagram's payload is under 2 KiB).
#define QV_AES_MAX_LEN 65536

class CQVAesCbc {
public:
    CQVAesCbc();
    ~CQVAesCbc();
    CQVAesCbc(const CQVAesCbc&) = delete;
    CQVAesCbc& operator=(const CQVAesCbc&) = delete;

    // Expands a 32-byte key (both directions); 1 on success. Replaces any earlier key.
    u32 SetKey(const u8* lpKey);
    // Forgets the key; the round keys are zeroed.
    void Clear();
    u32 IsSet() const { return m_uMode != 0; }
    // 1 when this key runs on AES-NI.
    u32 UsesHw() const { return m_uMode == 2; }

    // One chain over uLen bytes (a multiple of 16, 16..QV_AES_MAX_LEN); in and out may be the same buffer.
    // 1 on success, 0 for a refused length or no key.
    u32 Encrypt(const u8* lpIn, u8* lpOut, u32 uLen) const;
    u32 Decrypt(const u8* lpIn, u8* lpOut, u32 uLen) const;
    // uCount (1..QV_AES_MANY_MAX) independent chains, each as Encrypt would make it; the
    // lengths may differ; the chains must not overlap one another. Nothing is written unless
    // every length is valid.
    u32 EncryptMany(const u8* const* lpIn, u8* const* lpOut, const u32* lpLen, u32 uCount) const;

    // 1 when the CPU has AES-NI (and SSE4.1).
    static u32 HwPresent();
    // 0 makes every key set from now on use mbedtls even on a CPU with AES-NI (comparisons);
    // 1 (the default) uses AES-NI when the CPU has it.
    static void SetHwAllowed(u32 uAllowed);

private:
    // 0 no key, 1 mbedtls contexts, 2 AES-NI round keys.
    u32 m_uMode;
    alignas(16) u8 m_aEnc[15 * 16];
    alignas(16) u8 m_aDec[15 * 16];
    mbedtls_aes_context m_Enc;
    mbedtls_aes_context m_Dec;
};
