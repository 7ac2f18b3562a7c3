// Key exchange slots and session encryption.
#include "qvCrypto.h"
#include "qvTimer.h"

#include <gtest/gtest.h>

#include <mbedtls/aes.h>
#include <mbedtls/bignum.h>
#include <mbedtls/sha256.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace {

struct Pair {
    CQVCrypto req, res;
    u32 hq = 0, hr = 0;
    Pair()
    {
        EXPECT_EQ(1u, req.Initialize(4));
        EXPECT_EQ(1u, res.Initialize(4));
    }
    ~Pair()
    {
        req.Clean();
        res.Clean();
    }
    // Runs a whole exchange; true when both ends hold a key.
    bool Exchange()
    {
        hq = req.Open(1);
        hr = res.Open(0);
        if (!hq || !hr) return false;
        u8 q[512], r[512];
        u32 lq = 0, lr = 0, qid = 0, qid2 = 0;
        if (req.Export(hq, q, &lq, qid, 1) != QV_CRYPTO_OK) return false;
        if (res.Import(hr, q, lq, qid, 1) != QV_CRYPTO_OK) return false;
        if (res.Export(hr, r, &lr, qid2, 0) != QV_CRYPTO_OK) return false;
        EXPECT_EQ(qid, qid2);
        EXPECT_EQ((u32)QV_CRYPTO_P_SIZE, lr);
        if (req.Import(hq, r, lr, qid2, 0) != QV_CRYPTO_OK) return false;
        return req.IsConnected(hq) && res.IsConnected(hr);
    }
};

} // namespace

TEST(Crypto, ExchangeGivesBothEndsTheSameKey)
{
    Pair p;
    ASSERT_TRUE(p.Exchange());
    u8 plain[64], enc[64], dec[64];
    for (u32 i = 0; i < sizeof(plain); i++) plain[i] = (u8)(i * 7 + 1);
    ASSERT_EQ(1u, p.req.Encrypt(p.hq, plain, enc, sizeof(plain)));
    EXPECT_NE(0, std::memcmp(plain, enc, sizeof(plain)));
    ASSERT_EQ(1u, p.res.Decrypt(p.hr, enc, dec, sizeof(enc)));
    EXPECT_EQ(0, std::memcmp(plain, dec, sizeof(plain)));
    // In place works too (the send path encrypts in its buffer).
    std::memcpy(dec, plain, sizeof(plain));
    ASSERT_EQ(1u, p.res.Encrypt(p.hr, dec, dec, sizeof(dec)));
    EXPECT_EQ(0, std::memcmp(dec, enc, sizeof(enc)));
}

// The round keys are kept per slot: each call still starts its own chain from a zero IV, and
// a slot that is closed and opened for a new exchange encrypts with the new key only.
TEST(Crypto, RoundKeysFollowEveryNewKeyOfASlot)
{
    CQVCrypto req, res;
    ASSERT_EQ(1u, req.Initialize(1));
    ASSERT_EQ(1u, res.Initialize(1));
    u8 plain[96];
    for (u32 i = 0; i < sizeof(plain); i++) plain[i] = (u8)(i * 13 + 5);
    std::vector<std::vector<u8>> seen;
    u32 hqOld = 0;
    for (int round = 0; round < 3; round++) {
        u32 hq = req.Open(1), hr = res.Open(0);
        ASSERT_TRUE(hq && hr);
        u8 q[512], r[512];
        u32 lq = 0, lr = 0, qid = 0, qid2 = 0;
        ASSERT_EQ(QV_CRYPTO_OK, req.Export(hq, q, &lq, qid, 1));
        ASSERT_EQ(QV_CRYPTO_OK, res.Import(hr, q, lq, qid, 1));
        ASSERT_EQ(QV_CRYPTO_OK, res.Export(hr, r, &lr, qid2, 0));
        ASSERT_EQ(QV_CRYPTO_OK, req.Import(hq, r, lr, qid2, 0));
        std::vector<u8> enc(sizeof(plain)), again(sizeof(plain)), dec(sizeof(plain));
        ASSERT_EQ(1u, req.Encrypt(hq, plain, enc.data(), sizeof(plain)));
        ASSERT_EQ(1u, req.Encrypt(hq, plain, again.data(), sizeof(plain)));
        EXPECT_EQ(enc, again);   // no chaining from one call to the next
        ASSERT_EQ(1u, res.Decrypt(hr, enc.data(), dec.data(), sizeof(plain)));
        EXPECT_EQ(0, std::memcmp(plain, dec.data(), sizeof(plain)));
        // The head of a chain decrypts alone: it starts from the zero IV too.
        ASSERT_EQ(1u, res.Decrypt(hr, enc.data(), dec.data(), 32));
        EXPECT_EQ(0, std::memcmp(plain, dec.data(), 32));
        for (const auto& old : seen) EXPECT_NE(old, enc) << "round " << round;
        seen.push_back(enc);
        if (hqOld) {
            EXPECT_EQ(0u, req.Encrypt(hqOld, plain, dec.data(), sizeof(plain)));
        }
        hqOld = hq;
        req.Close(hq);
        res.Close(hr);
        EXPECT_EQ(0u, req.Encrypt(hq, plain, dec.data(), sizeof(plain)));
        EXPECT_EQ(0u, res.Decrypt(hr, enc.data(), dec.data(), sizeof(plain)));
    }
    req.Clean();
    res.Clean();
}

// The session key is SHA-256 of the shared value K written in as many bytes as P has, leading
// zero bytes included. The test answers as the peer with a private value y chosen so that
// K = (G^X)^y has a leading zero byte, and checks the key against its own computation.
TEST(Crypto, KeyHashesTheSharedValueInTheFullWidthOfP)
{
    CQVCrypto c;
    ASSERT_EQ(1u, c.Initialize(1));
    u32 h = c.Open(1);
    u8 q[512];
    u32 lq = 0, qid = 0;
    ASSERT_EQ(QV_CRYPTO_OK, c.Export(h, q, &lq, qid, 1));
    const u8* pGX = q + 2 + 128 + 2 + 1 + 2;
    // G^X is written without leading zero bytes (one exchange in 256 has one).
    u32 uGX = (u32)(q[2 + 128 + 2 + 1] << 8 | q[2 + 128 + 2 + 1 + 1]);
    ASSERT_LE(uGX, 128u);
    ASSERT_GE(uGX, 100u);
    mbedtls_mpi P, GX, K, GY, T;
    for (mbedtls_mpi* m : {&P, &GX, &K, &GY, &T}) mbedtls_mpi_init(m);
    ASSERT_EQ(0, mbedtls_mpi_read_binary(&P, q + 2, 128));
    ASSERT_EQ(0, mbedtls_mpi_read_binary(&GX, pGX, uGX));
    // y = 1, 2, ...: K = GX^y and GY = 4^y, one multiplication each.
    ASSERT_EQ(0, mbedtls_mpi_copy(&K, &GX));
    ASSERT_EQ(0, mbedtls_mpi_lset(&GY, 4));
    for (int y = 1; y < 20000 && mbedtls_mpi_size(&K) == 128; y++) {
        ASSERT_EQ(0, mbedtls_mpi_mul_mpi(&T, &K, &GX));
        ASSERT_EQ(0, mbedtls_mpi_mod_mpi(&K, &T, &P));
        ASSERT_EQ(0, mbedtls_mpi_mul_int(&T, &GY, 4));
        ASSERT_EQ(0, mbedtls_mpi_mod_mpi(&GY, &T, &P));
    }
    ASSERT_LT(mbedtls_mpi_size(&K), 128u);
    u8 r[128], k[128], key[32];
    ASSERT_EQ(0, mbedtls_mpi_write_binary(&GY, r, sizeof(r)));
    ASSERT_EQ(0, mbedtls_mpi_write_binary(&K, k, sizeof(k)));   // zero-padded to 128
    ASSERT_EQ(0, mbedtls_sha256_ret(k, sizeof(k), key, 0));
    for (mbedtls_mpi* m : {&P, &GX, &K, &GY, &T}) mbedtls_mpi_free(m);
    ASSERT_EQ(QV_CRYPTO_OK, c.Import(h, r, sizeof(r), qid, 0));
    ASSERT_EQ(1u, c.IsConnected(h));
    u8 plain[32], enc[32], dec[32];
    for (u32 i = 0; i < sizeof(plain); i++) plain[i] = (u8)(i + 1);
    ASSERT_EQ(1u, c.Encrypt(h, plain, enc, sizeof(plain)));
    mbedtls_aes_context aes;
    mbedtls_aes_init(&aes);
    u8 iv[16] = {0};
    ASSERT_EQ(0, mbedtls_aes_setkey_dec(&aes, key, 256));
    ASSERT_EQ(0, mbedtls_aes_crypt_cbc(&aes, MBEDTLS_AES_DECRYPT, sizeof(enc), iv, enc, dec));
    mbedtls_aes_free(&aes);
    EXPECT_EQ(0, std::memcmp(plain, dec, sizeof(plain)));
    c.Clean();
}

TEST(Crypto, RequestCarriesTheFixedGroupAndTwoZeroBytes)
{
    CQVCrypto c;
    ASSERT_EQ(1u, c.Initialize(1));
    u32 h = c.Open(1);
    ASSERT_NE(0u, h);
    u8 out[512];
    u32 len = 0, qid = 0;
    ASSERT_EQ(QV_CRYPTO_OK, c.Export(h, out, &len, qid, 1));
    // P (2 + 128), G (2 + 1), G^X (2 + up to 128: no leading zero bytes), two zero bytes.
    u32 uGX = (u32)(out[2 + 128 + 2 + 1] << 8 | out[2 + 128 + 2 + 1 + 1]);
    ASSERT_LE(uGX, 128u);
    ASSERT_EQ(2u + 128 + 2 + 1 + 2 + uGX + 2, len);
    EXPECT_EQ(0x00, out[0]);
    EXPECT_EQ(0x80, out[1]);
    EXPECT_EQ(0xE4, out[2]);
    EXPECT_EQ(4, out[2 + 128 + 2]);
    EXPECT_EQ(0, out[len - 1]);
    EXPECT_EQ(0, out[len - 2]);
    EXPECT_EQ((u32)CQVCrypto::STA_REQ_EXPORTED, c.GetState(h));
    c.Clean();
}

// A responder takes only the fixed group: a peer-chosen P or G is refused.
TEST(Crypto, ResponderRefusesAForeignGroup)
{
    // The requester's real key data, then the same with a tiny P and with another G.
    CQVCrypto q;
    ASSERT_EQ(1u, q.Initialize(1));
    u8 good[512];
    u32 len = 0, qid = 0;
    ASSERT_EQ(QV_CRYPTO_OK, q.Export(q.Open(1), good, &len, qid, 1));
    q.Clean();
    std::vector<u8> tiny = {0, 1, 0x17, 0, 1, 5, 0, 1, 3, 0, 0};
    std::vector<u8> otherG(good, good + len);
    otherG[2 + 128 + 2] = 2;
    for (const std::vector<u8>& k : {tiny, otherG}) {
        CQVCrypto c;
        ASSERT_EQ(1u, c.Initialize(1));
        u32 h = c.Open(0);
        EXPECT_EQ(QV_CRYPTO_FAIL, c.Import(h, k.data(), (u32)k.size(), 5, 1)) << k.size();
        EXPECT_EQ((u32)CQVCrypto::STA_RES_OPEN, c.GetState(h));
        // The genuine request is still taken afterwards.
        EXPECT_EQ(QV_CRYPTO_OK, c.Import(h, good, len, qid, 1));
        c.Clean();
    }
}

TEST(Crypto, HostileKeyDataIsRefused)
{
    Pair p;
    p.hq = p.req.Open(1);
    p.hr = p.res.Open(0);
    u8 q[512];
    u32 lq = 0, qid = 0;
    ASSERT_EQ(QV_CRYPTO_OK, p.req.Export(p.hq, q, &lq, qid, 1));
    // Truncated request, lengths pointing past the data, and an empty one.
    for (u32 cut : {0u, 1u, 3u, 100u, 131u, 200u}) EXPECT_EQ(QV_CRYPTO_FAIL, p.res.Import(p.hr, q, cut, qid, 1)) << cut;
    u8 big[512];
    std::memcpy(big, q, lq);
    big[0] = 0xFF;   // length of P far beyond the data
    EXPECT_EQ(QV_CRYPTO_FAIL, p.res.Import(p.hr, big, lq, qid, 1));
    ASSERT_EQ(QV_CRYPTO_OK, p.res.Import(p.hr, q, lq, qid, 1));
    u8 r[512];
    u32 lr = 0, qid2 = 0;
    ASSERT_EQ(QV_CRYPTO_OK, p.res.Export(p.hr, r, &lr, qid2, 0));
    // A reply shorter than P gives no key.
    EXPECT_EQ(QV_CRYPTO_FAIL, p.req.Import(p.hq, r, 64, qid2, 0));
    EXPECT_FALSE(p.req.IsConnected(p.hq));
}

TEST(Crypto, ReplyWithOtherQueryIdIsRefused)
{
    Pair p;
    p.hq = p.req.Open(1);
    p.hr = p.res.Open(0);
    u8 q[512], r[512];
    u32 lq = 0, lr = 0, qid = 0, qid2 = 0;
    ASSERT_EQ(QV_CRYPTO_OK, p.req.Export(p.hq, q, &lq, qid, 1));
    ASSERT_EQ(QV_CRYPTO_OK, p.res.Import(p.hr, q, lq, qid, 1));
    ASSERT_EQ(QV_CRYPTO_OK, p.res.Export(p.hr, r, &lr, qid2, 0));
    EXPECT_EQ(QV_CRYPTO_FAIL, p.req.Import(p.hq, r, lr, (qid2 + 1) & 0xFFFF, 0));
    EXPECT_FALSE(p.req.IsConnected(p.hq));
}

TEST(Crypto, WrongStateAndStaleHandles)
{
    CQVCrypto c;
    ASSERT_EQ(1u, c.Initialize(2));
    u8 buf[512];
    u32 len = 0, qid = 0;
    u32 h = c.Open(0);
    EXPECT_EQ(QV_CRYPTO_STATE, c.Export(h, buf, &len, qid, 1));   // responder cannot request
    EXPECT_EQ(QV_CRYPTO_STATE, c.Export(h, buf, &len, qid, 0));   // nothing imported yet
    EXPECT_EQ(QV_CRYPTO_STATE, c.Import(h, buf, 10, qid, 0));
    c.Close(h);
    EXPECT_EQ(QV_CRYPTO_FAIL, c.Export(h, buf, &len, qid, 1));
    EXPECT_EQ(QV_CRYPTO_FAIL, c.Import(h, buf, 10, qid, 1));
    EXPECT_EQ(0u, c.IsConnected(h));
    EXPECT_EQ(1u, c.CheckTimeout(h));
    EXPECT_EQ(1u, c.CompareQueryID(h, 0));
    EXPECT_EQ(0u, c.Encrypt(h, buf, buf, 32));
    // The most recently closed slot comes back first, under a new cookie.
    u32 h2 = c.Open(1);
    EXPECT_EQ(h >> 16, h2 >> 16);
    EXPECT_NE(h, h2);
    u32 h3 = c.Open(1);
    EXPECT_NE(0u, h3);
    EXPECT_EQ(0u, c.Open(1));   // table of two is full
    c.Clean();
}

TEST(Crypto, CompareQueryIdKeepsOnlyTheGreaterPendingRequest)
{
    CQVCrypto c;
    ASSERT_EQ(1u, c.Initialize(1));
    u32 h = c.Open(1);
    u8 buf[512];
    u32 len = 0, qid = 0;
    EXPECT_EQ(1u, c.CompareQueryID(h, 0));   // no request exported yet: give up
    ASSERT_EQ(QV_CRYPTO_OK, c.Export(h, buf, &len, qid, 1));
    EXPECT_EQ(qid > 0 ? 0u : 1u, c.CompareQueryID(h, qid - 1));
    EXPECT_EQ(1u, c.CompareQueryID(h, qid));
    EXPECT_EQ(1u, c.CompareQueryID(h, qid + 1));
    c.Clean();
}

TEST(Crypto, EncryptNeedsWholeBlocksAndAKey)
{
    Pair p;
    u8 buf[64] = {0};
    u32 h = p.req.Open(1);
    EXPECT_EQ(0u, p.req.Encrypt(h, buf, buf, 32));   // no key yet
    ASSERT_TRUE(p.Exchange());
    EXPECT_EQ(0u, p.req.Encrypt(p.hq, buf, buf, 33));
    EXPECT_EQ(0u, p.req.Decrypt(p.hq, buf, buf, 15));
    EXPECT_EQ(1u, p.req.Encrypt(p.hq, buf, buf, 0));
}

// A slot times out once its last step is more than 1,499 ms old, not before; every step
// (here the export) starts the count again.
TEST(Crypto, CheckTimeoutAfterTheStepAge)
{
    CQVCrypto c;
    ASSERT_EQ(1u, c.Initialize(1));
    u32 t0 = GET_TIMESTAMP();
    u32 h = c.Open(1);
    u32 t1 = GET_TIMESTAMP();
    // The slot was stamped somewhere in [t0, t1].
    EXPECT_EQ(0u, c.CheckTimeout(h));
    EXPECT_EQ(0u, c.CheckTimeoutAt(h, t0 + QV_CRYPTO_TIMEOUT_MS));
    EXPECT_EQ(1u, c.CheckTimeoutAt(h, t1 + QV_CRYPTO_TIMEOUT_MS + 1));
    u8 buf[512];
    u32 len = 0, qid = 0;
    u32 t2 = GET_TIMESTAMP();
    ASSERT_EQ(QV_CRYPTO_OK, c.Export(h, buf, &len, qid, 1));
    u32 t3 = GET_TIMESTAMP();
    EXPECT_EQ(0u, c.CheckTimeoutAt(h, t2 + QV_CRYPTO_TIMEOUT_MS));
    EXPECT_EQ(1u, c.CheckTimeoutAt(h, t3 + QV_CRYPTO_TIMEOUT_MS + 1));
    c.Clean();
}

// One end's key on AES-NI, the other's on mbedtls (a CPU without AES-NI): the same bytes
// both ways, for single payloads and for several encrypted at once.
TEST(Crypto, AesNiAndMbedtlsEndsUnderstandEachOther)
{
    Pair p;
    p.hq = p.req.Open(1);
    p.hr = p.res.Open(0);
    u8 q[512], r[512];
    u32 lq = 0, lr = 0, qid = 0, qid2 = 0;
    ASSERT_EQ(QV_CRYPTO_OK, p.req.Export(p.hq, q, &lq, qid, 1));
    ASSERT_EQ(QV_CRYPTO_OK, p.res.Import(p.hr, q, lq, qid, 1));
    CQVAesCbc::SetHwAllowed(0);   // the responder's key is set by its export
    ASSERT_EQ(QV_CRYPTO_OK, p.res.Export(p.hr, r, &lr, qid2, 0));
    CQVAesCbc::SetHwAllowed(1);
    ASSERT_EQ(QV_CRYPTO_OK, p.req.Import(p.hq, r, lr, qid2, 0));
    const u32 kLens[] = {32, 128, 160, 1312, 2016};
    std::vector<std::vector<u8>> plain, many;
    const u8* in[5];
    u8* out[5];
    for (u32 j = 0; j < 5; j++) {
        plain.emplace_back(kLens[j]);
        for (u32 i = 0; i < kLens[j]; i++) plain[j][i] = (u8)(i * 31 + j);
        many.emplace_back(kLens[j]);
        in[j] = plain[j].data();
        out[j] = many[j].data();
    }
    ASSERT_EQ(1u, p.req.EncryptMany(p.hq, in, out, kLens, 5));
    for (u32 j = 0; j < 5; j++) {
        std::vector<u8> a(kLens[j]), b(kLens[j]), d(kLens[j]);
        ASSERT_EQ(1u, p.req.Encrypt(p.hq, plain[j].data(), a.data(), kLens[j]));
        ASSERT_EQ(1u, p.res.Encrypt(p.hr, plain[j].data(), b.data(), kLens[j]));
        EXPECT_EQ(a, b) << kLens[j];
        EXPECT_EQ(a, many[j]) << kLens[j];
        ASSERT_EQ(1u, p.res.Decrypt(p.hr, a.data(), d.data(), kLens[j]));
        EXPECT_EQ(plain[j], d);
        ASSERT_EQ(1u, p.req.Decrypt(p.hq, b.data(), d.data(), kLens[j]));
        EXPECT_EQ(plain[j], d);
    }
    // Lengths no payload has are refused by both.
    std::vector<u8> big(QV_AES_MAX_LEN + 16);
    for (u32 h : {p.hq, p.hr}) {
        CQVCrypto& c = h == p.hq ? p.req : p.res;
        EXPECT_EQ(0u, c.Encrypt(h, big.data(), big.data(), (u32)big.size()));
        EXPECT_EQ(0u, c.Decrypt(h, big.data(), big.data(), (u32)big.size()));
        EXPECT_EQ(0u, c.Decrypt(h, big.data(), big.data(), 24));
    }
    u32 bad[5] = {32, 128, 161, 1312, 2016};
    EXPECT_EQ(0u, p.req.EncryptMany(p.hq, in, out, bad, 5));
    p.req.Close(p.hq);
    EXPECT_EQ(0u, p.req.EncryptMany(p.hq, in, out, kLens, 5));
}
