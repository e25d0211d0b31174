// webreceive-harness: runs the real web receive server on 127.0.0.1, serving the app's own
// upload page, for scripted clients.
//
//   webreceive-harness --folder DIR [--device NAME] [--reserve BYTES]... [--idle-ms N]
//                      [--stop-at BYTES] [--cancel-at BYTES]
//
// Prints the upload URL on its first line, then every upload event as one JSON line, and
// stops on a line "stop" or at the end of its input. The page greets NAME ("Computer" by
// default). Each --reserve spends one file of that size from the session budget first.
// --stop-at stops the server, as closing the session does, once an upload has received that
// many bytes. --cancel-at cancels an upload, as its row's Cancel does, once it has received
// that many bytes, and prints {"event":"cancel","id":…,"stopped":…} with the server's answer.
#include <asio/co_spawn.hpp>
#include <asio/use_future.hpp>
#include <nlohmann/json.hpp>

#include <iostream>
#include <mutex>
#include <optional>
#include <set>
#include <variant>
#include <vector>

#include "transfer/WebReceiveServer.h"
#include "velmo/ui/UploadPage.h"

namespace {

using velmo::WebReceiveServer;

int usage() {
    std::cerr << "usage: webreceive-harness --folder DIR [--device NAME] [--reserve BYTES]... [--idle-ms N] "
                 "[--stop-at BYTES] [--cancel-at BYTES]\n";
    return 2;
}

nlohmann::json describe(const WebReceiveServer::Event& event) {
    return std::visit(
        [](const auto& e) -> nlohmann::json {
            using T = std::decay_t<decltype(e)>;
            if constexpr (std::is_same_v<T, WebReceiveServer::Started>) {
                return {{"event", "started"}, {"id", e.id.toString()}, {"name", e.name}, {"size", e.size}, {"device", e.device}};
            } else if constexpr (std::is_same_v<T, WebReceiveServer::Progress>) {
                return {{"event", "progress"}, {"id", e.id.toString()}, {"done", e.done}};
            } else if constexpr (std::is_same_v<T, WebReceiveServer::Finished>) {
                return {{"event", "finished"}, {"id", e.id.toString()}, {"path", e.url.string()}};
            } else {
                return {{"event", "failed"}, {"id", e.id.toString()}, {"message", e.message}};
            }
        },
        event);
}

}  // namespace

int main(int argc, char** argv) {
    std::string folder;
    std::string device = "Computer";
    std::vector<std::int64_t> reservations;
    std::optional<std::int64_t> stopAt;
    std::optional<std::int64_t> cancelAt;
    WebReceiveServer::Timeouts timeouts;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const std::string value = argv[i + 1];
        if (option == "--folder") {
            folder = value;
        } else if (option == "--device") {
            device = value;
        } else if (option == "--reserve") {
            reservations.push_back(std::stoll(value));
        } else if (option == "--idle-ms") {
            timeouts.idle = std::chrono::milliseconds(std::stoll(value));
        } else if (option == "--stop-at") {
            stopAt = std::stoll(value);
        } else if (option == "--cancel-at") {
            cancelAt = std::stoll(value);
        } else {
            return usage();
        }
    }
    if (folder.empty() || argc % 2 == 0) return usage();

    auto budget = std::make_shared<velmo::ReceiveSessionBudget>();
    for (const auto size : reservations) {
        if (!budget->reserve({size})) {
            std::cerr << "the budget refused " << size << "\n";
            return 1;
        }
    }
    WebReceiveServer server(velmo::uploadPageHtml(QString::fromStdString(device)), folder,
                            WebReceiveServer::makeToken(), "127.0.0.1", budget, timeouts);
    std::mutex output;
    std::mutex cancelLock;
    std::set<velmo::Uuid> cancelled;
    const auto firstTime = [&](const velmo::Uuid& id) {
        std::lock_guard guard(cancelLock);
        return cancelled.insert(id).second;
    };
    const auto print = [&output](const nlohmann::json& line) {
        std::lock_guard guard(output);
        std::cout << line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << std::endl;
    };
    server.setOnEvent([&print, &server, &firstTime, stopAt, cancelAt](const WebReceiveServer::Event& event) {
        print(describe(event));
        const auto* progress = std::get_if<WebReceiveServer::Progress>(&event);
        if (stopAt && progress && progress->done >= *stopAt) server.stop();
        if (cancelAt && progress && progress->done >= *cancelAt && firstTime(progress->id)) {
            const bool stopped = server.cancelUpload(progress->id);
            print({{"event", "cancel"}, {"id", progress->id.toString()}, {"stopped", stopped}});
        }
    });
    std::uint16_t port = 0;
    try {
        port = asio::co_spawn(velmo::Runtime::shared().executor(), server.start(), asio::use_future).get();
    } catch (const std::exception& e) {
        std::cerr << "cannot start: " << e.what() << "\n";
        return 1;
    }
    {
        std::lock_guard guard(output);
        std::cout << "http://127.0.0.1:" << port << "/?t=" << server.token() << std::endl;
    }
    for (std::string line; std::getline(std::cin, line);) {
        if (line == "stop") break;
    }
    server.stop();
    return 0;
}
