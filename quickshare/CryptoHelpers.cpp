#include "quickshare/CryptoHelpers.h"

#include <cstdio>
#include <cstdlib>

#include "platform/AesCbc.h"
#include "platform/CryptoError.h"
#include "proto/Codec.h"
#include "proto/securemessage.pb.h"
#include "quickshare/QuickShareError.h"

namespace velmo {

namespace {

// Runs one AES-CBC call with the engine's error text.
template <class F>
auto withCbcErrors(F run) {
    try {
        return run();
    } catch (const CipherError& e) {
        throw QuickShareError::crypto("AES-CBC failed (" + std::to_string(e.status()) + ")");
    }
}

}  // namespace

Bytes aesCbc(bool encrypt, ByteView key, ByteView iv, ByteView data) {
    return withCbcErrors([&] { return encrypt ? aes256CbcEncrypt(key, iv, data) : aes256CbcDecrypt(key, iv, data); });
}

std::size_t aesCbcInto(bool encrypt, ByteView key, ByteView iv, ByteView data, std::span<std::uint8_t> out) {
    return withCbcErrors([&] {
        return encrypt ? aes256CbcEncryptInto(key, iv, data, out) : aes256CbcDecryptInto(key, iv, data, out);
    });
}

std::size_t aesCbcEncryptInto(ByteView key, ByteView iv, std::span<const ByteView> pieces, std::span<std::uint8_t> out) {
    return withCbcErrors([&] { return aes256CbcEncryptInto(key, iv, pieces, out); });
}

std::string pinCode(ByteView authString) {
    constexpr std::int64_t modulus = 9973;
    std::int64_t hash = 0;
    std::int64_t multiplier = 1;
    for (std::uint8_t byte : authString) {
        const auto b = static_cast<std::int8_t>(byte);  // the protocol reads bytes as signed
        // C++ % truncates toward zero, as the protocol's remainder does: hash may go negative.
        hash = (hash + b * multiplier) % modulus;
        multiplier = (multiplier * 31) % modulus;
    }
    char text[8];
    std::snprintf(text, sizeof text, "%04lld", static_cast<long long>(std::llabs(hash)));
    return text;
}

Bytes wireCoordinate(ByteView coordinate) {
    Bytes out;
    out.reserve(coordinate.size() + 1);
    if (!coordinate.empty() && (coordinate[0] & 0x80) != 0) out.push_back(0x00);
    out.insert(out.end(), coordinate.begin(), coordinate.end());
    return out;
}

Bytes coordinateFromWire(ByteView wire) {
    std::size_t start = 0;
    while (start < wire.size() && wire[start] == 0) ++start;
    const ByteView significant = wire.subspan(start);
    if (significant.size() > P256PublicKey::coordinateSize) throw QuickShareError::protocolError("bad EC coordinate");
    Bytes out(P256PublicKey::coordinateSize - significant.size(), 0);
    out.insert(out.end(), significant.begin(), significant.end());
    return out;
}

Bytes genericPublicKey(const P256PublicKey& key) {
    const ByteView raw = key.raw();
    const Bytes x = wireCoordinate(raw.first(P256PublicKey::coordinateSize));
    const Bytes y = wireCoordinate(raw.subspan(P256PublicKey::coordinateSize));
    securemessage::GenericPublicKey record;
    record.set_type(securemessage::EC_P256);
    auto* ec = record.mutable_ec_p256_public_key();
    ec->set_x(x.data(), x.size());
    ec->set_y(y.data(), y.size());
    return proto::encode(record);
}

P256PublicKey p256PublicKey(ByteView encoded) {
    const auto record = proto::decode<securemessage::GenericPublicKey>(encoded);
    if (record.type() != securemessage::EC_P256 || !record.has_ec_p256_public_key()) {
        throw QuickShareError::protocolError("unsupported public key");
    }
    const auto& ec = record.ec_p256_public_key();
    const Bytes x = coordinateFromWire(toBytes(ec.x()));
    const Bytes y = coordinateFromWire(toBytes(ec.y()));
    return P256PublicKey::fromCoordinates(x, y);
}

}  // namespace velmo
