#include <gtest/gtest.h>
#include <openssl/evperr.h>

#include "platform/AesCbc.h"
#include "platform/CryptoError.h"
#include "support/NistVectors.h"

namespace velmo {
namespace {

using test::vectors::readVectors;

const Bytes key(32, 0x11);
const Bytes iv(16, 0x22);

int statusOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const CipherError& e) {
        return e.status();
    }
    ADD_FAILURE() << "no CipherError";
    return 0;
}

TEST(Aes256Cbc, MatchesTheNistMultiblockMessages) {
    const auto records = readVectors("ciphers/AES/CBC/CBCMMT256.rsp");
    ASSERT_EQ(records.size(), 20u);
    for (const auto& r : records) {
        const Bytes k = r.bytes("KEY");
        const Bytes v = r.bytes("IV");
        const Bytes plain = r.bytes("PLAINTEXT");
        const Bytes cipher = r.bytes("CIPHERTEXT");
        if (r.section == "ENCRYPT") {
            EXPECT_EQ(aes256CbcEncrypt(k, v, plain, CbcPadding::none), cipher) << "COUNT " << r.text("COUNT");
        } else {
            EXPECT_EQ(aes256CbcDecrypt(k, v, cipher, CbcPadding::none), plain) << "COUNT " << r.text("COUNT");
        }
    }
}

TEST(Aes256Cbc, Pkcs7PadsEveryLengthUpToTheNextWholeBlock) {
    for (std::size_t n = 0; n <= 48; ++n) {
        const Bytes plain(n, static_cast<std::uint8_t>(n));
        const Bytes cipher = aes256CbcEncrypt(key, iv, plain);
        EXPECT_EQ(cipher.size(), (n / 16 + 1) * 16) << n;
        EXPECT_EQ(aes256CbcDecrypt(key, iv, cipher), plain) << n;

        // The padding is the PKCS#7 bytes a raw CBC decryption reveals.
        const Bytes raw = aes256CbcDecrypt(key, iv, cipher, CbcPadding::none);
        const std::size_t pad = cipher.size() - n;
        EXPECT_EQ(Bytes(raw.begin() + n, raw.end()), Bytes(pad, static_cast<std::uint8_t>(pad))) << n;
    }
}

TEST(Aes256Cbc, EmptyInputEncryptsToOneBlockAndBack) {
    const Bytes cipher = aes256CbcEncrypt(key, iv, {});
    EXPECT_EQ(cipher.size(), 16u);
    EXPECT_TRUE(aes256CbcDecrypt(key, iv, cipher).empty());
}

TEST(Aes256Cbc, ChecksKeyAndIvLengthsBeforeTheCall) {
    const Bytes data(16, 0);
    for (std::size_t n : {0, 16, 24, 31, 33, 64}) {
        const Bytes k(n, 1);
        EXPECT_EQ(statusOf([&] { aes256CbcEncrypt(k, iv, data); }), EVP_R_INVALID_KEY_LENGTH) << n;
        EXPECT_EQ(statusOf([&] { aes256CbcDecrypt(k, iv, data); }), EVP_R_INVALID_KEY_LENGTH) << n;
    }
    for (std::size_t n : {0, 12, 15, 17, 32}) {
        const Bytes v(n, 1);
        EXPECT_EQ(statusOf([&] { aes256CbcEncrypt(key, v, data); }), EVP_R_INVALID_IV_LENGTH) << n;
        EXPECT_EQ(statusOf([&] { aes256CbcDecrypt(key, v, data); }), EVP_R_INVALID_IV_LENGTH) << n;
    }
}

TEST(Aes256Cbc, RefusesPartialBlocksAndBadPadding) {
    EXPECT_EQ(statusOf([&] { aes256CbcDecrypt(key, iv, Bytes(17, 0)); }), EVP_R_WRONG_FINAL_BLOCK_LENGTH);
    EXPECT_NE(statusOf([&] { aes256CbcDecrypt(key, iv, {}); }), 0);
    EXPECT_NE(statusOf([&] { aes256CbcEncrypt(key, iv, Bytes(15, 0), CbcPadding::none); }), 0);

    // A last block that ends in 0x00 is not PKCS#7.
    const Bytes unpadded = aes256CbcEncrypt(key, iv, Bytes(16, 0), CbcPadding::none);
    EXPECT_GT(statusOf([&] { aes256CbcDecrypt(key, iv, unpadded); }), 0);
}

TEST(Aes256Cbc, ErrorsCarryASentence) {
    try {
        aes256CbcDecrypt(key, iv, Bytes(17, 0));
        FAIL();
    } catch (const CipherError& e) {
        EXPECT_STREQ(e.what(), "The data could not be encrypted or decrypted.");
    }
}

}  // namespace
}  // namespace velmo
