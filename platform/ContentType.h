// The kind of a file, guessed from its name only (never from its contents), as the desktop's
// shared MIME database knows it. Used to describe files we send and to pick their icons.
#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace velmo {

class ContentType {
public:
    enum class Category { image, movie, audio, vCard, pdf, text, presentation, spreadsheet };

    // The type for a file name by its extension; generic data when the name says nothing.
    static ContentType forFileName(std::string_view fileName);

    // Generic data ("application/octet-stream").
    static ContentType data();

    const std::string& identifier() const { return identifier_; }

    bool conformsTo(Category category) const;

    // The preferred MIME type; absent for generic data, which has no more precise one.
    std::optional<std::string> mimeType() const;

    friend bool operator==(const ContentType&, const ContentType&) = default;

private:
    explicit ContentType(std::string identifier) : identifier_(std::move(identifier)) {}
    bool isA(const char* supertype) const;

    std::string identifier_;
};

}  // namespace velmo
