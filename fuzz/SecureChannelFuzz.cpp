// The secure-message reader, behind the signature a phone can only pass with the session's
// keys: this harness signs (and, where asked, encrypts) what the fuzzer gives, so the header,
// the decryption, the inner message and the frame are all reached. Every message is opened
// twice, once in the layout every writer uses (read in place) and once with its fields in
// another order (read through protobuf); both readings must agree.
#include <cstddef>
#include <cstdint>

#include "FuzzCheck.h"
#include <optional>
#include <string>

#include "platform/Hmac.h"
#include "proto/Codec.h"
#include "proto/WireFormat.h"
#include "proto/connections.pb.h"
#include "proto/securemessage.pb.h"
#include "quickshare/CryptoHelpers.h"
#include "quickshare/QuickShareError.h"
#include "quickshare/SecureChannel.h"

using namespace velmo;
using velmo::fuzz::check;

namespace {

SessionKeys keys() {
    SessionKeys k;
    k.decryptKey = Bytes(32, 0x11);
    k.receiveHmacKey = Bytes(32, 0x22);
    k.encryptKey = Bytes(32, 0x33);
    k.sendHmacKey = Bytes(32, 0x44);
    return k;
}

void append(Bytes& out, int field, ByteView value) {
    std::uint8_t head[16];
    std::uint8_t* end = proto::wire::putFieldHead(head, field, value.size());
    out.insert(out.end(), head, end);
    out.insert(out.end(), value.begin(), value.end());
}

void appendVarint(Bytes& out, int field, std::uint64_t value) {
    std::uint8_t field_[16];
    std::uint8_t* end = proto::wire::putVarintField(field_, field, value);
    out.insert(out.end(), field_, end);
}

// Two length-delimited fields 1 and 2, in order or swapped.
Bytes pair(ByteView first, ByteView second, bool swapped) {
    Bytes out;
    if (swapped) append(out, 2, second);
    append(out, 1, first);
    if (!swapped) append(out, 2, second);
    return out;
}

Bytes secureMessage(const SessionKeys& k, ByteView signedBytes, bool swapped) {
    return pair(signedBytes, hmacSha256(k.receiveHmacKey, signedBytes), swapped);
}

// The outcome of opening a message: the frame's bytes, or the kind of failure.
struct Outcome {
    std::optional<Bytes> frame;
    std::string failure;
    bool operator==(const Outcome&) const = default;
};

Outcome open(const SessionKeys& k, ByteView message) {
    SecureChannel channel(k);
    location::nearby::connections::OfflineFrame frame;
    try {
        channel.openInto(message, frame);
        return {proto::encode(frame), {}};
    } catch (const QuickShareError& e) {
        return {std::nullopt, e.what()};
    } catch (const proto::DecodingError&) {
        return {std::nullopt, "decoding"};
    }
}

// The IV the header names, when it can be read, so the body decrypts under it.
Bytes ivOf(ByteView header) {
    try {
        const auto decoded = proto::decode<securemessage::Header>(header);
        if (decoded.iv().size() == 16) return Bytes(decoded.iv().begin(), decoded.iv().end());
    } catch (const proto::DecodingError&) {
    }
    return Bytes(16, 0);
}

Bytes usualHeader() {
    securemessage::Header header;
    header.set_signature_scheme(securemessage::HMAC_SHA256);
    header.set_encryption_scheme(securemessage::AES_256_CBC);
    header.set_iv(std::string(16, '\x5a'));
    header.set_public_metadata(std::string("\x08\x0d\x10\x01", 4));
    return proto::encode(header);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const SessionKeys k = keys();
    if (size == 0) return 0;
    const std::uint8_t mode = data[0];
    ByteView rest(data + 1, size - 1);

    if (mode % 4 == 0) {
        // Raw bytes from the wire: the signature stops them.
        const Outcome outcome = open(k, rest);
        check(!outcome.frame);
        return 0;
    }

    if (mode % 4 == 1) {
        // Any signed HeaderAndBody.
        const Outcome usual = open(k, secureMessage(k, rest, false));
        check(usual == open(k, secureMessage(k, rest, true)));
        return 0;
    }
    Bytes header, body, otherBody;
    if (mode % 4 == 2) {
        // A header of the fuzzer's and a plaintext encrypted under the IV it names.
        if (rest.empty()) return 0;
        const std::size_t headerSize = std::min<std::size_t>(rest[0], rest.size() - 1);
        header.assign(rest.begin() + 1, rest.begin() + 1 + static_cast<std::ptrdiff_t>(headerSize));
        body = aesCbc(true, k.decryptKey, ivOf(header), rest.subspan(1 + headerSize));
        otherBody = body;
    } else {
        // The usual header and an inner message around the fuzzer's frame, whose other
        // layout is read through protobuf as well.
        // Numbers past 32 bits count by their low bits, as protobuf reads an int32.
        const std::uint64_t sequence = 1 + ((mode & 0x04) ? static_cast<std::uint64_t>(mode >> 3) << 29 : 0);
        header = usualHeader();
        Bytes inner;
        append(inner, 1, rest);
        appendVarint(inner, 2, sequence);
        Bytes otherInner;
        appendVarint(otherInner, 2, sequence);
        append(otherInner, 1, rest);
        const Bytes iv = ivOf(header);
        body = aesCbc(true, k.decryptKey, iv, inner);
        otherBody = aesCbc(true, k.decryptKey, iv, otherInner);
    }
    // Swapping every layer at once sends each one through protobuf.
    check(open(k, secureMessage(k, pair(header, body, false), false)) ==
          open(k, secureMessage(k, pair(header, otherBody, true), true)));
    return 0;
}
