// What the application model drives: discovery, the advertiser, the receive and send flows,
// the upload server, the prompt, AirDrop, the file choosers and the update controller.
// standard() gives the real ones; tests hand in fakes and short time limits.
#pragma once
#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/CancelSignal.h"
#include "quickshare/QRCodeSession.h"
#include "quickshare/QuickShareOffer.h"
#include "quickshare/QuickSharePhone.h"
#include "quickshare/QuickShareSender.h"
#include "velmo/model/PromptPresenter.h"
#include "velmo/model/SharingService.h"

namespace velmo {

class ByteStream;
class QuickShareReceiveAuthorization;
class ReceiveSessionBudget;
class WebReceiveServer;

// Every callback may run on any thread but the GUI's.
class PhoneDiscovery {
public:
    virtual ~PhoneDiscovery() = default;
    virtual void setCallbacks(std::function<void(std::vector<QuickSharePhone>)> onPhones,
                              std::function<void(QuickSharePhone)> onQRMatch,
                              std::function<void(std::string)> onError) = 0;
    virtual void ignore(std::set<std::string> serviceNames) = 0;
    virtual void start() = 0;
    virtual void stop() = 0;
    virtual void setQRSession(std::optional<QRCodeSession> session) = 0;
};

class ComputerAdvertiser {
public:
    virtual ~ComputerAdvertiser() = default;
    virtual std::string serviceName() const = 0;
    virtual void setOnError(std::function<void(std::string)> onError) = 0;
    // Taken by the next start().
    virtual void setOnConnection(std::function<void(std::shared_ptr<ByteStream>)> onConnection) = 0;
    // Restarts under `deviceName`; throws when it cannot listen.
    virtual void start(const std::string& deviceName) = 0;
    virtual void stop() = 0;
};

struct AppModelTimeouts {
    std::chrono::milliseconds prompt{60'000};         // an unanswered offer is declined
    std::chrono::milliseconds peerCheck{30'000};      // an unanswered code comparison is a mismatch
    std::chrono::milliseconds renameDebounce{800};    // quiet time before advertising a new name
};

struct AppModelServices {
    using Decide = std::function<asio::awaitable<bool>(QuickShareOffer)>;
    using Progress = std::function<void(std::int64_t, std::int64_t)>;
    // A received file once it has its final name.
    using Saved = std::function<void(const std::filesystem::path&)>;
    using Receive = std::function<asio::awaitable<std::vector<std::filesystem::path>>(
        std::shared_ptr<ByteStream> stream, std::filesystem::path folder,
        std::shared_ptr<QuickShareReceiveAuthorization> authorization, Decide decide, Progress progress,
        CancelSignal cancel, Saved saved)>;
    using Send = std::function<asio::awaitable<void>(
        std::vector<std::filesystem::path> files, std::shared_ptr<ByteStream> to, std::string senderName,
        std::optional<QRCodeSession> qr, QuickShareSender::ConfirmPeer confirmPeer,
        QuickShareSender::StatusCallback status, Progress progress, CancelSignal cancel)>;
    using MakeWebServer = std::function<std::shared_ptr<WebReceiveServer>(
        std::string page, std::filesystem::path folder, std::string token, std::optional<std::string> bindAddress,
        std::shared_ptr<ReceiveSessionBudget> budget)>;

    asio::any_io_executor executor;  // where flows run
    std::unique_ptr<PhoneDiscovery> discovery;
    std::unique_ptr<ComputerAdvertiser> advertiser;
    std::unique_ptr<PromptPresenter> prompt;
    std::unique_ptr<SharingService> sharing;
    Receive receive;
    Send send;
    std::function<std::shared_ptr<ByteStream>(const QuickSharePhone&)> openStream;
    std::function<std::optional<std::string>()> localAddress;
    std::function<std::string(const std::string& deviceName)> uploadPage;
    MakeWebServer makeWebServer;
    // The open-files chooser ("Add"); empty when cancelled.
    std::function<std::vector<std::filesystem::path>()> chooseFiles;
    // The folder chooser starting at the given folder; none when cancelled.
    std::function<std::optional<std::filesystem::path>(const std::filesystem::path&)> chooseFolder;
    // The update controller: whether it is replacing the application, and its daily check.
    std::function<bool()> isReplacingApp;
    std::function<void()> checkForUpdatesIfDue;
    AppModelTimeouts timeouts;

    // Avahi discovery (phones only) and advertiser (a rename after a name collision is added to
    // what discovery ignores), the engine's flows, the upload server on
    // the shared runtime, Qt's file dialogs, no AirDrop and no update controller yet.
    static AppModelServices standard();
};

}  // namespace velmo
