// Random (version 4) UUIDs, used to name uploads and their temporary files.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace velmo {

class Uuid {
public:
    // A new random UUID from the system's secure random source; throws velmo::Error
    // when the generator fails.
    static Uuid random();

    // The canonical 36-character form in upper case, e.g. "0F8FAD5B-D9CB-469F-A165-70867728950E".
    std::string toString() const;
    // Whether `text` is exactly that form: how names made from a UUID are told from others.
    static bool isCanonical(std::string_view text);

    const std::array<std::uint8_t, 16>& bytes() const { return bytes_; }

    friend bool operator==(const Uuid&, const Uuid&) = default;
    friend auto operator<=>(const Uuid&, const Uuid&) = default;

private:
    std::array<std::uint8_t, 16> bytes_{};
};

}  // namespace velmo
