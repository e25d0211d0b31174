// A WebReceiveServer on 127.0.0.1 with a temporary folder, recorded events and short timeouts.
#pragma once
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/LoopbackClient.h"
#include "support/TempFolder.h"
#include "transfer/WebReceiveServer.h"

namespace velmo::test {

class EventLog {
public:
    void add(const WebReceiveServer::Event& event);
    std::vector<WebReceiveServer::Event> snapshot();
    // Waits until `count` events have arrived; false after `timeout`.
    bool waitForCount(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10));

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<WebReceiveServer::Event> events_;
};

// Names of the event kinds in order, e.g. "started progress finished".
std::string kinds(const std::vector<WebReceiveServer::Event>& events);

WebReceiveServer::Timeouts fastTimeouts();

// Whether a hidden ".velmo-" file is in `folder`.
bool hasPartFile(const std::filesystem::path& folder);

class WebReceiveTestServer {
public:
    explicit WebReceiveTestServer(WebReceiveServer::Timeouts timeouts = fastTimeouts(),
                                  std::string page = "<html>page</html>");
    WebReceiveTestServer(std::filesystem::path folder, WebReceiveServer::Timeouts timeouts);

    TempFolder temp;
    std::shared_ptr<ReceiveSessionBudget> budget = std::make_shared<ReceiveSessionBudget>();
    std::shared_ptr<EventLog> events = std::make_shared<EventLog>();
    std::unique_ptr<WebReceiveServer> server;
    std::uint16_t port = 0;

    const std::string& token() const { return server->token(); }
    std::uint16_t start();

    // One raw request; the whole response.
    std::string request(const std::string& raw);

    // A POST "/upload" with the token, a file name header (already encoded) and `body`.
    std::string upload(const std::string& encodedName, const std::string& body, const std::string& extra = "");

    // Names in the folder, sorted.
    std::vector<std::string> files() const;

private:
    void create(std::filesystem::path folder, WebReceiveServer::Timeouts timeouts, std::string page);
};

}  // namespace velmo::test
