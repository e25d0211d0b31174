// The shared state of a WebReceiveServer, kept alive by every task that still uses it.
#pragma once
#include <asio/ip/tcp.hpp>
#include <asio/strand.hpp>
#include <map>
#include <mutex>
#include <vector>

#include "transfer/WebReceiveConnection.h"
#include "transfer/WebReceiveServer.h"

namespace velmo {

class WebReceiveServer::Impl : public std::enable_shared_from_this<Impl> {
public:
    Impl(std::string page, std::filesystem::path folder, std::string token,
         std::optional<std::string> bindAddress, std::shared_ptr<ReceiveSessionBudget> sessionBudget,
         Timeouts timeouts, asio::any_io_executor executor);

    const std::string token;

    asio::awaitable<std::uint16_t> start();
    SettledUploads stop();
    void whenClosed(std::function<void()> done);
    void setFolder(std::filesystem::path folder);
    void setOnEvent(EventHandler handler);
    void setAfterSave(std::function<void(const Uuid&)> hook);
    bool cancelUpload(const Uuid& id);

private:
    using Connection = std::shared_ptr<WebReceiveConnection>;

    asio::awaitable<void> acceptLoop(std::shared_ptr<asio::ip::tcp::acceptor> acceptor);
    asio::awaitable<void> serve(Connection connection, std::uint64_t key);
    asio::awaitable<void> route(WebReceiveConnection& connection, std::uint64_t key, const HttpRequest& request);
    asio::awaitable<void> answer(WebReceiveConnection& connection, const HttpRequest& request, int status,
                                 std::string_view contentType, std::string_view body);
    // The upload handler (WebReceiveUpload.cpp).
    asio::awaitable<void> receiveUpload(WebReceiveConnection& connection, const HttpRequest& request);

    std::filesystem::path currentFolder();
    // Makes room for a new connection, under `lock`: when every place is taken, the oldest
    // connection that has not shown the token is closed; false when there is none.
    bool admitLocked();
    // Runs the whenClosed() callbacks once stopped with no connection left; takes `lock`.
    void notifyIfClosed();
    // How a failed upload ends: the reason its Failed event gives, and whether it was stopped
    // on the computer (by its cancel or the session's end) and so gets the final answer.
    struct Failure {
        std::string message;
        bool stoppedHere = false;
    };
    // The upload failed with `message` (`cutShort`: its connection yielded nothing more): its
    // outcome is settled, and a later cancel no longer changes it. A cancelled upload's reason
    // is "Cancelled".
    Failure settleFailure(const Uuid& id, std::string message, bool cutShort);
    void emit(const Event& event);
    void afterSave(const Uuid& id);

    const std::string page_;
    const std::optional<std::string> bindAddress_;
    const std::shared_ptr<ReceiveSessionBudget> sessionBudget_;
    const Timeouts timeouts_;
    const asio::any_io_executor executor_;
    asio::strand<asio::any_io_executor> strand_;  // the listener's

    // Guards folder_, listener_, stopped_, clients_, serving_, onClosed_, uploads_ and
    // settled_. Taken before the budget's lock.
    std::mutex lock;
    std::filesystem::path folder_;
    std::shared_ptr<asio::ip::tcp::acceptor> listener_;
    bool stopped_ = false;
    // Open connections by arrival order, and whether each has shown the token in a whole head.
    // One that has been answered is only closing and holds no place.
    struct Client {
        Connection connection;
        bool admitted = false;
    };
    std::map<std::uint64_t, Client> clients_;
    std::uint64_t nextClient_ = 0;
    // Connection tasks still running, evicted ones included, and who waits for them to end.
    std::size_t serving_ = 0;
    std::vector<std::function<void()>> onClosed_;
    // The running uploads by id: still receiving, cancelled by the user, cut by stop(), or
    // settled (saved or failed), after which a cancel changes nothing.
    struct Upload {
        enum class Stage { receiving, cancelled, stopped, settled };
        WebReceiveConnection* connection;
        Stage stage = Stage::receiving;
    };
    std::map<Uuid, Upload> uploads_;
    // Every upload that has ended so far; the session budget's file count keeps it small.
    SettledUploads settled_;

    std::mutex handlerLock_;
    EventHandler onEvent_;
    std::function<void(const Uuid&)> afterSave_;
};

// True when the request announced a body that has not all arrived yet.
bool bodyStillArriving(const HttpRequest& request);

}  // namespace velmo
