// The key-exchange primitives against the published HMAC-SHA256 test vectors (RFC 4231). This
// suite also runs under Wine, where the Windows provider computes them.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "net_crypto.h"

namespace {

std::string hex(const uint8_t* bytes, size_t n) {
    std::string out;
    char two[3];
    for (size_t i = 0; i < n; i++) {
        std::snprintf(two, sizeof two, "%02x", bytes[i]);
        out += two;
    }
    return out;
}

std::string hmac_hex(const std::vector<uint8_t>& key, const std::string& data, size_t keep = NET_DIGEST_SIZE) {
    uint8_t mac[NET_DIGEST_SIZE];
    if (net_hmac_sha256(key.data(), key.size(), data.data(), data.size(), mac) != 0) return "provider failed";
    return hex(mac, keep);
}

TEST(NetCrypto, HmacSha256KnownAnswers) {
    std::vector<uint8_t> key4(25);
    for (int i = 0; i < 25; i++) key4[(size_t)i] = (uint8_t)(i + 1);
    const std::vector<uint8_t> long_key(131, 0xaa);
    EXPECT_EQ(hmac_hex(std::vector<uint8_t>(20, 0x0b), "Hi There"),
              "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7");
    EXPECT_EQ(hmac_hex({'J', 'e', 'f', 'e'}, "what do ya want for nothing?"),
              "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
    EXPECT_EQ(hmac_hex(std::vector<uint8_t>(20, 0xaa), std::string(50, '\xdd')),
              "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe");
    EXPECT_EQ(hmac_hex(key4, std::string(50, '\xcd')),
              "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b");
    EXPECT_EQ(hmac_hex(std::vector<uint8_t>(20, 0x0c), "Test With Truncation", 16), "a3b6167473100ee06e0c796c2955552b");
    // Keys longer than the 64-byte block are hashed first; data longer than one block too.
    EXPECT_EQ(hmac_hex(long_key, "Test Using Larger Than Block-Size Key - Hash Key First"),
              "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54");
    EXPECT_EQ(hmac_hex(long_key,
                       "This is a test using a larger than block-size key and a larger than block-size data. The key "
                       "needs to be hashed before being used by the HMAC algorithm."),
              "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2");
}

TEST(NetCrypto, EmptyKeyAndDataAndBlockBoundaries) {
    // Values from an independent HMAC implementation (Python's hmac module).
    EXPECT_EQ(hmac_hex({}, ""), "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad");
    EXPECT_EQ(hmac_hex({'k'}, std::string(55, 'a')), "2cc44ce77061ae61e565e2ba633d3fb0c3f0a40d8183dc37eb47a18abda4baf2");
    EXPECT_EQ(hmac_hex({'k'}, std::string(64, 'a')), "51dc6773c877547b2f5658b10ed96a5a72709ba469f445538da56af1b8ffb1cd");
    EXPECT_EQ(hmac_hex(std::vector<uint8_t>(64, 'k'), std::string(119, 'a')), "85c9b62dd44ff1937a91eb407ccce081d5c8b5a37f998236b3533aae1de016eb");
}

TEST(NetCrypto, RandomBytesAreFreshAndDigestsCompareExactly) {
    uint8_t a[32] = {}, b[32] = {};
    ASSERT_EQ(net_random_bytes(a, sizeof a), 0);
    ASSERT_EQ(net_random_bytes(b, sizeof b), 0);
    EXPECT_FALSE(net_digest_equal(a, b));  // 2^-256 to fail by chance
    uint8_t zero[32] = {};
    EXPECT_FALSE(net_digest_equal(a, zero));
    uint8_t c[32];
    for (int i = 0; i < 32; i++) c[i] = a[i];
    EXPECT_TRUE(net_digest_equal(a, c));
    c[31] ^= 1;
    EXPECT_FALSE(net_digest_equal(a, c));
}

}  // namespace
