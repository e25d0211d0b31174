#include "velmo/model/SharingMode.h"

namespace velmo {

std::string_view rawValue(SharingMode mode) {
    return mode == SharingMode::quick ? "quick" : "askEachTime";
}

std::optional<SharingMode> sharingModeFromRaw(std::string_view raw) {
    for (SharingMode mode : allSharingModes)
        if (raw == rawValue(mode)) return mode;
    return std::nullopt;
}

QString title(SharingMode mode) {
    return mode == SharingMode::quick ? QStringLiteral("Allow quick sharing") : QStringLiteral("Ask each time");
}

}  // namespace velmo
