// The first messages a phone sends in either handshake role: its client init and client
// finished (server role), its server init (client role) and its connection request. Any
// bytes either pass the checks or end the handshake with the engine's own error.
#include <cstddef>
#include <cstdint>

#include "FuzzCheck.h"
#include "platform/Digest.h"
#include "platform/Error.h"
#include "platform/Utf8.h"
#include "quickshare/Ukey2Messages.h"

using namespace velmo;
using velmo::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const ByteView frame(data + 1, size - 1);
    try {
        switch (data[0] % 4) {
            case 0:
                ukey2::readClientInit(frame);
                break;
            case 1: {
                // With the commitment it must match, so the message itself is read.
                const P256PublicKey key = ukey2::readClientFinished(frame, sha512(frame));
                check(key.raw().size() == 64);
                break;
            }
            case 2: {
                const P256PublicKey key = ukey2::readServerInit(frame);
                check(key.raw().size() == 64);
                break;
            }
            default:
                check(Utf8::isValid(ukey2::readConnectionRequest(frame)));
                break;
        }
    } catch (const Error&) {
        // Every refusal is one of the engine's errors; anything else escapes and is a finding.
    }
    return 0;
}
