// The keys of one QR-code send: the phone that scans the URL learns the signing key's public
// half and then advertises a record derived from it, which match() recognises.
#pragma once
#include <optional>
#include <string>

#include "platform/Bytes.h"
#include "platform/EcKey.h"
#include "quickshare/EndpointInfo.h"

namespace velmo {

class QRCodeSession {
public:
    static constexpr const char* urlPrefix = "https://quickshare.google/qrcode#key=";

    explicit QRCodeSession(P256PrivateKey signingKey);

    const P256PrivateKey& signingKey() const { return signingKey_; }
    // 0x00 0x00 then the compressed public key: 35 bytes.
    const Bytes& keyData() const { return keyData_; }
    // 16 bytes a phone may advertise as its QR record.
    const Bytes& advertisingToken() const { return advertisingToken_; }

    // The address the QR code shows; the key travels in the fragment only.
    std::string url() const;

    // The name to show for a phone whose endpoint info carries this session's QR record,
    // none otherwise. Never throws.
    std::optional<std::string> match(const EndpointInfo& info) const;

private:
    P256PrivateKey signingKey_;
    Bytes keyData_;
    Bytes advertisingToken_;
    Bytes nameKey_;  // AES-128 key of the sealed name
};

}  // namespace velmo
