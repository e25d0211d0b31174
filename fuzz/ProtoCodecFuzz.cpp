// Any bytes a phone sends either fail to decode with DecodingError or decode to a
// value that encodes, and whose encoding decodes and encodes to the same bytes.
#include <cstdlib>

#include "proto/Codec.h"
#include "proto/connections.pb.h"
#include "proto/securegcm.pb.h"
#include "proto/securemessage.pb.h"
#include "proto/sharing.pb.h"

namespace {

using namespace velmo;

template <class M>
void check(ByteView bytes) {
    M message;
    try {
        message = proto::decode<M>(bytes);
    } catch (const proto::DecodingError&) {
        return;
    }
    const Bytes once = proto::encode(message);
    const M again = proto::decode<M>(once);
    if (proto::encode(again) != once || !proto::equal(again, message)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const ByteView bytes(data + 1, size - 1);
    switch (data[0] % 8) {
        case 0: check<location::nearby::connections::OfflineFrame>(bytes); break;
        case 1: check<nearby::sharing::service::proto::Frame>(bytes); break;
        case 2: check<securegcm::Ukey2Message>(bytes); break;
        case 3: check<securegcm::Ukey2ClientInit>(bytes); break;
        case 4: check<securemessage::SecureMessage>(bytes); break;
        case 5: check<securemessage::HeaderAndBody>(bytes); break;
        case 6: check<securemessage::GenericPublicKey>(bytes); break;
        default: check<securegcm::GcmDeviceInfo>(bytes); break;
    }
    return 0;
}
