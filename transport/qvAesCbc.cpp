// AES-256-CBC of session payloads with AES-NI, mbedtls when the CPU lacks it.
#include "qvAesCbc.h"

#include <atomic>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define KV_AESNI_CODE 1
// Only these functions use AES-NI instructions; the rest of the program runs on any x86 CPU.
#define KV_AESNI __attribute__((target("aes,sse4.1")))
#endif

namespace {

// AES-256: 14 rounds, 15 round keys of 16 bytes.
const u32 kRounds = 14;

std::atomic<u32> s_uHwAllowed{1};

u32 CpuHasAesNi()
{
#ifdef KV_AESNI_CODE
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return 0;
    return (c & bit_AES) && (c & bit_SSE4_1) ? 1 : 0;
#else
    return 0;
#endif
}

bool LenOk(u32 uLen)
{
    return uLen != 0 && (uLen & 15) == 0 && uLen <= QV_AES_MAX_LEN;
}

#ifdef KV_AESNI_CODE

// One half-step of the AES-256 key schedule: w ^ (w << 32) ^ (w << 64) ^ (w << 96) ^ t.
KV_AESNI inline __m128i KeyMix(__m128i w, __m128i t)
{
    __m128i s = _mm_slli_si128(w, 4);
    w = _mm_xor_si128(w, s);
    s = _mm_slli_si128(s, 4);
    w = _mm_xor_si128(w, s);
    s = _mm_slli_si128(s, 4);
    w = _mm_xor_si128(w, s);
    return _mm_xor_si128(w, t);
}

KV_AESNI void HwExpand(const u8* lpKey, u8* lpEnc, u8* lpDec)
{
    __m128i rk[15];
    __m128i a = _mm_loadu_si128((const __m128i*)lpKey);
    __m128i b = _mm_loadu_si128((const __m128i*)(lpKey + 16));
    rk[0] = a;
    rk[1] = b;
    // The round constant is an immediate operand, hence one line per step.
#define KV_AES_STEP(i, rcon)                                                              \
    a = KeyMix(a, _mm_shuffle_epi32(_mm_aeskeygenassist_si128(b, rcon), 0xff));           \
    rk[i] = a;                                                                            \
    if (i + 1 < 15) {                                                                     \
        b = KeyMix(b, _mm_shuffle_epi32(_mm_aeskeygenassist_si128(a, 0), 0xaa));         \
        rk[i + 1] = b;                                                                    \
    }
    KV_AES_STEP(2, 0x01)
    KV_AES_STEP(4, 0x02)
    KV_AES_STEP(6, 0x04)
    KV_AES_STEP(8, 0x08)
    KV_AES_STEP(10, 0x10)
    KV_AES_STEP(12, 0x20)
    KV_AES_STEP(14, 0x40)
#undef KV_AES_STEP
    __m128i* e = (__m128i*)lpEnc;
    __m128i* d = (__m128i*)lpDec;
    for (u32 i = 0; i <= kRounds; i++) _mm_store_si128(e + i, rk[i]);
    // Decryption (equivalent inverse cipher): the keys in reverse order, the inner ones
    // through InvMixColumns.
    _mm_store_si128(d, rk[kRounds]);
    for (u32 i = 1; i < kRounds; i++) _mm_store_si128(d + i, _mm_aesimc_si128(rk[kRounds - i]));
    _mm_store_si128(d + kRounds, rk[0]);
    for (u32 i = 0; i <= kRounds; i++) rk[i] = _mm_setzero_si128();
}

KV_AESNI void HwCbcEncrypt(const u8* lpRk, const u8* lpIn, u8* lpOut, u32 uBlocks)
{
    const __m128i* k = (const __m128i*)lpRk;
    __m128i k0 = _mm_load_si128(k), kl = _mm_load_si128(k + kRounds);
    __m128i x = _mm_setzero_si128();
    for (u32 i = 0; i < uBlocks; i++) {
        x = _mm_xor_si128(x, _mm_loadu_si128((const __m128i*)(lpIn + 16 * i)));
        x = _mm_xor_si128(x, k0);
        for (u32 r = 1; r < kRounds; r++) x = _mm_aesenc_si128(x, _mm_load_si128(k + r));
        x = _mm_aesenclast_si128(x, kl);
        _mm_storeu_si128((__m128i*)(lpOut + 16 * i), x);
    }
}

// N chains advance by uBlocks blocks from block uFrom, side by side; their running states
// are in and out of st (a chain's state is its last ciphertext block).
template <u32 N>
KV_AESNI void HwCbcEncryptN(const u8* lpRk, const u8* const* lpIn, u8* const* lpOut, u32 uFrom, u32 uBlocks,
                            __m128i* st)
{
    const __m128i* k = (const __m128i*)lpRk;
    __m128i x[N];
    for (u32 j = 0; j < N; j++) x[j] = st[j];
    for (u32 i = uFrom; i < uFrom + uBlocks; i++) {
        __m128i k0 = _mm_load_si128(k);
        for (u32 j = 0; j < N; j++)
            x[j] = _mm_xor_si128(_mm_xor_si128(x[j], _mm_loadu_si128((const __m128i*)(lpIn[j] + 16 * i))), k0);
        for (u32 r = 1; r < kRounds; r++) {
            __m128i kr = _mm_load_si128(k + r);
            for (u32 j = 0; j < N; j++) x[j] = _mm_aesenc_si128(x[j], kr);
        }
        __m128i kl = _mm_load_si128(k + kRounds);
        for (u32 j = 0; j < N; j++) {
            x[j] = _mm_aesenclast_si128(x[j], kl);
            _mm_storeu_si128((__m128i*)(lpOut[j] + 16 * i), x[j]);
        }
    }
    for (u32 j = 0; j < N; j++) st[j] = x[j];
}

KV_AESNI void HwCbcEncryptGroup(const u8* lpRk, const u8* const* lpIn, u8* const* lpOut, u32 uFrom, u32 uBlocks,
                                __m128i* st, u32 n)
{
    switch (n) {
    case 1: HwCbcEncryptN<1>(lpRk, lpIn, lpOut, uFrom, uBlocks, st); break;
    case 2: HwCbcEncryptN<2>(lpRk, lpIn, lpOut, uFrom, uBlocks, st); break;
    case 3: HwCbcEncryptN<3>(lpRk, lpIn, lpOut, uFrom, uBlocks, st); break;
    case 4: HwCbcEncryptN<4>(lpRk, lpIn, lpOut, uFrom, uBlocks, st); break;
    case 5: HwCbcEncryptN<5>(lpRk, lpIn, lpOut, uFrom, uBlocks, st); break;
    case 6: HwCbcEncryptN<6>(lpRk, lpIn, lpOut, uFrom, uBlocks, st); break;
    case 7: HwCbcEncryptN<7>(lpRk, lpIn, lpOut, uFrom, uBlocks, st); break;
    default: HwCbcEncryptN<8>(lpRk, lpIn, lpOut, uFrom, uBlocks, st); break;
    }
}

// Chains of different lengths: all of them advance together up to the shortest one, which
// then leaves the group, and so on.
KV_AESNI void HwCbcEncryptMany(const u8* lpRk, const u8* const* lpIn, u8* const* lpOut, const u32* lpLen, u32 n)
{
    u32 ord[QV_AES_MANY_MAX];
    for (u32 j = 0; j < n; j++) {
        u32 i = j;
        for (; i > 0 && lpLen[ord[i - 1]] < lpLen[j]; i--) ord[i] = ord[i - 1];
        ord[i] = j;
    }
    // ord: longest first, so the chains still running are always ord[0 .. m-1].
    const u8* in[QV_AES_MANY_MAX];
    u8* out[QV_AES_MANY_MAX];
    __m128i st[QV_AES_MANY_MAX];
    for (u32 j = 0; j < n; j++) {
        in[j] = lpIn[ord[j]];
        out[j] = lpOut[ord[j]];
        st[j] = _mm_setzero_si128();
    }
    u32 uDone = 0, m = n;
    while (m) {
        u32 uEnd = lpLen[ord[m - 1]] / 16;
        if (uEnd > uDone) HwCbcEncryptGroup(lpRk, in, out, uDone, uEnd - uDone, st, m);
        uDone = uEnd;
        while (m && lpLen[ord[m - 1]] / 16 == uDone) m--;
    }
}

KV_AESNI void HwCbcDecrypt(const u8* lpRk, const u8* lpIn, u8* lpOut, u32 uBlocks)
{
    const __m128i* k = (const __m128i*)lpRk;
    __m128i prev = _mm_setzero_si128();
    u32 i = 0;
    // Eight blocks at a time: each needs only its ciphertext and the one before it, all read
    // before anything is written (in and out may be the same buffer).
    for (; i + 8 <= uBlocks; i += 8) {
        __m128i c[8], x[8];
        __m128i k0 = _mm_load_si128(k);
        for (u32 j = 0; j < 8; j++) {
            c[j] = _mm_loadu_si128((const __m128i*)(lpIn + 16 * (i + j)));
            x[j] = _mm_xor_si128(c[j], k0);
        }
        for (u32 r = 1; r < kRounds; r++) {
            __m128i kr = _mm_load_si128(k + r);
            for (u32 j = 0; j < 8; j++) x[j] = _mm_aesdec_si128(x[j], kr);
        }
        __m128i kl = _mm_load_si128(k + kRounds);
        for (u32 j = 0; j < 8; j++) x[j] = _mm_aesdeclast_si128(x[j], kl);
        _mm_storeu_si128((__m128i*)(lpOut + 16 * i), _mm_xor_si128(x[0], prev));
        for (u32 j = 1; j < 8; j++) _mm_storeu_si128((__m128i*)(lpOut + 16 * (i + j)), _mm_xor_si128(x[j], c[j - 1]));
        prev = c[7];
    }
    for (; i < uBlocks; i++) {
        __m128i c = _mm_loadu_si128((const __m128i*)(lpIn + 16 * i));
        __m128i x = _mm_xor_si128(c, _mm_load_si128(k));
        for (u32 r = 1; r < kRounds; r++) x = _mm_aesdec_si128(x, _mm_load_si128(k + r));
        x = _mm_aesdeclast_si128(x, _mm_load_si128(k + kRounds));
        _mm_storeu_si128((__m128i*)(lpOut + 16 * i), _mm_xor_si128(x, prev));
        prev = c;
    }
}

#endif // KV_AESNI_CODE

} // namespace

CQVAesCbc::CQVAesCbc() : m_uMode(0)
{
    std::memset(m_aEnc, 0, sizeof(m_aEnc));
    std::memset(m_aDec, 0, sizeof(m_aDec));
    mbedtls_aes_init(&m_Enc);
    mbedtls_aes_init(&m_Dec);
}

CQVAesCbc::~CQVAesCbc()
{
    Clear();
}

u32 CQVAesCbc::HwPresent()
{
    static const u32 s_uHas = CpuHasAesNi();
    return s_uHas;
}

void CQVAesCbc::SetHwAllowed(u32 uAllowed)
{
    s_uHwAllowed.store(uAllowed ? 1 : 0);
}

void CQVAesCbc::Clear()
{
    // mbedtls_aes_free zeroes the context; init leaves it ready for the next key.
    mbedtls_aes_free(&m_Enc);
    mbedtls_aes_free(&m_Dec);
    mbedtls_aes_init(&m_Enc);
    mbedtls_aes_init(&m_Dec);
    volatile u8* e = m_aEnc;
    volatile u8* d = m_aDec;
    for (u32 i = 0; i < sizeof(m_aEnc); i++) e[i] = d[i] = 0;
    m_uMode = 0;
}

u32 CQVAesCbc::SetKey(const u8* lpKey)
{
    Clear();
    if (!lpKey) return 0;
#ifdef KV_AESNI_CODE
    if (HwPresent() && s_uHwAllowed.load()) {
        HwExpand(lpKey, m_aEnc, m_aDec);
        m_uMode = 2;
        return 1;
    }
#endif
    if (mbedtls_aes_setkey_enc(&m_Enc, lpKey, 256) != 0 || mbedtls_aes_setkey_dec(&m_Dec, lpKey, 256) != 0) {
        Clear();
        return 0;
    }
    m_uMode = 1;
    return 1;
}

u32 CQVAesCbc::Encrypt(const u8* lpIn, u8* lpOut, u32 uLen) const
{
    if (!m_uMode || !lpIn || !lpOut || !LenOk(uLen)) return 0;
#ifdef KV_AESNI_CODE
    if (m_uMode == 2) {
        HwCbcEncrypt(m_aEnc, lpIn, lpOut, uLen / 16);
        return 1;
    }
#endif
    unsigned char iv[16] = {0};
    // mbedtls keeps the context const in practice; its interface takes it mutable.
    return mbedtls_aes_crypt_cbc(const_cast<mbedtls_aes_context*>(&m_Enc), MBEDTLS_AES_ENCRYPT, uLen, iv, lpIn, lpOut) == 0
               ? 1
               : 0;
}

u32 CQVAesCbc::Decrypt(const u8* lpIn, u8* lpOut, u32 uLen) const
{
    if (!m_uMode || !lpIn || !lpOut || !LenOk(uLen)) return 0;
#ifdef KV_AESNI_CODE
    if (m_uMode == 2) {
        HwCbcDecrypt(m_aDec, lpIn, lpOut, uLen / 16);
        return 1;
    }
#endif
    unsigned char iv[16] = {0};
    return mbedtls_aes_crypt_cbc(const_cast<mbedtls_aes_context*>(&m_Dec), MBEDTLS_AES_DECRYPT, uLen, iv, lpIn, lpOut) == 0
               ? 1
               : 0;
}

u32 CQVAesCbc::EncryptMany(const u8* const* lpIn, u8* const* lpOut, const u32* lpLen, u32 uCount) const
{
    if (!m_uMode || !lpIn || !lpOut || !lpLen || uCount == 0 || uCount > QV_AES_MANY_MAX) return 0;
    for (u32 j = 0; j < uCount; j++)
        if (!lpIn[j] || !lpOut[j] || !LenOk(lpLen[j])) return 0;
#ifdef KV_AESNI_CODE
    if (m_uMode == 2) {
        HwCbcEncryptMany(m_aEnc, lpIn, lpOut, lpLen, uCount);
        return 1;
    }
#endif
    for (u32 j = 0; j < uCount; j++)
        if (!Encrypt(lpIn[j], lpOut[j], lpLen[j])) return 0;
    return 1;
}
