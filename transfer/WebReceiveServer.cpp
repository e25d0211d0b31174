#include "transfer/WebReceiveServer.h"

#include <asio/experimental/as_tuple.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>
#include <algorithm>
#include <set>

#include "platform/Random.h"
#include "transfer/HttpText.h"
#include "transfer/ShareError.h"
#include "transfer/UploadHeaders.h"
#include "transfer/WebReceiveServerImpl.h"

namespace velmo {

using asio::experimental::as_tuple;
using asio::use_awaitable;
using asio::ip::tcp;

namespace {

constexpr std::string_view textType = "text/plain; charset=utf-8";
constexpr std::string_view expiredText = "This link has expired. Scan the code on the computer again.";
constexpr std::string_view headTooLargeText = "Request header fields too large";

}  // namespace

bool bodyStillArriving(const HttpRequest& request) {
    if (request.header("transfer-encoding")) return true;
    const auto* length = request.header("content-length");
    if (!length) return false;
    const auto parsed = HttpText::parseInt64(*length);
    // An unreadable length may still be followed by a body: treat it as arriving.
    return !parsed || *parsed > static_cast<std::int64_t>(request.leftover.size());
}

// --- WebReceiveServer -------------------------------------------------------------------

WebReceiveServer::WebReceiveServer(std::string page, std::filesystem::path folder, std::string token,
                                   std::optional<std::string> bindAddress,
                                   std::shared_ptr<ReceiveSessionBudget> sessionBudget, Timeouts timeouts,
                                   asio::any_io_executor executor)
    : impl_(std::make_shared<Impl>(std::move(page), std::move(folder), std::move(token), std::move(bindAddress),
                                   std::move(sessionBudget), timeouts, std::move(executor))) {}

WebReceiveServer::~WebReceiveServer() { impl_->stop(); }

std::string WebReceiveServer::makeToken() {
    return toHex(randomBytes(16));
}

const std::string& WebReceiveServer::token() const { return impl_->token; }
void WebReceiveServer::setOnEvent(EventHandler handler) { impl_->setOnEvent(std::move(handler)); }
void WebReceiveServer::setAfterSave(std::function<void(const Uuid&)> hook) { impl_->setAfterSave(std::move(hook)); }
asio::awaitable<std::uint16_t> WebReceiveServer::start() { return impl_->start(); }
WebReceiveServer::SettledUploads WebReceiveServer::stop() { return impl_->stop(); }
void WebReceiveServer::whenClosed(std::function<void()> done) { impl_->whenClosed(std::move(done)); }
void WebReceiveServer::setFolder(std::filesystem::path folder) { impl_->setFolder(std::move(folder)); }
bool WebReceiveServer::cancelUpload(const Uuid& id) { return impl_->cancelUpload(id); }

// --- Impl ------------------------------------------------------------------------------

WebReceiveServer::Impl::Impl(std::string page, std::filesystem::path folder, std::string token,
                             std::optional<std::string> bindAddress,
                             std::shared_ptr<ReceiveSessionBudget> sessionBudget, Timeouts timeouts,
                             asio::any_io_executor executor)
    : token(std::move(token)),
      page_(std::move(page)),
      bindAddress_(std::move(bindAddress)),
      sessionBudget_(std::move(sessionBudget)),
      timeouts_(timeouts),
      executor_(executor),
      strand_(asio::make_strand(executor)),
      folder_(std::move(folder)) {}

asio::awaitable<std::uint16_t> WebReceiveServer::Impl::start() {
    {
        std::lock_guard guard(lock);
        if (stopped_ || listener_) throw ShareError::connectionClosed();
    }
    const auto address = bindAddress_ ? asio::ip::make_address_v4(*bindAddress_) : asio::ip::address_v4::any();
    const tcp::endpoint endpoint(address, 0);
    auto acceptor = std::make_shared<tcp::acceptor>(strand_);
    acceptor->open(endpoint.protocol());  // no address reuse: the platform's defaults
    acceptor->bind(endpoint);
    acceptor->listen();
    const auto port = acceptor->local_endpoint().port();
    {
        std::lock_guard guard(lock);
        if (stopped_ || listener_) {
            acceptor->close();
            throw ShareError::connectionClosed();
        }
        listener_ = acceptor;
    }
    asio::co_spawn(strand_, acceptLoop(acceptor), asio::detached);
    co_return port;
}

WebReceiveServer::SettledUploads WebReceiveServer::Impl::stop() {
    SettledUploads settled;
    {
        std::lock_guard guard(lock);
        stopped_ = true;
        if (listener_) {
            asio::post(strand_, [listener = std::move(listener_)] {
                std::error_code ignored;
                listener->close(ignored);
            });
            listener_.reset();
        }
        // A running upload stops reading but still gives its answer, so that no browser takes the
        // cut for a network fault and sends the file again; every other connection ends at once.
        // Entries stay until their own tasks end.
        std::set<const WebReceiveConnection*> answering;
        for (auto& [id, upload] : uploads_) {
            if (upload.stage == Upload::Stage::receiving) upload.stage = Upload::Stage::stopped;
            answering.insert(upload.connection);
        }
        for (auto& [key, client] : clients_) {
            if (answering.count(client.connection.get())) {
                client.connection->interrupt();
            } else {
                client.connection->cancel();
            }
        }
        settled = settled_;
    }
    notifyIfClosed();
    return settled;
}

void WebReceiveServer::Impl::whenClosed(std::function<void()> done) {
    {
        std::lock_guard guard(lock);
        onClosed_.push_back(std::move(done));
    }
    notifyIfClosed();
}

void WebReceiveServer::Impl::notifyIfClosed() {
    std::vector<std::function<void()>> waiting;
    {
        std::lock_guard guard(lock);
        if (!stopped_ || serving_ > 0) return;
        waiting.swap(onClosed_);
    }
    for (auto& done : waiting) done();
}

void WebReceiveServer::Impl::setFolder(std::filesystem::path folder) {
    std::lock_guard guard(lock);
    folder_ = std::move(folder);
}

bool WebReceiveServer::Impl::cancelUpload(const Uuid& id) {
    std::lock_guard guard(lock);
    auto found = uploads_.find(id);
    if (found == uploads_.end() || found->second.stage != Upload::Stage::receiving) return false;
    found->second.stage = Upload::Stage::cancelled;
    found->second.connection->interrupt();
    return true;
}

WebReceiveServer::Impl::Failure WebReceiveServer::Impl::settleFailure(const Uuid& id, std::string message,
                                                                      bool cutShort) {
    std::lock_guard guard(lock);
    auto& upload = uploads_.at(id);
    const bool cancelled = upload.stage == Upload::Stage::cancelled;
    // A real failure that happened as the session closed keeps its own answer and reason.
    const bool stopped = upload.stage == Upload::Stage::stopped && cutShort;
    Failure failure{cancelled ? std::string("Cancelled") : std::move(message), cancelled || stopped};
    upload.stage = Upload::Stage::settled;
    // Told by stop() too: a failure whose event has not arrived yet is not taken for the stop.
    settled_.insert_or_assign(id, Failed{id, failure.message});
    return failure;
}

bool WebReceiveServer::Impl::admitLocked() {
    const auto closing = [](const auto& entry) { return entry.second.connection->answered(); };
    const auto live = clients_.size() - static_cast<std::size_t>(std::count_if(clients_.begin(), clients_.end(), closing));
    if (live >= maxConnections) {
        const auto idle = std::find_if(clients_.begin(), clients_.end(),
                                       [&](const auto& entry) { return !entry.second.admitted && !closing(entry); });
        if (idle == clients_.end()) return false;
        idle->second.connection->cancel();
        clients_.erase(idle);  // its task's own removal then finds nothing
    }
    // A closing one ends within the drain time; past this many, the oldest goes at once.
    if (clients_.size() >= 2 * maxConnections) {
        if (const auto oldest = std::find_if(clients_.begin(), clients_.end(), closing); oldest != clients_.end()) {
            oldest->second.connection->cancel();
            clients_.erase(oldest);
        }
    }
    return true;
}

std::filesystem::path WebReceiveServer::Impl::currentFolder() {
    std::lock_guard guard(lock);
    return folder_;
}

void WebReceiveServer::Impl::setOnEvent(EventHandler handler) {
    std::lock_guard guard(handlerLock_);
    onEvent_ = std::move(handler);
}

void WebReceiveServer::Impl::setAfterSave(std::function<void(const Uuid&)> hook) {
    std::lock_guard guard(handlerLock_);
    afterSave_ = std::move(hook);
}

void WebReceiveServer::Impl::afterSave(const Uuid& id) {
    std::function<void(const Uuid&)> hook;
    {
        std::lock_guard guard(handlerLock_);
        hook = afterSave_;
    }
    if (hook) hook(id);
}

void WebReceiveServer::Impl::emit(const Event& event) {
    EventHandler handler;
    {
        std::lock_guard guard(handlerLock_);
        handler = onEvent_;
    }
    if (!handler) return;
    try {
        handler(event);
    } catch (...) {
        // The owner's failure must not take the upload down with it.
    }
}

asio::awaitable<void> WebReceiveServer::Impl::acceptLoop(std::shared_ptr<tcp::acceptor> acceptor) {
    auto self = shared_from_this();
    for (;;) {
        tcp::socket socket(asio::make_strand(executor_));
        auto [error] = co_await acceptor->async_accept(socket, as_tuple(use_awaitable));
        if (error == asio::error::operation_aborted || !acceptor->is_open()) co_return;
        if (error) {
            // Out of descriptors or memory, or an aborted handshake: pause, keep serving.
            asio::steady_timer pause(strand_, timeouts_.acceptRetry);
            co_await pause.async_wait(as_tuple(use_awaitable));
            continue;
        }
        auto connection = std::make_shared<WebReceiveConnection>(std::move(socket), timeouts_);
        std::uint64_t key = 0;
        {
            std::lock_guard guard(lock);
            if (stopped_ || !admitLocked()) {
                connection->close();  // at once, without a reply
                continue;
            }
            key = nextClient_++;
            clients_.emplace(key, Client{connection});
            ++serving_;
        }
        asio::co_spawn(connection->executor(), serve(connection, key), asio::detached);
    }
}

asio::awaitable<void> WebReceiveServer::Impl::serve(Connection connection, std::uint64_t key) {
    auto self = shared_from_this();
    try {
        const auto request = co_await connection->readRequestHead();
        if (request) {
            co_await route(*connection, key, *request);
        } else if (connection->headTooLarge()) {
            // Told, so a browser shows why; the rest of the head is read and dropped.
            co_await connection->respond(431, textType, toBytes(headTooLargeText));
            co_await connection->drain();
        }
    } catch (const std::exception&) {
        // Nothing more can be said to this client.
    }
    connection->close();
    {
        std::lock_guard guard(lock);
        clients_.erase(key);
        --serving_;
    }
    notifyIfClosed();
}

asio::awaitable<void> WebReceiveServer::Impl::route(WebReceiveConnection& connection, std::uint64_t key,
                                                    const HttpRequest& request) {
    const auto t = request.query.find("t");
    if (t == request.query.end() || !HttpText::constantTimeEqual(t->second, token)) {
        co_await answer(connection, request, 403, textType, expiredText);
        co_return;
    }
    {
        std::lock_guard guard(lock);
        auto client = clients_.find(key);
        if (client != clients_.end()) client->second.admitted = true;
    }
    if (request.method == "GET" && (request.path == "/" || request.path == "/index.html")) {
        co_await answer(connection, request, 200, "text/html; charset=utf-8", page_);
    } else if (request.method == "POST" && request.path == "/upload") {
        co_await receiveUpload(connection, request);
    } else {
        co_await answer(connection, request, 404, textType, "Not found");
    }
}

asio::awaitable<void> WebReceiveServer::Impl::answer(WebReceiveConnection& connection, const HttpRequest& request,
                                                     int status, std::string_view contentType,
                                                     std::string_view body) {
    co_await connection.respond(status, contentType, toBytes(body));
    if (bodyStillArriving(request)) co_await connection.drain();
}

}  // namespace velmo
