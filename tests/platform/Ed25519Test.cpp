#include <gtest/gtest.h>

#include <sstream>

#include "platform/Ed25519.h"
#include "support/Fixtures.h"
#include "support/NistVectors.h"

namespace velmo {
namespace {

using test::vectors::fromHex;

struct Entry {
    Bytes publicKey;
    Bytes message;
    Bytes signature;
};

// sign.input: "secret‖public : public : message : signature‖message :" per line.
std::vector<Entry> entries() {
    std::istringstream in(test::readText(test::cryptoVector("asymmetric/Ed25519/sign.input")));
    std::vector<Entry> out;
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> parts;
        std::istringstream fields(line);
        for (std::string part; std::getline(fields, part, ':');) parts.push_back(part);
        if (parts.size() < 4) continue;
        Bytes signature = fromHex(parts[3]);  // followed by the message
        signature.resize(64);
        out.push_back({fromHex(parts[1]), fromHex(parts[2]), signature});
    }
    return out;
}

TEST(Ed25519, VerifiesTheReferenceSignaturesAndRefusesAlteredOnes) {
    const auto all = entries();
    ASSERT_EQ(all.size(), 1024u);
    for (std::size_t i = 0; i < all.size(); ++i) {
        const auto& e = all[i];
        EXPECT_TRUE(ed25519Verify(e.publicKey, e.message, e.signature)) << i;
        Bytes signature = e.signature;
        signature[i % 64] ^= 0x01;
        EXPECT_FALSE(ed25519Verify(e.publicKey, e.message, signature)) << i;
        Bytes message = e.message;
        message.push_back(0);
        EXPECT_FALSE(ed25519Verify(e.publicKey, message, e.signature)) << i;
    }
}

TEST(Ed25519, RefusesWrongLengthsAndForeignKeys) {
    const auto all = entries();
    ASSERT_GE(all.size(), 2u);
    const auto& e = all[1];
    EXPECT_FALSE(ed25519Verify(ByteView(e.publicKey).first(31), e.message, e.signature));
    EXPECT_FALSE(ed25519Verify(e.publicKey, e.message, ByteView(e.signature).first(63)));
    Bytes longer = e.signature;
    longer.push_back(0);
    EXPECT_FALSE(ed25519Verify(e.publicKey, e.message, longer));
    EXPECT_FALSE(ed25519Verify(all[0].publicKey, e.message, e.signature));
}

}  // namespace
}  // namespace velmo
