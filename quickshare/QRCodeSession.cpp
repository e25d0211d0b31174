#include "quickshare/QRCodeSession.h"

#include "platform/AesGcm.h"
#include "platform/CryptoError.h"
#include "platform/Hkdf.h"
#include "platform/Utf8.h"
#include "quickshare/Base64Url.h"
#include "transfer/PeerText.h"

namespace velmo {

namespace {

// Nonce, at least one byte of name, tag.
constexpr std::size_t minSealedRecord = aesGcmNonceSize + 1 + aesGcmTagSize;

Bytes makeKeyData(const P256PublicKey& key) {
    Bytes data{0x00, 0x00};
    const Bytes compressed = key.compressed();
    data.insert(data.end(), compressed.begin(), compressed.end());
    return data;
}

}  // namespace

QRCodeSession::QRCodeSession(P256PrivateKey signingKey)
    : signingKey_(std::move(signingKey)),
      keyData_(makeKeyData(signingKey_.publicKey())),
      advertisingToken_(hkdfSha256(keyData_, {}, toBytes("advertisingContext"), 16)),
      nameKey_(hkdfSha256(keyData_, {}, toBytes("encryptionKey"), 16)) {}

std::string QRCodeSession::url() const { return urlPrefix + base64UrlEncode(keyData_); }

std::optional<std::string> QRCodeSession::match(const EndpointInfo& info) const {
    if (!info.qrRecord) return std::nullopt;
    const Bytes& record = *info.qrRecord;
    if (record == advertisingToken_) return info.name.value_or(fallbackPeerName);
    if (record.size() < minSealedRecord) return std::nullopt;
    try {
        const ByteView box(record);
        const Bytes name = aesGcmOpen(nameKey_, box.first(aesGcmNonceSize), box.subspan(aesGcmNonceSize),
                                      advertisingToken_);
        return Utf8::withReplacements(std::string_view(reinterpret_cast<const char*>(name.data()), name.size()));
    } catch (const CryptoError&) {
        return std::nullopt;
    }
}

}  // namespace velmo
