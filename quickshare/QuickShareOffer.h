// What a phone offers to send: shown to the user, who accepts or declines it.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace velmo {

struct QuickShareOffer {
    struct File {
        std::string name;   // already made safe for saving
        std::int64_t size = 0;

        friend bool operator==(const File&, const File&) = default;
    };

    std::string senderName;
    std::string pin;
    std::vector<File> files;

    // Sum of the file sizes. Offers built by the receiver always fit; a sum beyond the
    // 64-bit range stops at the largest value instead of wrapping.
    std::int64_t totalSize() const;

    friend bool operator==(const QuickShareOffer&, const QuickShareOffer&) = default;
};

}  // namespace velmo
