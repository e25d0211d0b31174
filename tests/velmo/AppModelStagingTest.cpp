#include <gtest/gtest.h>
#include <sys/stat.h>

#include "velmo/AppModelHarness.h"

namespace velmo::test {
namespace {

using Files = AppModel::Files;

TEST(AppModelStaging, StagingRules) {
    struct Case {
        std::string name;
        std::vector<std::string> entries;  // names under the temp folder; "dir:" makes a folder, "fifo:" a pipe; or absolute
        std::vector<std::string> staged;
        std::string status;
    };
    const std::vector<Case> cases = {
        {"duplicates once", {"a.txt", "a.txt", "b.txt"}, {"a.txt", "b.txt"}, ""},
        {"folder and files", {"dir:Photos", "a.txt", "b.txt"}, {"a.txt", "b.txt"}, "Folders aren't supported yet. Zip \u2068Photos\u2069 first."},
        {"first folder named", {"dir:One", "dir:Two"}, {}, "Folders aren't supported yet. Zip \u2068One\u2069 first."},
        {"a reordering name cleaned", {"dir:Evil\u202Egnp.exe"}, {}, "Folders aren't supported yet. Zip \u2068Evil_gnp.exe\u2069 first."},
        {"missing file counts as a file", {"gone.txt"}, {"gone.txt"}, ""},
        {"pipes and devices refused", {"fifo:pipe.txt", "a.txt", "/dev/zero"}, {"a.txt"},
         "Only regular files can be sent. \u2068pipe.txt\u2069 isn't one."},
        {"a device named", {"/dev/zero", "fifo:pipe.txt"}, {}, "Only regular files can be sent. \u2068zero\u2069 isn't one."},
        {"folder named first", {"fifo:pipe.txt", "dir:Photos"}, {}, "Folders aren't supported yet. Zip \u2068Photos\u2069 first."},
    };
    for (const auto& c : cases) {
        AppModelHarness model;
        Files given;
        for (const auto& entry : c.entries) {
            if (entry.rfind("dir:", 0) == 0) {
                std::filesystem::create_directories(model.temp / entry.substr(4));
                given.push_back(model.temp / entry.substr(4));
            } else if (entry.rfind("fifo:", 0) == 0) {
                ASSERT_EQ(::mkfifo((model.temp / entry.substr(5)).c_str(), 0600), 0);
                given.push_back(model.temp / entry.substr(5));
            } else if (entry.starts_with('/')) {
                given.push_back(entry);
            } else {
                if (entry != "gone.txt") model.file(entry);
                given.push_back(model.temp / entry);
            }
        }
        model->stageFiles(given);
        Files expected;
        for (const auto& name : c.staged) expected.push_back(model.temp / name);
        EXPECT_EQ(model->staged(), expected) << c.name;
        EXPECT_EQ(model.status(), c.status) << c.name;
    }
}

TEST(AppModelStaging, WebLinksAreDroppedSilently) {
    AppModelHarness model;
    auto file = model.file("a.txt");
    model->stageUrls({QUrl("https://example.com/a.txt")});
    EXPECT_TRUE(model->staged().empty());
    EXPECT_EQ(model.status(), "");
    model->stageUrls({QUrl::fromLocalFile(QString::fromStdString(file.string()))});
    EXPECT_EQ(model->staged(), Files{file});
    // A dropped file whose name is not UTF-8 keeps its bytes.
    auto bytes = model.file("b\xff c.txt");
    model->stageUrls({QUrl::fromEncoded(QByteArray("file://") + QByteArray::fromStdString(bytes.string()).toPercentEncoding("/"))});
    EXPECT_EQ(model->staged(), (Files{file, bytes}));
}

TEST(AppModelStaging, NothingWhileTheAppIsReplaced) {
    AppModelHarness model;
    *model.replacing = true;
    std::filesystem::create_directories(model.temp / "dir");
    model->stageFiles({model.file("a.txt"), model.temp / "dir"});
    EXPECT_TRUE(model->staged().empty());
    EXPECT_EQ(model.status(), "");
}

TEST(AppModelStaging, RemoveAndTake) {
    AppModelHarness model;
    auto a = model.file("a.txt");
    auto b = model.file("b.txt");
    model->stageFiles({a, b});
    model->removeStaged(model.temp / "absent");
    EXPECT_EQ(model->staged(), (Files{a, b}));
    EXPECT_EQ(model->takeFilesForSending(model->staged()), (Files{a, b}));
    EXPECT_TRUE(model->staged().empty());

    std::filesystem::create_directories(model.temp / "Folder");
    model->stageFiles({a});
    EXPECT_TRUE(model->takeFilesForSending({model.temp / "Folder"}).empty());
    EXPECT_EQ(model->staged(), Files{a});
    EXPECT_EQ(model.status(), "Folders aren't supported yet. Zip \u2068Folder\u2069 first.");

    // Dropped on a phone: only the dropped files leave, once each.
    EXPECT_EQ(model->takeFilesForSending({b, b}), Files{b});
    EXPECT_EQ(model->staged(), Files{a});
}

// Names given at launch that name nothing are said in the status line, cleaned as shown names.
TEST(AppModelStaging, MissingLaunchFilesAreNamed) {
    AppModelHarness model;
    model->reportMissingFiles({});
    EXPECT_EQ(model.status(), "");
    model->reportMissingFiles({"/no/such/file"});
    EXPECT_EQ(model.status(), "Couldn't add \u2068/no/such/file\u2069: no such file.");
    model->reportMissingFiles({"gone\u202Etxt.exe", "b.txt", "c.txt"});
    EXPECT_EQ(model.status(), "Couldn't add \u2068gone_txt.exe\u2069 and 2 more: no such files.");
}

TEST(AppModelStaging, ChooserAppendsAfterStagedFiles) {
    AppModelHarness model;
    auto a = model.file("a.txt");
    auto b = model.file("b.txt");
    model->stageFiles({a});
    *model.chooserResult = {b};
    model->chooseFiles();
    EXPECT_EQ(model->staged(), (Files{a, b}));
}

}  // namespace
}  // namespace velmo::test
