// How this computer shares files: quick (QR sends prove themselves with the code's key,
// offers inside an open receive session are taken at once) or asking each time.
#pragma once
#include <array>
#include <optional>
#include <string_view>

#include <QString>

namespace velmo {

enum class SharingMode { quick, askEachTime };

inline constexpr std::array<SharingMode, 2> allSharingModes{SharingMode::quick, SharingMode::askEachTime};

// The stored form: "quick" or "askEachTime".
std::string_view rawValue(SharingMode mode);
// Exactly one of the stored forms (case matters); anything else is no choice.
std::optional<SharingMode> sharingModeFromRaw(std::string_view raw);
QString title(SharingMode mode);

}  // namespace velmo
