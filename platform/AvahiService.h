// Plain values that cross from Avahi's thread to ours: what we publish and what a browse finds.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Bytes.h"
#include "platform/Error.h"

namespace velmo {

// The local Avahi daemon could not be used; what() says why in a short user-facing clause.
class AvahiError : public Error {
public:
    using Error::Error;
};

// A DNS-SD TXT record: entries in record order; an entry without "=" has no value.
struct AvahiTxt {
    struct Entry {
        std::string key;
        std::optional<Bytes> value;
    };
    std::vector<Entry> entries;

    // The value of the first entry named `key` (ASCII case-insensitive), as DNS-SD
    // requires; nothing when the key is absent or has no value.
    std::optional<Bytes> value(std::string_view key) const;
};

struct AvahiServiceSpec {
    std::string name;
    std::string type;
    std::uint16_t port = 0;
    // Published in this order; each "key=value" string must fit in 255 bytes.
    std::vector<std::pair<std::string, Bytes>> txt;
};

// One service as seen on one network interface, with every address it resolved to there.
struct AvahiResolvedService {
    struct Address {
        std::string address;  // numeric IPv4 or IPv6 text, without scope
        bool ipv6 = false;
        std::uint16_t port = 0;
    };

    std::string name;
    std::string type;
    std::string domain;
    int interfaceIndex = 0;
    std::string hostName;
    // IPv4 first, then IPv6; never empty.
    std::vector<Address> addresses;
    AvahiTxt txt;  // as last resolved
};

// User-facing clause for an Avahi error code.
std::string describeAvahiError(int code);

}  // namespace velmo
