#include "platform/Digest.h"

#include "platform/OpenSslHandles.h"

namespace velmo {

namespace {

Bytes digest(const EVP_MD* md, ByteView data) {
    Bytes out(static_cast<std::size_t>(EVP_MD_get_size(md)));
    unsigned int length = 0;
    ossl::check(EVP_Digest(ossl::nonNull(data), data.size(), out.data(), &length, md, nullptr), "compute a digest");
    out.resize(length);
    return out;
}

}  // namespace

Bytes sha256(ByteView data) { return digest(EVP_sha256(), data); }

Bytes sha512(ByteView data) { return digest(EVP_sha512(), data); }

}  // namespace velmo
