#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <regex>
#include <thread>

#include <QDesktopServices>
#include <QPushButton>

#include "support/LoopbackClient.h"
#include "velmo/AppModelHarness.h"
#include "velmo/ui/TransferRow.h"
#include "velmo/ui/WebReceiveSheet.h"

namespace velmo::test {
namespace {

using State = TransferItem::State;

std::uint16_t portOf(const std::string& url) {
    std::smatch match;
    std::regex_search(url, match, std::regex(":(\\d+)/"));
    return static_cast<std::uint16_t>(std::stoi(match[1]));
}

std::string tokenOf(const std::string& url) { return url.substr(url.find("?t=") + 3); }

// Starts sharing and a web receive session; its link, once published.
std::string openSession(AppModelHarness& model) {
    model->start();
    model->startWebReceive();
    EXPECT_TRUE(pumpUntil([&] { return model->webReceive().has_value(); }));
    return model->webReceive() ? model->webReceive()->url : std::string();
}

// The head of an upload of `length` bytes named `name` to the session at `url`.
std::string uploadHead(const std::string& url, const std::string& name, std::size_t length) {
    return "POST /upload?t=" + tokenOf(url) + " HTTP/1.1\r\nHost: x\r\nX-File-Name: " + name +
           "\r\nContent-Length: " + std::to_string(length) + "\r\n\r\n";
}

TEST(AppModelWebReceive, PublishesTheLinkAndIgnoresASecondStart) {
    AppModelHarness model;
    model->start();
    model->startWebReceive();
    EXPECT_TRUE(model->hasWebServer());
    model->startWebReceive();  // still starting: nothing
    ASSERT_TRUE(pumpUntil([&] { return model->webReceive().has_value(); }));
    const std::string url = model->webReceive()->url;
    EXPECT_TRUE(std::regex_match(url, std::regex("http://127\\.0\\.0\\.1:\\d+/\\?t=[0-9a-f]{32}"))) << url;
    model->startWebReceive();
    pumpFor(std::chrono::milliseconds(50));
    EXPECT_EQ(model->webReceive()->url, url);
    model->stopWebReceive();
    EXPECT_FALSE(model->webReceive());
    EXPECT_FALSE(model->hasWebServer());
}

TEST(AppModelWebReceive, StoppingWhileStartingPublishesNothing) {
    AppModelHarness model;
    model->start();
    model->startWebReceive();
    model->stopWebReceive();
    pumpFor(std::chrono::milliseconds(200));
    EXPECT_FALSE(model->webReceive());
    EXPECT_FALSE(model->hasWebServer());
}

TEST(AppModelWebReceive, WithoutAnAddressSaysSo) {
    AppModelHarness model;
    model->start();
    *model.address = std::nullopt;
    model->startWebReceive();
    EXPECT_EQ(model.status(), "This computer isn't on a Wi-Fi network. Connect to the same Wi-Fi as the phone.");
    EXPECT_FALSE(model->hasWebServer());
}

TEST(AppModelWebReceive, AnUploadBecomesADoneRow) {
    AppModelHarness model;
    const std::string url = openSession(model);
    std::string response;
    std::thread client([&] {
        LoopbackClient phone(portOf(url));
        phone.send(uploadHead(url, "note.txt", 5) + "hello");
        response = phone.readAll(std::chrono::seconds(5));
    });
    bool done = pumpUntil([&] { return !model->transfers().empty() && model.row().state == State::done(); });
    client.join();
    ASSERT_TRUE(done) << response;
    EXPECT_EQ(statusOf(response), 200);
    EXPECT_EQ(model.row().summary, "note.txt");
    EXPECT_EQ(model.row().done, 5);
    ASSERT_EQ(model.row().savedURLs.size(), 1u);
    EXPECT_TRUE(std::filesystem::exists(model.row().savedURLs[0]));
    EXPECT_EQ(model->webReceive()->transferIDs.count(model.row().id), 1u);
}

// The row's Cancel ends that upload on the server: the phone gets a final answer (a browser
// would otherwise send the file again), nothing of it is kept, and the row stays "Cancelled";
// another upload of the session goes on.
TEST(AppModelWebReceive, CancellingAnUploadsRowEndsThatUpload) {
    AppModelHarness model;
    const std::string url = openSession(model);
    const auto head = [&](const std::string& name) { return uploadHead(url, name, 10) + "half."; };
    LoopbackClient cancelled(portOf(url));
    cancelled.send(head("cancelled.txt"));
    ASSERT_TRUE(pumpUntil([&] { return model->transfers().size() == 1; }));
    LoopbackClient other(portOf(url));
    other.send(head("other.txt"));
    ASSERT_TRUE(pumpUntil([&] { return model->transfers().size() == 2; }));

    model->cancelTransfer(model.row(1).id);
    EXPECT_EQ(model.row(1).state, State::failed("Cancelled"));
    EXPECT_EQ(statusOf(cancelled.readAll(std::chrono::seconds(5))), 409) << "the upload went on";
    other.send("done!");
    std::string reply;
    std::thread reader([&] { reply = other.readAll(std::chrono::seconds(5)); });
    const bool otherDone = pumpUntil([&] { return model.row(0).state == State::done(); });
    reader.join();
    EXPECT_TRUE(otherDone) << reply;
    pumpFor(std::chrono::milliseconds(100));
    EXPECT_EQ(model.row(1).state, State::failed("Cancelled"));
    EXPECT_TRUE(std::filesystem::exists(model.temp / "other.txt"));
    EXPECT_FALSE(std::filesystem::exists(model.temp / "cancelled.txt"));
    for (const auto& entry : std::filesystem::directory_iterator(model.temp.path()))
        EXPECT_NE(entry.path().extension(), ".part") << "left behind: " << entry.path();
}

// A Cancel pressed after the server has saved the file, before the row has heard of it, does
// not hide the saved file behind "Cancelled": the server settles it, and the row ends done.
// Rows show the names the files were saved under.
TEST(AppModelWebReceive, RowsShowWhatTheServerSaved) {
    AppModelHarness model;
    const std::string url = openSession(model);
    const std::vector<std::string> names = {"a.bin", "a.bin", "", ""};
    for (std::size_t i = 0; i < names.size(); ++i) {
        LoopbackClient phone(portOf(url));
        phone.send(uploadHead(url, names[i], 4) + "ab");
        ASSERT_TRUE(pumpUntil([&] { return model->transfers().size() == i + 1; }));
        phone.send("cd");
        // Saved and answered, but the row has not heard of it yet.
        EXPECT_EQ(statusOf(phone.readAll()), 200);
        model->cancelTransfer(model.row().id);
        EXPECT_EQ(model.row().state, State::transferring());
        ASSERT_TRUE(pumpUntil([&] { return model.row().state == State::done(); }));
    }
    std::vector<std::string> shown;
    for (const auto& row : model->transfers()) shown.insert(shown.begin(), row.summary);
    EXPECT_EQ(shown, (std::vector<std::string>{"a.bin", "a (1).bin", "File", "File (1)"}));
    EXPECT_TRUE(std::filesystem::exists(model.temp / "a (1).bin"));
    EXPECT_TRUE(std::filesystem::exists(model.temp / "File (1)"));
}

TEST(AppModelWebReceive, EventsDriveRows) {
    AppModelHarness model;
    Uuid upload = Uuid::random();
    model->handleWebReceiveEvent(WebReceiveServer::Started{upload, "a.jpg", 100, "Phone browser"});
    EXPECT_EQ(model.row().peer, "Phone browser");
    EXPECT_EQ(model.row().total, 100);
    EXPECT_EQ(model.row().state, State::transferring());
    model->handleWebReceiveEvent(WebReceiveServer::Progress{upload, 40});
    EXPECT_EQ(model.row().done, 40);
    model->handleWebReceiveEvent(WebReceiveServer::Finished{upload, "/x/a.jpg"});
    EXPECT_EQ(model.row().state, State::done());
    EXPECT_EQ(model.row().done, 100);
    // The upload is forgotten once finished: later events change nothing.
    model->handleWebReceiveEvent(WebReceiveServer::Failed{upload, "late"});
    EXPECT_EQ(model.row().state, State::done());

    Uuid second = Uuid::random();
    model->handleWebReceiveEvent(WebReceiveServer::Started{second, "b.jpg", 10, "Phone browser"});
    model->setTransferState(model.row().id, State::done());
    model->handleWebReceiveEvent(WebReceiveServer::Failed{second, "Storing failed."});
    EXPECT_EQ(model.row().state, State::failed("Storing failed."));

    model->handleWebReceiveEvent(WebReceiveServer::Progress{Uuid::random(), 1});
    EXPECT_EQ(model->transfers().size(), 2u);
}

// Stopping cancels the session's active rows, but an upload the server had already saved, not
// yet announced, ends done under its saved name, and the phone still gets its answer; one that
// had failed on its own keeps its reason; one the stop cut short ends "Cancelled" without its
// part file. The stopped server's events are dropped.
TEST(AppModelWebReceive, StoppingCancelsActiveRowsOfTheSession) {
    AppModelHarness model;
    std::atomic<bool> saved = false;
    std::atomic<bool> release = false;
    *model.afterWebSave = [&](const Uuid&) {
        saved = true;
        for (int i = 0; i < 500 && !release; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    };
    const std::string url = openSession(model);
    Uuid active = Uuid::random();
    Uuid finished = Uuid::random();
    model->handleWebReceiveEvent(WebReceiveServer::Started{finished, "done.txt", 1, "P"});
    model->handleWebReceiveEvent(WebReceiveServer::Finished{finished, "/x/done.txt"});
    model->handleWebReceiveEvent(WebReceiveServer::Started{active, "part.txt", 9, "P"});
    model.file("a.txt");
    LoopbackClient kept(portOf(url));
    kept.send(uploadHead(url, "a.txt", 4) + "abcd");
    LoopbackClient cut(portOf(url));
    cut.send(uploadHead(url, "b.txt", 10) + "half.");
    ASSERT_TRUE(pumpUntil([&] { return saved && model->transfers().size() == 4; }));
    LoopbackClient gone(portOf(url));
    gone.send(uploadHead(url, "gone.txt", 10) + "half.");
    ASSERT_TRUE(pumpUntil([&] { return model->transfers().size() == 5; }));
    // The phone leaves; the server answers after it has settled the failure, whose event then
    // waits in the queue, unseen.
    gone.shutdownWrite();
    EXPECT_EQ(statusOf(gone.readAll(std::chrono::seconds(5))), 500);
    std::map<std::string, Uuid> rows;
    for (const auto& row : model->transfers()) rows[row.summary] = row.id;
    const auto row = [&](const std::string& name) -> const TransferItem& {
        for (const auto& t : model->transfers())
            if (t.id == rows.at(name)) return t;
        throw std::runtime_error("no row " + name);
    };

    auto authorization = model->webReceive()->quickShareSession.authorization;
    model->stopWebReceive();
    release = true;
    EXPECT_FALSE(authorization->isActive());
    EXPECT_EQ(row("part.txt").state, State::failed("Cancelled"));
    EXPECT_EQ(row("done.txt").state, State::done());
    EXPECT_EQ(row("b.txt").state, State::failed("Cancelled"));
    EXPECT_EQ(row("gone.txt").state, State::failed("The phone stopped sending."));
    EXPECT_EQ(row("a.txt").state, State::done()) << "a saved file shown as cancelled";
    EXPECT_EQ(row("a.txt").summary, "a (1).txt");
    EXPECT_EQ(row("a.txt").done, 4);
    EXPECT_EQ(row("a.txt").savedURLs, (std::vector<std::filesystem::path>{model.temp / "a (1).txt"}));
    EXPECT_EQ(statusOf(kept.readAll(std::chrono::seconds(5))), 200);

    model->handleWebReceiveEvent(WebReceiveServer::Finished{active, "/x/part.txt"});
    EXPECT_EQ(row("part.txt").state, State::failed("Cancelled"));
    const auto noPartFile = [&] {
        for (const auto& entry : std::filesystem::directory_iterator(model.temp.path()))
            if (entry.path().extension() == ".part") return false;
        return true;
    };
    EXPECT_TRUE(pumpUntil(noPartFile));
    pumpFor(std::chrono::milliseconds(100));
    EXPECT_EQ(row("a.txt").state, State::done());
    EXPECT_EQ(row("b.txt").state, State::failed("Cancelled"));
    EXPECT_FALSE(std::filesystem::exists(model.temp / "b.txt"));
}

// Quitting during an upload: the phone has the final answer before the model lets the process
// go, and the row ends "Cancelled".
TEST(AppModelWebReceive, QuitWaitsForTheUploadsFinalAnswer) {
    AppModelHarness model;
    const std::string url = openSession(model);
    LoopbackClient phone(portOf(url));
    phone.send(uploadHead(url, "big.bin", 1000) + "half");
    ASSERT_TRUE(pumpUntil([&] { return model->transfers().size() == 1; }));
    bool settled = false;
    std::string answerAtSettle;
    model->quit(std::chrono::seconds(5), [&] {
        settled = true;
        answerAtSettle = phone.readUntil("\r\n\r\n", std::chrono::milliseconds(1));
    });
    EXPECT_FALSE(settled);
    ASSERT_TRUE(pumpUntil([&] { return settled; }, std::chrono::seconds(10)));
    EXPECT_EQ(statusOf(answerAtSettle), 409) << answerAtSettle;
    EXPECT_EQ(model.row().state, State::failed("Cancelled"));
    EXPECT_FALSE(model->webReceive().has_value());
}

// A session whose page was loaded and that has no upload running: quitting waits only for the
// server to close, far less than its limit.
TEST(AppModelWebReceive, QuitWithAnIdleSessionDoesNotWaitForItsLimit) {
    AppModelHarness model;
    const std::string url = openSession(model);
    LoopbackClient phone(portOf(url));
    phone.send("GET /?t=" + tokenOf(url) + " HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(statusOf(phone.readAll()), 200);
    bool settled = false;
    model->quit(std::chrono::minutes(1), [&] { settled = true; });
    EXPECT_TRUE(pumpUntil([&] { return settled; }, std::chrono::seconds(5)));
}

// Where Show sends the file manager when no FileManager1 answers: counted, nothing opened.
class OpenedFolders : public QObject {
    Q_OBJECT
public:
    int count = 0;
public slots:
    void open(const QUrl&) { ++count; }
};

// Many uploads pile up in the session's sheet; while their bodies still pour in, every other
// row is cancelled with its own Cancel (some just as their last bytes arrive), and the rest
// finish and have their Show clicked as soon as it appears, the sheet rebuilding its rows
// around every click. Each row ends as its phone was told, and no part file stays.
TEST(AppModelWebReceive, SheetTakesCancelsAndShowsWhileRowsPileUp) {
    OpenedFolders opened;
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &opened, "open");
    struct Unset {
        ~Unset() { QDesktopServices::unsetUrlHandler(QStringLiteral("file")); }
    } unset;
    AppModelHarness model;
    const std::string url = openSession(model);
    WebReceiveSheet sheet(*model, nullptr, std::chrono::hours(1));
    sheet.show();

    // A few at a time, as the server keeps at most eight connections open.
    constexpr int uploads = 24;
    constexpr int batch = 6;
    constexpr std::size_t half = 200'000;
    const auto name = [](int i) { return "f" + std::to_string(i) + ".bin"; };
    const auto sheetButton = [&](const std::string& summary, const QString& text) -> QPushButton* {
        for (auto* row : sheet.findChildren<TransferRow*>())
            if (row->item().summary == summary)
                for (auto* button : row->findChildren<QPushButton*>())
                    if (button->text() == text && button->isVisible()) return button;
        return nullptr;
    };
    std::vector<std::unique_ptr<LoopbackClient>> phones;
    std::vector<std::string> replies(uploads);
    struct Threads : std::vector<std::thread> {
        void joinAll() {
            for (auto& thread : *this) thread.join();
            clear();
        }
        ~Threads() { joinAll(); }
    } rest;
    for (int first = 0; first < uploads; first += batch) {
        rest.joinAll();
        for (int i = first; i < first + batch; ++i) {
            phones.push_back(std::make_unique<LoopbackClient>(portOf(url)));
            phones.back()->send(uploadHead(url, name(i), 2 * half) + std::string(half, 'a'));
        }
        ASSERT_TRUE(pumpUntil([&] { return model->transfers().size() == std::size_t(first + batch); }));
        for (int i = first; i < first + batch; ++i) {
            const auto sendRest = [&, phone = phones[i].get(), &reply = replies[i]] {
                rest.emplace_back([phone, &reply] {
                    phone->send(std::string(half, 'b'));
                    reply = phone->readAll(std::chrono::seconds(10));
                    phone->close();  // ends the server's drain, freeing the connection
                });
            };
            if (i % 4 == 2) {
                // Cancelled while its last bytes arrive: it ends either way, but as one.
                sendRest();
                pumpFor(std::chrono::milliseconds(1));
                if (auto* cancel = sheetButton(name(i), QStringLiteral("Cancel"))) cancel->click();
            } else if (i % 2 == 0) {
                ASSERT_TRUE(pumpUntil([&] { return sheetButton(name(i), QStringLiteral("Cancel")) != nullptr; }));
                sheetButton(name(i), QStringLiteral("Cancel"))->click();
                sendRest();
            } else {
                sendRest();
                ASSERT_TRUE(pumpUntil([&] { return sheetButton(name(i), QStringLiteral("Show")) != nullptr; }));
                sheetButton(name(i), QStringLiteral("Show"))->click();
            }
            pumpFor(std::chrono::milliseconds(2));
        }
    }
    rest.joinAll();
    ASSERT_TRUE(pumpUntil([&] { return opened.count == uploads / 2; }, std::chrono::seconds(10)));

    ASSERT_TRUE(pumpUntil([&] {
        return std::none_of(model->transfers().begin(), model->transfers().end(),
                            [](const TransferItem& t) { return t.state.isActive(); });
    }));
    std::map<std::string, TransferItem> rows;
    for (const auto& row : model->transfers()) rows[row.summary] = row;
    for (int i = 0; i < uploads; ++i) {
        SCOPED_TRACE(name(i));
        const bool cancelled = i % 4 == 2 ? rows.at(name(i)).state != State::done() : i % 2 == 0;
        if (cancelled) {
            EXPECT_EQ(rows.at(name(i)).state, State::failed("Cancelled"));
            EXPECT_EQ(statusOf(replies[i]), 409);
            EXPECT_FALSE(std::filesystem::exists(model.temp / name(i)));
        } else {
            EXPECT_EQ(rows.at(name(i)).state, State::done());
            EXPECT_EQ(statusOf(replies[i]), 200);
            EXPECT_EQ(std::filesystem::file_size(model.temp / name(i)), 2 * half);
        }
    }
    EXPECT_EQ(sheet.findChildren<TransferRow*>().size(), std::size_t(uploads));
    for (const auto& entry : std::filesystem::directory_iterator(model.temp.path()))
        EXPECT_NE(entry.path().extension(), ".part") << "left behind: " << entry.path();
    model->stopWebReceive();
}

}  // namespace
}  // namespace velmo::test

#include "AppModelWebReceiveTest.moc"
