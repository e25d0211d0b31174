// Encrypting into the caller's memory gives the same bytes and failures as the plain calls.
#include <gtest/gtest.h>
#include <openssl/evperr.h>

#include <stdexcept>
#include <vector>

#include "platform/AesCbc.h"
#include "platform/CryptoError.h"

namespace velmo {
namespace {

const Bytes key(32, 0x5a);
const Bytes iv(16, 0x6b);

TEST(Aes256CbcInto, SameBytesAsTheAllocatingCalls) {
    for (const std::size_t size : {0, 1, 15, 16, 17, 524288 + 40}) {
        SCOPED_TRACE(size);
        Bytes plain(size);
        for (std::size_t i = 0; i < size; ++i) plain[i] = static_cast<std::uint8_t>(i * 7);
        const Bytes expected = aes256CbcEncrypt(key, iv, plain);
        Bytes out(size + aesBlockSize + 3, 0xee);
        const std::size_t written = aes256CbcEncryptInto(key, iv, plain, out);
        ASSERT_EQ(written, expected.size());
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), out.begin()));
        Bytes back(written + aesBlockSize);
        const std::size_t recovered = aes256CbcDecryptInto(key, iv, ByteView(out).first(written), back);
        EXPECT_EQ(Bytes(back.begin(), back.begin() + static_cast<std::ptrdiff_t>(recovered)), plain);
    }
}

TEST(Aes256CbcInto, PiecesEncryptAsTheirConcatenation) {
    Bytes plain(524288 + 29);
    for (std::size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<std::uint8_t>(i * 13);
    const Bytes expected = aes256CbcEncrypt(key, iv, plain);
    const ByteView all(plain);
    // Cuts inside and on block boundaries, an empty piece, one piece.
    const std::vector<std::vector<std::size_t>> cutsList = {{}, {0}, {5}, {16}, {7, 7, 300}, {65, 524288 + 20}};
    for (const auto& cuts : cutsList) {
        std::vector<ByteView> pieces;
        std::size_t from = 0;
        for (const std::size_t to : cuts) {
            pieces.push_back(all.subspan(from, to - from));
            from = to;
        }
        pieces.push_back(all.subspan(from));
        Bytes out(plain.size() + aesBlockSize);
        out.resize(aes256CbcEncryptInto(key, iv, pieces, out));
        EXPECT_EQ(out, expected);
    }
    Bytes small(aesBlockSize);
    const ByteView two[] = {all.first(8), all.first(8)};
    EXPECT_THROW(aes256CbcEncryptInto(key, iv, two, small), std::length_error);
}

TEST(Aes256CbcInto, ATooSmallBufferIsRefusedBeforeAnythingIsWritten) {
    const Bytes plain(32, 1);
    Bytes out(32 + aesBlockSize - 1, 0xee);
    EXPECT_THROW(aes256CbcEncryptInto(key, iv, plain, out), std::length_error);
    EXPECT_EQ(out, Bytes(32 + aesBlockSize - 1, 0xee));
}

TEST(Aes256CbcInto, BadInputsFailAsTheAllocatingCallsDo) {
    Bytes out(64);
    const Bytes ciphertext = aes256CbcEncrypt(key, iv, Bytes(20, 3));
    Bytes tampered = ciphertext;
    tampered.back() ^= 0x01;  // breaks the padding of the last block
    struct Case {
        const char* name;
        std::function<void()> plain;
        std::function<void()> into;
    };
    const Case cases[] = {
        {"short key", [&] { aes256CbcEncrypt(Bytes(31), iv, Bytes(4)); },
         [&] { aes256CbcEncryptInto(Bytes(31), iv, Bytes(4), out); }},
        {"short iv", [&] { aes256CbcDecrypt(key, Bytes(15), ciphertext); },
         [&] { aes256CbcDecryptInto(key, Bytes(15), ciphertext, out); }},
        {"partial block", [&] { aes256CbcDecrypt(key, iv, Bytes(17)); },
         [&] { aes256CbcDecryptInto(key, iv, Bytes(17), out); }},
        {"bad padding", [&] { aes256CbcDecrypt(key, iv, tampered); },
         [&] { aes256CbcDecryptInto(key, iv, tampered, out); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int expected = -1;
        int got = -2;
        try {
            c.plain();
        } catch (const CipherError& e) {
            expected = e.status();
        }
        try {
            c.into();
        } catch (const CipherError& e) {
            got = e.status();
        }
        EXPECT_EQ(got, expected);
        EXPECT_NE(expected, -1);
    }
}

}  // namespace
}  // namespace velmo
