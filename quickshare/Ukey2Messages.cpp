#include "quickshare/Ukey2Messages.h"

#include <openssl/crypto.h>

#include "platform/CryptoError.h"
#include "platform/Digest.h"
#include "proto/Codec.h"
#include "proto/connections.pb.h"
#include "proto/securegcm.pb.h"
#include "quickshare/CryptoHelpers.h"
#include "quickshare/EndpointInfo.h"
#include "quickshare/QuickShareError.h"
#include "transfer/PeerText.h"

namespace velmo::ukey2 {
namespace {

namespace nc = location::nearby::connections;
using securegcm::Ukey2Message;

std::string asString(ByteView bytes) { return std::string(bytes.begin(), bytes.end()); }
ByteView asBytes(const std::string& text) {
    return ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

Bytes wrap(Ukey2Message::Type type, const Bytes& data) {
    Ukey2Message message;
    message.set_message_type(type);
    message.set_message_data(asString(data));
    return proto::encode(message);
}

[[noreturn]] void throwAlert(const std::string& data) {
    int type = 0;
    std::string message;
    try {
        const auto alert = proto::decode<securegcm::Ukey2Alert>(asBytes(data));
        type = alert.type();
        // The text ends up in a sentence the user reads.
        message = peerText(alert.error_message());
    } catch (const proto::DecodingError&) {
        // An alert we cannot read still ends the handshake, without details.
    }
    throw QuickShareError::protocolError("phone rejected the handshake (" +
                                         std::to_string(type) + " " + message + ")");
}

nc::OfflineFrame offlineFrame(nc::V1Frame::FrameType type) {
    nc::OfflineFrame frame;
    frame.set_version(nc::OfflineFrame::V1);
    frame.mutable_v1()->set_type(type);
    return frame;
}

}  // namespace

P256PrivateKey newKeyPair(RandomSource& random) {
    // A uniform scalar in [1, n): draw 32 bytes and draw again in the rare case they fall
    // outside the range.
    Bytes scalar(P256PrivateKey::scalarSize);
    for (;;) {
        random.fill(scalar);
        try {
            auto key = P256PrivateKey::fromScalar(scalar);
            OPENSSL_cleanse(scalar.data(), scalar.size());
            return key;
        } catch (const InvalidKeyError&) {
        }
    }
}

Bytes connectionRequest(const std::string& endpointId, const std::string& endpointName,
                        std::int32_t nonce, ByteView endpointInfo) {
    auto frame = offlineFrame(nc::V1Frame::CONNECTION_REQUEST);
    auto* request = frame.mutable_v1()->mutable_connection_request();
    request->set_endpoint_id(endpointId);
    request->set_endpoint_name(endpointName);
    request->set_nonce(nonce);
    request->add_mediums(nc::ConnectionRequestFrame::WIFI_LAN);
    request->set_endpoint_info(asString(endpointInfo));
    return proto::encode(frame);
}

Bytes connectionResponse() {
    auto frame = offlineFrame(nc::V1Frame::CONNECTION_RESPONSE);
    auto* response = frame.mutable_v1()->mutable_connection_response();
    response->set_status(0);
    response->set_response(nc::ConnectionResponseFrame::ACCEPT);
    response->mutable_os_info()->set_type(nc::OsInfo::LINUX);
    return proto::encode(frame);
}

ClientMessages clientMessages(const P256PublicKey& key, ByteView random) {
    ClientMessages out;
    securegcm::Ukey2ClientFinished finished;
    finished.set_public_key(asString(genericPublicKey(key)));
    out.clientFinished = wrap(Ukey2Message::CLIENT_FINISH, proto::encode(finished));
    out.commitment = sha512(out.clientFinished);

    securegcm::Ukey2ClientInit init;
    init.set_version(1);
    init.set_random(asString(random));
    auto* commitment = init.add_cipher_commitments();
    commitment->set_handshake_cipher(securegcm::P256_SHA512);
    commitment->set_commitment(asString(out.commitment));
    init.set_next_protocol(kNextProtocol);
    out.clientInit = wrap(Ukey2Message::CLIENT_INIT, proto::encode(init));
    return out;
}

Bytes serverInit(const P256PublicKey& key, ByteView random) {
    securegcm::Ukey2ServerInit init;
    init.set_version(1);
    init.set_random(asString(random));
    init.set_handshake_cipher(securegcm::P256_SHA512);
    init.set_public_key(asString(genericPublicKey(key)));
    return wrap(Ukey2Message::SERVER_INIT, proto::encode(init));
}

P256PublicKey readServerInit(ByteView frame) {
    const auto message = proto::decode<Ukey2Message>(frame);
    if (message.message_type() == Ukey2Message::ALERT) throwAlert(message.message_data());
    if (message.message_type() != Ukey2Message::SERVER_INIT) {
        throw QuickShareError::protocolError("expected ServerInit");
    }
    const auto init = proto::decode<securegcm::Ukey2ServerInit>(asBytes(message.message_data()));
    if (!init.has_version() || init.version() != 1 || init.random().size() != kRandomSize ||
        init.handshake_cipher() != securegcm::P256_SHA512) {
        throw QuickShareError::protocolError("unsupported ServerInit");
    }
    return p256PublicKey(asBytes(init.public_key()));
}

bool readConnectionResponseAccepts(ByteView frame) {
    const auto offline = proto::decode<nc::OfflineFrame>(frame);
    if (offline.v1().type() != nc::V1Frame::CONNECTION_RESPONSE) {
        throw QuickShareError::protocolError("expected connection response");
    }
    const auto& response = offline.v1().connection_response();
    return response.response() == nc::ConnectionResponseFrame::ACCEPT || response.status() == 0;
}

std::string readConnectionRequest(ByteView frame) {
    const auto offline = proto::decode<nc::OfflineFrame>(frame);
    if (offline.v1().type() != nc::V1Frame::CONNECTION_REQUEST) {
        throw QuickShareError::protocolError("expected connection request");
    }
    const auto& request = offline.v1().connection_request();
    // Free text from the phone, shown as the sender: cleaned as a discovered phone's name is,
    // whichever of the two names it came in. The record's name counts even when empty.
    if (auto info = EndpointInfo::parse(asBytes(request.endpoint_info())); info && info->name) {
        return peerName(*info->name);
    }
    return peerName(request.endpoint_name());
}

Bytes readClientInit(ByteView frame) {
    const auto message = proto::decode<Ukey2Message>(frame);
    if (message.message_type() != Ukey2Message::CLIENT_INIT) {
        throw QuickShareError::protocolError("expected ClientInit");
    }
    const auto init = proto::decode<securegcm::Ukey2ClientInit>(asBytes(message.message_data()));
    if (init.has_version() && init.version() == 1 && init.random().size() == kRandomSize) {
        for (const auto& entry : init.cipher_commitments()) {
            if (entry.handshake_cipher() == securegcm::P256_SHA512) {
                const auto& commitment = entry.commitment();
                return Bytes(commitment.begin(), commitment.end());
            }
        }
    }
    throw QuickShareError::protocolError("unsupported ClientInit");
}

P256PublicKey readClientFinished(ByteView frame, ByteView commitment) {
    const Bytes digest = sha512(frame);
    if (!std::equal(digest.begin(), digest.end(), commitment.begin(), commitment.end())) {
        throw QuickShareError::crypto("handshake commitment mismatch");
    }
    const auto message = proto::decode<Ukey2Message>(frame);
    if (message.message_type() != Ukey2Message::CLIENT_FINISH) {
        throw QuickShareError::protocolError("expected ClientFinished");
    }
    const auto finished =
        proto::decode<securegcm::Ukey2ClientFinished>(asBytes(message.message_data()));
    return p256PublicKey(asBytes(finished.public_key()));
}

void readConnectionResponse(ByteView frame) {
    const auto offline = proto::decode<nc::OfflineFrame>(frame);
    if (offline.v1().type() != nc::V1Frame::CONNECTION_RESPONSE) {
        throw QuickShareError::protocolError("expected connection response");
    }
}

}  // namespace velmo::ukey2
