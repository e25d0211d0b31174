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
