// AES-256-CBC chains from a zero IV: every way the CPU has (VAES on 512 and 256-bit registers,
// AES-NI, mbedtls) gives the bytes mbedtls gives.
#include "qvAesCbc.h"

#include <gtest/gtest.h>

#include <mbedtls/aes.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<u8> Bytes(u32 uLen, u32 uSeed)
{
    std::vector<u8> v(uLen);
    u32 x = uSeed * 2654435761u + 1;
    for (u32 i = 0; i < uLen; i++) {
        x = x * 1103515245u + 12345u;
        v[i] = (u8)(x >> 16);
    }
    return v;
}

// What mbedtls makes of one chain from a zero IV.
std::vector<u8> Reference(const std::vector<u8>& key, const std::vector<u8>& in, int mode)
{
    mbedtls_aes_context c;
    mbedtls_aes_init(&c);
    if (mode == MBEDTLS_AES_ENCRYPT)
        EXPECT_EQ(0, mbedtls_aes_setkey_enc(&c, key.data(), 256));
    else
        EXPECT_EQ(0, mbedtls_aes_setkey_dec(&c, key.data(), 256));
    u8 iv[16] = {0};
    std::vector<u8> out(in.size());
    EXPECT_EQ(0, mbedtls_aes_crypt_cbc(&c, mode, in.size(), iv, in.data(), out.data()));
    mbedtls_aes_free(&c);
    return out;
}

// Runs each test once on every way (QV_AES_WAY_*) the CPU has; the others are skipped.
class AesCbc : public ::testing::TestWithParam<u32> {
protected:
    void SetUp() override
    {
        if (GetParam() > CQVAesCbc::WayBest()) GTEST_SKIP() << "this CPU lacks the instructions";
        CQVAesCbc::SetWayMax(GetParam());
    }
    void TearDown() override { CQVAesCbc::SetHwAllowed(1); }
    void Key(CQVAesCbc& a, const std::vector<u8>& key)
    {
        ASSERT_EQ(1u, a.SetKey(key.data()));
        EXPECT_EQ(GetParam(), a.Way());
        EXPECT_EQ(GetParam() != QV_AES_WAY_MBEDTLS ? 1u : 0u, a.UsesHw());
    }
};

const std::vector<u8> kKeys[] = {std::vector<u8>(32, 0), Bytes(32, 1), std::vector<u8>(32, 0xFF)};
// Around every group of blocks decrypted together (2, 4, 8, 16) and the ones left after
// them (1 to 3, 7, 15), a full datagram's payload, the longest chain.
const u32 kLens[] = {16, 32, 48, 64, 80, 112, 128, 144, 240, 256, 272, 304, 400, 1024, 1312, 2032, QV_AES_MAX_LEN};

TEST_P(AesCbc, ChainsMatchMbedtlsBothWaysAndInPlace)
{
    u32 uSeed = 0;
    for (const auto& key : kKeys) {
        CQVAesCbc a;
        Key(a, key);
        for (u32 uLen : kLens) {
            SCOPED_TRACE(testing::Message() << "len " << uLen << " seed " << uSeed);
            std::vector<u8> plain = Bytes(uLen, ++uSeed);
            std::vector<u8> enc(uLen), dec(uLen);
            ASSERT_EQ(1u, a.Encrypt(plain.data(), enc.data(), uLen));
            EXPECT_EQ(Reference(key, plain, MBEDTLS_AES_ENCRYPT), enc);
            ASSERT_EQ(1u, a.Decrypt(enc.data(), dec.data(), uLen));
            EXPECT_EQ(plain, dec);
            // Decrypting anything (not only our own output) matches mbedtls too.
            std::vector<u8> junk = Bytes(uLen, uSeed + 1000);
            ASSERT_EQ(1u, a.Decrypt(junk.data(), dec.data(), uLen));
            EXPECT_EQ(Reference(key, junk, MBEDTLS_AES_DECRYPT), dec);
            std::vector<u8> inPlace = plain;
            ASSERT_EQ(1u, a.Encrypt(inPlace.data(), inPlace.data(), uLen));
            EXPECT_EQ(enc, inPlace);
            ASSERT_EQ(1u, a.Decrypt(inPlace.data(), inPlace.data(), uLen));
            EXPECT_EQ(plain, inPlace);
        }
    }
}

// Sets of chains of equal and of different lengths, in any order: each comes out as if
// encrypted alone.
TEST_P(AesCbc, ManyChainsAtOnceEqualSingleChains)
{
    const std::vector<std::vector<u32>> kSets = {
        {1312},
        {1312, 1312, 1312, 1312, 1312, 1312, 1312, 1312},
        {32, 1312, 64, 1312, 16},
        {2032, 16, 16, 2032, 480, 480, 96},
        {160, 160, 160},
        {48, 32, 16, 64, 80, 96, 112, 128},
        {64, 64},
        {1024, 1024, 1024, 1024},
        {1024, 1024, 1024, 1024, 1024, 1024},
        {16, 2032, 16, 2032, 16, 2032, 16},
    };
    const auto& key = kKeys[1];
    CQVAesCbc a;
    Key(a, key);
    u32 uSeed = 100;
    for (const auto& lens : kSets) {
        u32 n = (u32)lens.size();
        std::vector<std::vector<u8>> plain(n), out(n), inPlace(n);
        const u8* in[QV_AES_MANY_MAX];
        u8* outs[QV_AES_MANY_MAX];
        u8* own[QV_AES_MANY_MAX];
        for (u32 j = 0; j < n; j++) {
            plain[j] = Bytes(lens[j], ++uSeed);
            out[j].assign(lens[j], 0);
            inPlace[j] = plain[j];
            in[j] = plain[j].data();
            outs[j] = out[j].data();
            own[j] = inPlace[j].data();
        }
        ASSERT_EQ(1u, a.EncryptMany(in, outs, lens.data(), n));
        ASSERT_EQ(1u, a.EncryptMany(own, own, lens.data(), n));
        for (u32 j = 0; j < n; j++) {
            std::vector<u8> ref = Reference(key, plain[j], MBEDTLS_AES_ENCRYPT);
            EXPECT_EQ(ref, out[j]) << "set of " << n << ", chain " << j;
            EXPECT_EQ(ref, inPlace[j]) << "set of " << n << ", chain " << j;
        }
    }
}

TEST_P(AesCbc, HostileLengthsAndMissingKeysAreRefused)
{
    CQVAesCbc a;
    std::vector<u8> buf(QV_AES_MAX_LEN + 32, 0x5A);
    const std::vector<u8> before = buf;
    // No key yet.
    EXPECT_EQ(0u, a.Encrypt(buf.data(), buf.data(), 32));
    EXPECT_EQ(0u, a.Decrypt(buf.data(), buf.data(), 32));
    Key(a, kKeys[1]);
    for (u32 uLen : {0u, 1u, 15u, 17u, 31u, 1313u, (u32)QV_AES_MAX_LEN + 16, 0xFFFFFFF0u}) {
        EXPECT_EQ(0u, a.Encrypt(buf.data(), buf.data(), uLen)) << uLen;
        EXPECT_EQ(0u, a.Decrypt(buf.data(), buf.data(), uLen)) << uLen;
    }
    EXPECT_EQ(0u, a.Encrypt(nullptr, buf.data(), 32));
    EXPECT_EQ(0u, a.Decrypt(buf.data(), nullptr, 32));
    // Many chains: a bad count, or one bad length or pointer among good ones, writes nothing.
    u8* p[QV_AES_MANY_MAX + 1];
    u32 lens[QV_AES_MANY_MAX + 1];
    for (u32 j = 0; j <= QV_AES_MANY_MAX; j++) {
        p[j] = buf.data() + 64 * j;
        lens[j] = 64;
    }
    EXPECT_EQ(0u, a.EncryptMany(p, p, lens, 0));
    EXPECT_EQ(0u, a.EncryptMany(p, p, lens, QV_AES_MANY_MAX + 1));
    lens[3] = 40;
    EXPECT_EQ(0u, a.EncryptMany(p, p, lens, 4));
    lens[3] = 0;
    EXPECT_EQ(0u, a.EncryptMany(p, p, lens, 4));
    lens[3] = 64;
    p[2] = nullptr;
    EXPECT_EQ(0u, a.EncryptMany(p, p, lens, 4));
    EXPECT_EQ(before, buf);
    // A cleared key is refused again.
    a.Clear();
    EXPECT_FALSE(a.IsSet());
    EXPECT_EQ(0u, a.Encrypt(buf.data(), buf.data(), 32));
}

// A new key replaces the old one in both directions.
TEST_P(AesCbc, NewKeyReplacesTheOld)
{
    CQVAesCbc a;
    std::vector<u8> plain = Bytes(256, 7), enc(256), dec(256);
    for (const auto& key : kKeys) {
        Key(a, key);
        ASSERT_EQ(1u, a.Encrypt(plain.data(), enc.data(), 256));
        EXPECT_EQ(Reference(key, plain, MBEDTLS_AES_ENCRYPT), enc);
        ASSERT_EQ(1u, a.Decrypt(enc.data(), dec.data(), 256));
        EXPECT_EQ(plain, dec);
    }
}

std::string WayName(const ::testing::TestParamInfo<u32>& i)
{
    const char* names[] = {"Mbedtls", "AesNi", "Vaes256", "Vaes512"};
    return names[i.param];
}

INSTANTIATE_TEST_SUITE_P(Ways, AesCbc,
                         ::testing::Values(QV_AES_WAY_VAES512, QV_AES_WAY_VAES256, QV_AES_WAY_AESNI, QV_AES_WAY_MBEDTLS),
                         WayName);

} // namespace
