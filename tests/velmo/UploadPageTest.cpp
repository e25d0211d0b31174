#include "velmo/ui/UploadPage.h"

#include <gtest/gtest.h>

namespace velmo {
namespace {

std::string page(const QString& name = QStringLiteral("Desk")) { return uploadPageHtml(name); }

TEST(UploadPageTest, DeviceNameIsEscapedAmpersandFirst) {
    EXPECT_NE(page(QStringLiteral("&<>\"")).find("Send files to &amp;&lt;&gt;&quot;</p>"), std::string::npos);
    EXPECT_NE(page(QStringLiteral("&lt;")).find("Send files to &amp;lt;</p>"), std::string::npos);
    EXPECT_NE(page(QStringLiteral("Ann's <b>PC</b>")).find("Send files to Ann's &lt;b&gt;PC&lt;/b&gt;</p>"),
              std::string::npos);
    EXPECT_EQ(page(QStringLiteral("<script>alert(1)</script>")).find("<script>alert"), std::string::npos);
}

TEST(UploadPageTest, NonAsciiNameIsUtf8) {
    EXPECT_NE(page(QStringLiteral("Zoë’s laptop")).find("Send files to Zo\xc3\xab\xe2\x80\x99s laptop"),
              std::string::npos);
}

TEST(UploadPageTest, UploadsWithTheQueryTokenAndAnEncodedName) {
    const std::string html = page();
    EXPECT_NE(html.find("q=location.search"), std::string::npos);
    EXPECT_NE(html.find("x.open('POST','/upload'+q)"), std::string::npos);
    EXPECT_NE(html.find("setRequestHeader('X-File-Name',encodeURIComponent(job.file.name))"), std::string::npos);
    // File names go into the page as text, never as markup.
    EXPECT_NE(html.find("name.textContent=file.name"), std::string::npos);
    EXPECT_EQ(html.find("innerHTML"), std::string::npos);
}

TEST(UploadPageTest, StatusTexts) {
    const std::string html = page();
    for (const char* text : {"Waiting", "Link expired, scan again", "File or session limit reached", "'Failed'",
                             "Lost connection", "Sent \\u2713 ", "Choose files",
                             "Photos, videos, documents, anything. They go straight to the computer over your Wi-Fi."})
        EXPECT_NE(html.find(text), std::string::npos) << text;
}

TEST(UploadPageTest, CssVariablesForBothAppearances) {
    const QString light = themeCSSVariables(Appearance::light);
    const QString dark = themeCSSVariables(Appearance::dark);
    EXPECT_TRUE(light.startsWith(QStringLiteral("--accent:rgba(37,99,235,1.00);--accentText:rgba(29,78,216,1.00);"
                                                 "--soft:rgba(37,99,235,0.10);")));
    EXPECT_TRUE(light.contains(QStringLiteral("--line:rgba(15,23,42,0.10);")));
    EXPECT_TRUE(dark.contains(QStringLiteral("--line:rgba(255,255,255,0.10);")));
    EXPECT_TRUE(dark.contains(QStringLiteral("--bg:rgba(14,17,23,1.00);")));
    EXPECT_TRUE(dark.endsWith(QStringLiteral("--sub:rgba(163,174,191,1.00);")));
    EXPECT_EQ(light.count(QStringLiteral("--")), 12);
    for (const char* same : {"--accent:", "--top:", "--bottom:"}) {
        const auto value = [&](const QString& block) {
            const int start = block.indexOf(QLatin1String(same));
            return block.mid(start, block.indexOf(';', start) - start);
        };
        EXPECT_EQ(value(light), value(dark)) << same;
    }
    const std::string html = page();
    EXPECT_NE(html.find(":root{" + light.toStdString() + "}\n@media (prefers-color-scheme:dark){:root{" +
                        dark.toStdString() + "}}"),
              std::string::npos);
}

}  // namespace
}  // namespace velmo
