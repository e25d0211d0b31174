#include "WebReceiveTestServer.h"

#include <asio/co_spawn.hpp>
#include <asio/use_future.hpp>

#include <algorithm>

namespace velmo::test {

void EventLog::add(const WebReceiveServer::Event& event) {
    std::lock_guard guard(mutex_);
    events_.push_back(event);
    changed_.notify_all();
}

std::vector<WebReceiveServer::Event> EventLog::snapshot() {
    std::lock_guard guard(mutex_);
    return events_;
}

bool EventLog::waitForCount(std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock guard(mutex_);
    return changed_.wait_for(guard, timeout, [&] { return events_.size() >= count; });
}

bool hasPartFile(const std::filesystem::path& folder) {
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.path().filename().string().rfind(".velmo-", 0) == 0) return true;
    }
    return false;
}

std::string kinds(const std::vector<WebReceiveServer::Event>& events) {
    static const char* names[] = {"started", "progress", "finished", "failed"};
    std::string out;
    for (const auto& e : events) {
        if (!out.empty()) out += ' ';
        out += names[e.index()];
    }
    return out;
}

WebReceiveServer::Timeouts fastTimeouts() {
    WebReceiveServer::Timeouts t;
    t.idle = std::chrono::milliseconds(2000);
    t.head = std::chrono::milliseconds(4000);
    t.drain = std::chrono::milliseconds(1000);
    t.acceptRetry = std::chrono::milliseconds(20);
    return t;
}

WebReceiveTestServer::WebReceiveTestServer(WebReceiveServer::Timeouts timeouts, std::string page) {
    create(temp.path(), timeouts, std::move(page));
}

WebReceiveTestServer::WebReceiveTestServer(std::filesystem::path folder, WebReceiveServer::Timeouts timeouts) {
    create(std::move(folder), timeouts, "<html>page</html>");
}

void WebReceiveTestServer::create(std::filesystem::path folder, WebReceiveServer::Timeouts timeouts,
                                  std::string page) {
    server = std::make_unique<WebReceiveServer>(std::move(page), std::move(folder), WebReceiveServer::makeToken(),
                                                "127.0.0.1", budget, timeouts);
    server->setOnEvent([log = events](const WebReceiveServer::Event& e) { log->add(e); });
}

std::uint16_t WebReceiveTestServer::start() {
    port = asio::co_spawn(Runtime::shared().executor(), server->start(), asio::use_future).get();
    return port;
}

std::string WebReceiveTestServer::request(const std::string& raw) {
    LoopbackClient client(port);
    client.send(raw);
    return client.readAll();
}

std::string WebReceiveTestServer::upload(const std::string& encodedName, const std::string& body,
                                         const std::string& extra) {
    return request("POST /upload?t=" + token() + " HTTP/1.1\r\nHost: x\r\nX-File-Name: " + encodedName +
                   "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extra + "\r\n" + body);
}

std::vector<std::string> WebReceiveTestServer::files() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(temp.path())) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace velmo::test
