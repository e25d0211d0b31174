#include "quickshare/KeySchedule.h"

#include "platform/Digest.h"
#include "platform/Hkdf.h"
#include "quickshare/CryptoHelpers.h"

namespace velmo {
namespace {

constexpr std::size_t keyLength = 32;

Bytes hkdf(ByteView key, ByteView salt, std::string_view info) {
    return hkdfSha256(key, salt, ByteView(reinterpret_cast<const std::uint8_t*>(info.data()), info.size()),
                      keyLength);
}

Bytes label(std::string_view text) { return toBytes(text); }

}  // namespace

KeySchedule KeySchedule::derive(ByteView sharedSecret, ByteView clientInit, ByteView serverInit) {
    KeySchedule schedule;
    schedule.dhs = sha256(sharedSecret);
    Bytes info(clientInit.begin(), clientInit.end());
    info.insert(info.end(), serverInit.begin(), serverInit.end());
    schedule.authString = hkdfSha256(schedule.dhs, label("UKEY2 v1 auth"), info, keyLength);
    schedule.nextProtocolSecret = hkdfSha256(schedule.dhs, label("UKEY2 v1 next"), info, keyLength);
    schedule.pin = pinCode(schedule.authString);
    const Bytes d2dSalt = sha256(label("D2D"));
    schedule.clientKey = hkdf(schedule.nextProtocolSecret, d2dSalt, "client");
    schedule.serverKey = hkdf(schedule.nextProtocolSecret, d2dSalt, "server");
    return schedule;
}

SessionKeys KeySchedule::sessionKeys(bool isClient) const {
    const Bytes messageSalt = sha256(label("SecureMessage"));
    const Bytes& own = isClient ? clientKey : serverKey;
    const Bytes& peer = isClient ? serverKey : clientKey;
    SessionKeys keys;
    keys.authString = authString;
    keys.pin = pin;
    keys.encryptKey = hkdf(own, messageSalt, "ENC:2");
    keys.sendHmacKey = hkdf(own, messageSalt, "SIG:1");
    keys.decryptKey = hkdf(peer, messageSalt, "ENC:2");
    keys.receiveHmacKey = hkdf(peer, messageSalt, "SIG:1");
    return keys;
}

}  // namespace velmo
