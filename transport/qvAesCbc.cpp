// AES-256-CBC of session payloads on VAES or AES-NI, mbedtls when the CPU lacks them.
#include "qvAesCbc.h"

#include <atomic>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define KV_AESNI_CODE 1
// Only these functions use AES-NI and VAES instructions; the rest of the program runs on
// any x86 CPU.
#define KV_AESNI __attribute__((target("aes,sse4.1")))
#define KV_VAES256 __attribute__((target("aes,sse4.1,avx2,vaes")))
#define KV_VAES512 __attribute__((target("aes,sse4.1,avx2,avx512f,vaes")))
#endif

namespace {

// AES-256: 14 rounds, 15 round keys of 16 bytes.
const u32 kRounds = 14;

std::atomic<u32> s_uWayMax{QV_AES_WAY_VAES512};

u32 CpuWayBest()
{
#ifdef KV_AESNI_CODE
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return QV_AES_WAY_MBEDTLS;
    if (!(c & bit_AES) || !(c & bit_SSE4_1)) return QV_AES_WAY_MBEDTLS;
    // The wide registers also need the system to save them (XCR0): SSE and AVX state for
    // 256 bits, and the mask and upper ZMM state for 512.
    if (!(c & bit_OSXSAVE) || !(c & bit_AVX)) return QV_AES_WAY_AESNI;
    unsigned lo = 0, hi = 0;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    if ((lo & 0x6) != 0x6) return QV_AES_WAY_AESNI;
    unsigned a7 = 0, b7 = 0, c7 = 0, d7 = 0;
    if (!__get_cpuid_count(7, 0, &a7, &b7, &c7, &d7)) return QV_AES_WAY_AESNI;
    if (!(c7 & bit_VAES) || !(b7 & bit_AVX2)) return QV_AES_WAY_AESNI;
    if ((b7 & bit_AVX512F) && (lo & 0xE6) == 0xE6) return QV_AES_WAY_VAES512;
    return QV_AES_WAY_VAES256;
#else
    return QV_AES_WAY_MBEDTLS;
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

typedef void (*ENC_GROUP_F)(const u8* lpRk, const u8* const* lpIn, u8* const* lpOut, u32 uFrom, u32 uBlocks,
                            __m128i* st, u32 n);

// Chains of different lengths: all of them advance together up to the shortest one, which
// then leaves the group, and so on. fGroup advances a group on one way.
KV_AESNI void HwCbcEncryptMany(const u8* lpRk, const u8* const* lpIn, u8* const* lpOut, const u32* lpLen, u32 n,
                               ENC_GROUP_F fGroup)
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
    for (u32 j = 0; j < QV_AES_MANY_MAX; j++) st[j] = _mm_setzero_si128();
    for (u32 j = 0; j < n; j++) {
        in[j] = lpIn[ord[j]];
        out[j] = lpOut[ord[j]];
    }
    u32 uDone = 0, m = n;
    while (m) {
        u32 uEnd = lpLen[ord[m - 1]] / 16;
        if (uEnd > uDone) fGroup(lpRk, in, out, uDone, uEnd - uDone, st, m);
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


// ---- VAES, 256-bit registers: two blocks per register (lane 0 the earlier one).

// Round key r in both lanes.
KV_VAES256 inline __m256i Rk256(const u8* lpRk, u32 r)
{
    return _mm256_broadcastsi128_si256(_mm_load_si128((const __m128i*)lpRk + r));
}

// Each ciphertext needs its own and the one before it: the pair before c, given the
// register before it (its upper lane the block just ahead of c's first).
KV_VAES256 inline __m256i Prev256(__m256i before, __m256i c)
{
    return _mm256_permute2x128_si256(before, c, 0x21);
}

KV_VAES256 void Vaes256CbcDecrypt(const u8* lpRk, const u8* lpIn, u8* lpOut, u32 uBlocks)
{
    __m256i carry = _mm256_setzero_si256();   // upper lane: the ciphertext before block i
    u32 i = 0;
    // Eight blocks at a time, all read before anything is written (in and out may be the
    // same buffer).
    for (; i + 8 <= uBlocks; i += 8) {
        __m256i c[4], x[4];
        __m256i k0 = Rk256(lpRk, 0);
        for (u32 j = 0; j < 4; j++) {
            c[j] = _mm256_loadu_si256((const __m256i*)(lpIn + 16 * i) + j);
            x[j] = _mm256_xor_si256(c[j], k0);
        }
        for (u32 r = 1; r < kRounds; r++) {
            __m256i kr = Rk256(lpRk, r);
            for (u32 j = 0; j < 4; j++) x[j] = _mm256_aesdec_epi128(x[j], kr);
        }
        __m256i kl = Rk256(lpRk, kRounds);
        for (u32 j = 0; j < 4; j++) x[j] = _mm256_aesdeclast_epi128(x[j], kl);
        _mm256_storeu_si256((__m256i*)(lpOut + 16 * i), _mm256_xor_si256(x[0], Prev256(carry, c[0])));
        for (u32 j = 1; j < 4; j++)
            _mm256_storeu_si256((__m256i*)(lpOut + 16 * i) + j, _mm256_xor_si256(x[j], Prev256(c[j - 1], c[j])));
        carry = c[3];
    }
    for (; i + 2 <= uBlocks; i += 2) {
        __m256i c = _mm256_loadu_si256((const __m256i*)(lpIn + 16 * i));
        __m256i x = _mm256_xor_si256(c, Rk256(lpRk, 0));
        for (u32 r = 1; r < kRounds; r++) x = _mm256_aesdec_epi128(x, Rk256(lpRk, r));
        x = _mm256_aesdeclast_epi128(x, Rk256(lpRk, kRounds));
        _mm256_storeu_si256((__m256i*)(lpOut + 16 * i), _mm256_xor_si256(x, Prev256(carry, c)));
        carry = c;
    }
    if (i < uBlocks) {
        const __m128i* k = (const __m128i*)lpRk;
        __m128i c = _mm_loadu_si128((const __m128i*)(lpIn + 16 * i));
        __m128i x = _mm_xor_si128(c, _mm_load_si128(k));
        for (u32 r = 1; r < kRounds; r++) x = _mm_aesdec_si128(x, _mm_load_si128(k + r));
        x = _mm_aesdeclast_si128(x, _mm_load_si128(k + kRounds));
        _mm_storeu_si128((__m128i*)(lpOut + 16 * i), _mm_xor_si128(x, _mm256_extracti128_si256(carry, 1)));
    }
}

// R registers of two chains each (lane L of register z is chain 2z+L) advance by uBlocks
// blocks from block uFrom; chains at or past n only fill lanes (their input is chain 0's,
// nothing of theirs is stored but their running state). st has QV_AES_MANY_MAX states.
template <u32 R>
KV_VAES256 void Vaes256CbcEncryptN(const u8* lpRk, const u8* const* lpIn, u8* const* lpOut, u32 uFrom, u32 uBlocks,
                                   __m128i* st, u32 n)
{
    __m256i x[R];
    const u8* in[2 * R];
    for (u32 j = 0; j < 2 * R; j++) in[j] = lpIn[j < n ? j : 0];
    for (u32 z = 0; z < R; z++) x[z] = _mm256_set_m128i(st[2 * z + 1], st[2 * z]);
    for (u32 i = uFrom; i < uFrom + uBlocks; i++) {
        __m256i k0 = Rk256(lpRk, 0);
        for (u32 z = 0; z < R; z++) {
            __m256i p = _mm256_set_m128i(_mm_loadu_si128((const __m128i*)(in[2 * z + 1] + 16 * i)),
                                         _mm_loadu_si128((const __m128i*)(in[2 * z] + 16 * i)));
            x[z] = _mm256_xor_si256(_mm256_xor_si256(x[z], p), k0);
        }
        for (u32 r = 1; r < kRounds; r++) {
            __m256i kr = Rk256(lpRk, r);
            for (u32 z = 0; z < R; z++) x[z] = _mm256_aesenc_epi128(x[z], kr);
        }
        __m256i kl = Rk256(lpRk, kRounds);
        for (u32 z = 0; z < R; z++) {
            x[z] = _mm256_aesenclast_epi128(x[z], kl);
            _mm_storeu_si128((__m128i*)(lpOut[2 * z] + 16 * i), _mm256_castsi256_si128(x[z]));
            if (2 * z + 1 < n) _mm_storeu_si128((__m128i*)(lpOut[2 * z + 1] + 16 * i), _mm256_extracti128_si256(x[z], 1));
        }
    }
    for (u32 z = 0; z < R; z++) {
        st[2 * z] = _mm256_castsi256_si128(x[z]);
        st[2 * z + 1] = _mm256_extracti128_si256(x[z], 1);
    }
}

KV_VAES256 void Vaes256CbcEncryptGroup(const u8* lpRk, const u8* const* lpIn, u8* const* lpOut, u32 uFrom,
                                       u32 uBlocks, __m128i* st, u32 n)
{
    switch ((n + 1) / 2) {
    case 1: Vaes256CbcEncryptN<1>(lpRk, lpIn, lpOut, uFrom, uBlocks, st, n); break;
    case 2: Vaes256CbcEncryptN<2>(lpRk, lpIn, lpOut, uFrom, uBlocks, st, n); break;
    case 3: Vaes256CbcEncryptN<3>(lpRk, lpIn, lpOut, uFrom, uBlocks, st, n); break;
    default: Vaes256CbcEncryptN<4>(lpRk, lpIn, lpOut, uFrom, uBlocks, st, n); break;
    }
}

// ---- VAES, 512-bit registers: four blocks per register (lane 0 the earliest).

// GCC's AVX-512 headers fill the unused parts of some results (the casts to 128 bits) from
// a deliberately undefined value, which its own warnings then take for a fault of ours.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

KV_VAES512 inline __m512i Rk512(const u8* lpRk, u32 r)
{
    return _mm512_maskz_broadcast_i32x4(0xFFFF, _mm_load_si128((const __m128i*)lpRk + r));
}

// The four blocks before those of c, given the register before it (its lane 3 the block
// just ahead of c's first).
KV_VAES512 inline __m512i Prev512(__m512i before, __m512i c)
{
    return _mm512_maskz_alignr_epi64(0xFF, c, before, 6);
}

KV_VAES512 void Vaes512CbcDecrypt(const u8* lpRk, const u8* lpIn, u8* lpOut, u32 uBlocks)
{
    __m512i k[kRounds + 1];
    for (u32 r = 0; r <= kRounds; r++) k[r] = Rk512(lpRk, r);
    __m512i carry = _mm512_setzero_si512();   // lane 3: the ciphertext before block i
    u32 i = 0;
    // Sixteen blocks at a time, all read before anything is written (in and out may be the
    // same buffer).
    for (; i + 16 <= uBlocks; i += 16) {
        __m512i c[4], x[4];
        for (u32 j = 0; j < 4; j++) {
            c[j] = _mm512_loadu_si512((const __m512i*)(lpIn + 16 * i) + j);
            x[j] = _mm512_xor_si512(c[j], k[0]);
        }
        for (u32 r = 1; r < kRounds; r++)
            for (u32 j = 0; j < 4; j++) x[j] = _mm512_aesdec_epi128(x[j], k[r]);
        for (u32 j = 0; j < 4; j++) x[j] = _mm512_aesdeclast_epi128(x[j], k[kRounds]);
        _mm512_storeu_si512((__m512i*)(lpOut + 16 * i), _mm512_xor_si512(x[0], Prev512(carry, c[0])));
        for (u32 j = 1; j < 4; j++)
            _mm512_storeu_si512((__m512i*)(lpOut + 16 * i) + j, _mm512_xor_si512(x[j], Prev512(c[j - 1], c[j])));
        carry = c[3];
    }
    for (; i + 4 <= uBlocks; i += 4) {
        __m512i c = _mm512_loadu_si512((const __m512i*)(lpIn + 16 * i));
        __m512i x = _mm512_xor_si512(c, k[0]);
        for (u32 r = 1; r < kRounds; r++) x = _mm512_aesdec_epi128(x, k[r]);
        x = _mm512_aesdeclast_epi128(x, k[kRounds]);
        _mm512_storeu_si512((__m512i*)(lpOut + 16 * i), _mm512_xor_si512(x, Prev512(carry, c)));
        carry = c;
    }
    // One to three blocks left: one at a time on the low lane.
    __m128i prev = _mm512_maskz_extracti32x4_epi32(0xF, carry, 3);
    for (; i < uBlocks; i++) {
        __m128i c = _mm_loadu_si128((const __m128i*)(lpIn + 16 * i));
        __m128i x = _mm_xor_si128(c, _mm512_castsi512_si128(k[0]));
        for (u32 r = 1; r < kRounds; r++) x = _mm_aesdec_si128(x, _mm512_castsi512_si128(k[r]));
        x = _mm_aesdeclast_si128(x, _mm512_castsi512_si128(k[kRounds]));
        _mm_storeu_si128((__m128i*)(lpOut + 16 * i), _mm_xor_si128(x, prev));
        prev = c;
    }
}

// Four chains from four 16-byte loads, lane L chain L.
KV_VAES512 inline __m512i Gather512(const u8* const* in, u32 uOff)
{
    __m512i v = _mm512_castsi128_si512(_mm_loadu_si128((const __m128i*)(in[0] + uOff)));
    v = _mm512_inserti32x4(v, _mm_loadu_si128((const __m128i*)(in[1] + uOff)), 1);
    v = _mm512_inserti32x4(v, _mm_loadu_si128((const __m128i*)(in[2] + uOff)), 2);
    return _mm512_inserti32x4(v, _mm_loadu_si128((const __m128i*)(in[3] + uOff)), 3);
}

// Stores lanes 0..m-1 (m >= 1) of v, lane L at out[L] + uOff.
KV_VAES512 inline void Scatter512(__m512i v, u8* const* out, u32 uOff, u32 m)
{
    _mm_storeu_si128((__m128i*)(out[0] + uOff), _mm512_castsi512_si128(v));
    if (m > 1) _mm_storeu_si128((__m128i*)(out[1] + uOff), _mm512_maskz_extracti32x4_epi32(0xF, v, 1));
    if (m > 2) _mm_storeu_si128((__m128i*)(out[2] + uOff), _mm512_maskz_extracti32x4_epi32(0xF, v, 2));
    if (m > 3) _mm_storeu_si128((__m128i*)(out[3] + uOff), _mm512_maskz_extracti32x4_epi32(0xF, v, 3));
}

// R registers of four chains each (lane L of register z is chain 4z+L) advance by uBlocks
// blocks from block uFrom; chains at or past n only fill lanes (their input is chain 0's,
// nothing of theirs is stored but their running state). st has QV_AES_MANY_MAX states.
template <u32 R>
KV_VAES512 void Vaes512CbcEncryptN(const u8* lpRk, const u8* const* lpIn, u8* const* lpOut, u32 uFrom, u32 uBlocks,
                                   __m128i* st, u32 n)
{
    __m512i k[kRounds + 1];
    for (u32 r = 0; r <= kRounds; r++) k[r] = Rk512(lpRk, r);
    const u8* in[4 * R];
    u32 m[R];
    for (u32 j = 0; j < 4 * R; j++) in[j] = lpIn[j < n ? j : 0];
    __m512i x[R];
    for (u32 z = 0; z < R; z++) {
        m[z] = n - 4 * z < 4 ? n - 4 * z : 4;
        x[z] = _mm512_inserti32x4(_mm512_castsi128_si512(st[4 * z]), st[4 * z + 1], 1);
        x[z] = _mm512_inserti32x4(x[z], st[4 * z + 2], 2);
        x[z] = _mm512_inserti32x4(x[z], st[4 * z + 3], 3);
    }
    for (u32 i = uFrom; i < uFrom + uBlocks; i++) {
        for (u32 z = 0; z < R; z++) x[z] = _mm512_ternarylogic_epi64(x[z], Gather512(in + 4 * z, 16 * i), k[0], 0x96);
        for (u32 r = 1; r < kRounds; r++)
            for (u32 z = 0; z < R; z++) x[z] = _mm512_aesenc_epi128(x[z], k[r]);
        for (u32 z = 0; z < R; z++) {
            x[z] = _mm512_aesenclast_epi128(x[z], k[kRounds]);
            Scatter512(x[z], lpOut + 4 * z, 16 * i, m[z]);
        }
    }
    for (u32 z = 0; z < R; z++) {
        st[4 * z] = _mm512_castsi512_si128(x[z]);
        st[4 * z + 1] = _mm512_maskz_extracti32x4_epi32(0xF, x[z], 1);
        st[4 * z + 2] = _mm512_maskz_extracti32x4_epi32(0xF, x[z], 2);
        st[4 * z + 3] = _mm512_maskz_extracti32x4_epi32(0xF, x[z], 3);
    }
}

KV_VAES512 void Vaes512CbcEncryptGroup(const u8* lpRk, const u8* const* lpIn, u8* const* lpOut, u32 uFrom,
                                       u32 uBlocks, __m128i* st, u32 n)
{
    if (n <= 4)
        Vaes512CbcEncryptN<1>(lpRk, lpIn, lpOut, uFrom, uBlocks, st, n);
    else
        Vaes512CbcEncryptN<2>(lpRk, lpIn, lpOut, uFrom, uBlocks, st, n);
}

#pragma GCC diagnostic pop

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

u32 CQVAesCbc::WayBest()
{
    static const u32 s_uBest = CpuWayBest();
    return s_uBest;
}

u32 CQVAesCbc::HwPresent()
{
    return WayBest() >= QV_AES_WAY_AESNI ? 1 : 0;
}

void CQVAesCbc::SetWayMax(u32 uWay)
{
    s_uWayMax.store(uWay > QV_AES_WAY_VAES512 ? QV_AES_WAY_VAES512 : uWay);
}

void CQVAesCbc::SetHwAllowed(u32 uAllowed)
{
    SetWayMax(uAllowed ? QV_AES_WAY_VAES512 : QV_AES_WAY_MBEDTLS);
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
    u32 uWay = WayBest();
    if (uWay > s_uWayMax.load()) uWay = s_uWayMax.load();
#ifdef KV_AESNI_CODE
    if (uWay >= QV_AES_WAY_AESNI) {
        HwExpand(lpKey, m_aEnc, m_aDec);
        m_uMode = 1 + uWay;
        return 1;
    }
#endif
    if (mbedtls_aes_setkey_enc(&m_Enc, lpKey, 256) != 0 || mbedtls_aes_setkey_dec(&m_Dec, lpKey, 256) != 0) {
        Clear();
        return 0;
    }
    m_uMode = 1 + QV_AES_WAY_MBEDTLS;
    return 1;
}

u32 CQVAesCbc::Encrypt(const u8* lpIn, u8* lpOut, u32 uLen) const
{
    if (!m_uMode || !lpIn || !lpOut || !LenOk(uLen)) return 0;
#ifdef KV_AESNI_CODE
    // One chain cannot run side by side with itself: every instruction way is the same here.
    if (UsesHw()) {
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
    switch (Way()) {
    case QV_AES_WAY_VAES512:
        // Under 4 blocks the 512-bit code has no full register to fill and its 15 key
        // broadcasts cost more than they save (32 bytes: about 26 ns against 10); the CPU has
        // the 256-bit code too.
        if (uLen < 64)
            Vaes256CbcDecrypt(m_aDec, lpIn, lpOut, uLen / 16);
        else
            Vaes512CbcDecrypt(m_aDec, lpIn, lpOut, uLen / 16);
        return 1;
    case QV_AES_WAY_VAES256: Vaes256CbcDecrypt(m_aDec, lpIn, lpOut, uLen / 16); return 1;
    case QV_AES_WAY_AESNI: HwCbcDecrypt(m_aDec, lpIn, lpOut, uLen / 16); return 1;
    default: break;
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
    switch (Way()) {
    case QV_AES_WAY_VAES512: HwCbcEncryptMany(m_aEnc, lpIn, lpOut, lpLen, uCount, Vaes512CbcEncryptGroup); return 1;
    case QV_AES_WAY_VAES256: HwCbcEncryptMany(m_aEnc, lpIn, lpOut, lpLen, uCount, Vaes256CbcEncryptGroup); return 1;
    case QV_AES_WAY_AESNI: HwCbcEncryptMany(m_aEnc, lpIn, lpOut, lpLen, uCount, HwCbcEncryptGroup); return 1;
    default: break;
    }
#endif
    for (u32 j = 0; j < uCount; j++)
        if (!Encrypt(lpIn[j], lpOut[j], lpLen[j])) return 0;
    return 1;
}
