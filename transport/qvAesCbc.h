// AES-256-CBC of session payloads: every call is a chain of its own from an all-zero IV.
// The round keys are expanded once per key. On AES-NI, decryption runs 8 blocks of a chain
// side by side (CBC decryption does not wait on the previous block), and several chains can
// be encrypted side by side (CBC encryption of one chain cannot). With VAES the same runs 2
// (256-bit registers) or 4 (512-bit registers, AVX-512) blocks per instruction. The fastest
// way the CPU has is taken when a key is set; a CPU without AES-NI uses mbedtls. Every way
// gives the same bytes.
#pragma once

#include "qvType.h"

#include <mbedtls/aes.h>

// Most chains EncryptMany takes in one call.
#define QV_AES_MANY_MAX 8
// Ways of running a key, slowest first.
#define QV_AES_WAY_MBEDTLS 0
#define QV_AES_WAY_AESNI 1
#define QV_AES_WAY_VAES256 2   // VAES on 256-bit registers (AVX2)
#define QV_AES_WAY_VAES512 3   // VAES on 512-bit registers (AVX-512F)
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
    // 1 when this key runs on AES instructions (any way but mbedtls).
    u32 UsesHw() const { return m_uMode >= 2; }
    // The way this key runs (QV_AES_WAY_*); QV_AES_WAY_MBEDTLS without a key.
    u32 Way() const { return m_uMode ? m_uMode - 1 : QV_AES_WAY_MBEDTLS; }

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
    // The fastest way this CPU (and the system, for the wide registers) can run.
    static u32 WayBest();
    // Keys set from now on run at most way uWay (or the fastest the CPU has, if slower);
    // for comparisons between the ways. The default is QV_AES_WAY_VAES512.
    static void SetWayMax(u32 uWay);
    // 0: as SetWayMax(QV_AES_WAY_MBEDTLS); 1: as SetWayMax(QV_AES_WAY_VAES512).
    static void SetHwAllowed(u32 uAllowed);

private:
    // 0 no key, else 1 + the way (QV_AES_WAY_*); the AES instruction ways share the round keys.
    u32 m_uMode;
    alignas(16) u8 m_aEnc[15 * 16];
    alignas(16) u8 m_aDec[15 * 16];
    mbedtls_aes_context m_Enc;
    mbedtls_aes_context m_Dec;
};
