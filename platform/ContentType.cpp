#include "platform/ContentType.h"

#include <gio/gio.h>

#include <memory>

namespace velmo {

namespace {

constexpr const char* genericData = "application/octet-stream";

struct GFreeDeleter {
    void operator()(gchar* text) const { g_free(text); }
};
using GText = std::unique_ptr<gchar, GFreeDeleter>;

}  // namespace

ContentType ContentType::forFileName(std::string_view fileName) {
    const std::string name(fileName);
    gboolean uncertain = FALSE;
    GText guessed(g_content_type_guess(name.c_str(), nullptr, 0, &uncertain));
    if (!guessed || g_content_type_is_unknown(guessed.get())) return data();
    GText mime(g_content_type_get_mime_type(guessed.get()));
    return ContentType(mime ? mime.get() : genericData);
}

ContentType ContentType::data() { return ContentType(genericData); }

bool ContentType::isA(const char* supertype) const {
    return g_content_type_is_a(identifier_.c_str(), supertype);
}

bool ContentType::conformsTo(Category category) const {
    switch (category) {
    case Category::image:
        return isA("image/*");
    case Category::movie:
        return isA("video/*");
    case Category::audio:
        return isA("audio/*");
    case Category::vCard:
        return isA("text/vcard");
    case Category::pdf:
        return isA("application/pdf");
    case Category::text:
        return isA("text/plain");
    case Category::presentation:
        return isA("application/vnd.ms-powerpoint") ||
               isA("application/vnd.openxmlformats-officedocument.presentationml.presentation") ||
               isA("application/vnd.oasis.opendocument.presentation") ||
               isA("application/vnd.apple.keynote");
    case Category::spreadsheet:
        return isA("application/vnd.ms-excel") ||
               isA("application/vnd.openxmlformats-officedocument.spreadsheetml.sheet") ||
               isA("application/vnd.oasis.opendocument.spreadsheet") ||
               isA("application/vnd.apple.numbers");
    }
    return false;
}

std::optional<std::string> ContentType::mimeType() const {
    if (identifier_ == genericData) return std::nullopt;
    return identifier_;
}

}  // namespace velmo
