// Fetches exactly one URL into memory, refusing redirects, a response for another address,
// any status but 200 and more bytes than its limit.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>

#include "platform/Bytes.h"
#include "updatecore/HttpTransport.h"

namespace velmo {

class BoundedUpdateRequest {
public:
    BoundedUpdateRequest(std::string url, std::int64_t limit);

    // The body of a 200 response of at most `limit` bytes; throws UpdateError otherwise.
    // `cancel` may be set from any thread to stop the fetch.
    Bytes run(HttpTransport& transport, const std::string& accept,
              const std::atomic<bool>& cancel) const;

private:
    std::string url_;
    std::int64_t limit_;
};

}  // namespace velmo
