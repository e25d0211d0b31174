#include "platform/ContentType.h"

#include <gtest/gtest.h>

namespace velmo {
namespace {

using Category = ContentType::Category;

TEST(ContentType, GuessesFromTheNameAndKnowsItsCategories) {
    struct Case {
        const char* name;
        const char* mime;
        std::vector<Category> categories;
    };
    const std::vector<Case> cases = {
        {"photo.jpg", "image/jpeg", {Category::image}},
        {"PHOTO.PNG", "image/png", {Category::image}},
        {"clip.mp4", "video/mp4", {Category::movie}},
        {"song.mp3", "audio/mpeg", {Category::audio}},
        {"card.vcf", "text/vcard", {Category::vCard, Category::text}},
        {"paper.pdf", "application/pdf", {Category::pdf}},
        {"notes.txt", "text/plain", {Category::text}},
        {"slides.pptx", "application/vnd.openxmlformats-officedocument.presentationml.presentation",
         {Category::presentation}},
        {"sheet.ods", "application/vnd.oasis.opendocument.spreadsheet", {Category::spreadsheet}},
    };
    for (const auto& c : cases) {
        const auto type = ContentType::forFileName(c.name);
        EXPECT_EQ(type.identifier(), c.mime) << c.name;
        EXPECT_EQ(type.mimeType(), c.mime) << c.name;
        for (auto category : {Category::image, Category::movie, Category::audio, Category::vCard,
                              Category::pdf, Category::text, Category::presentation,
                              Category::spreadsheet}) {
            const bool expected = std::find(c.categories.begin(), c.categories.end(), category) !=
                                  c.categories.end();
            EXPECT_EQ(type.conformsTo(category), expected)
                << c.name << " category " << static_cast<int>(category);
        }
    }
}

TEST(ContentType, UnknownNamesAreGenericDataWithoutAMimeType) {
    for (const char* name : {"", "noextension", "archive.zzqx", "data.bin"}) {
        const auto type = ContentType::forFileName(name);
        EXPECT_EQ(type, ContentType::data()) << name;
        EXPECT_EQ(type.identifier(), "application/octet-stream") << name;
        EXPECT_FALSE(type.mimeType()) << name;
        EXPECT_FALSE(type.conformsTo(Category::text)) << name;
    }
}

}  // namespace
}  // namespace velmo
