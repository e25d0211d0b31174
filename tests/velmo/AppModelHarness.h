// A model over fake engine parts, with a settings file of its own and short time limits.
#pragma once
#include <asio/awaitable.hpp>

#include <QSettings>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "support/TempFolder.h"
#include "transfer/ByteStream.h"
#include "velmo/model/AppModel.h"

namespace velmo::test {

// The one QApplication of the test program (offscreen).
void ensureApplication();
// Runs the GUI event loop until `condition` holds or `limit` passes; returns whether it held.
bool pumpUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = std::chrono::seconds(5));
void pumpFor(std::chrono::milliseconds duration);

// What the fakes were asked, in order.
class CallLog {
public:
    void add(std::string entry);
    std::vector<std::string> entries() const;
    bool contains(const std::string& entry) const;

private:
    mutable std::mutex lock_;
    std::vector<std::string> entries_;
};

class FakeStream : public ByteStream {
public:
    asio::any_io_executor executor() const override;
    asio::awaitable<Bytes> readExactly(std::size_t n) override;
    asio::awaitable<void> write(ByteView bytes) override;
    void close() override { closes++; }
    void abort() override { aborted = true; close(); }
    std::string remoteAddress() const override { return from; }
    bool isClosed() const { return closes > 0; }
    std::atomic<int> closes{0};
    std::atomic<bool> aborted{false};  // cut without a goodbye
    std::atomic<bool> gone{false};  // the phone leaves while its offer is asked or waits
    std::atomic<bool> silent{false};  // the same, its link timing out
    std::string from;
};

class FakeDiscovery : public PhoneDiscovery {
public:
    explicit FakeDiscovery(CallLog& log) : log_(log) {}
    void setCallbacks(std::function<void(std::vector<QuickSharePhone>)> onPhones,
                      std::function<void(QuickSharePhone)> onQRMatch, std::function<void(std::string)> onError) override;
    void ignore(std::set<std::string> serviceNames) override;
    void start() override { log_.add("discovery.start"); }
    void stop() override { log_.add("discovery.stop"); }
    void setQRSession(std::optional<QRCodeSession> session) override;

    std::function<void(std::vector<QuickSharePhone>)> onPhones;
    std::function<void(QuickSharePhone)> onQRMatch;
    std::function<void(std::string)> onError;
    std::optional<QRCodeSession> session;

private:
    CallLog& log_;
};

class FakeAdvertiser : public ComputerAdvertiser {
public:
    explicit FakeAdvertiser(CallLog& log) : log_(log) {}
    std::string serviceName() const override { return "OWNSERVICENAME"; }
    void setOnError(std::function<void(std::string)> onError) override { this->onError = std::move(onError); }
    void setOnConnection(std::function<void(std::shared_ptr<ByteStream>)> onConnection) override {
        pending_ = std::move(onConnection);
    }
    void start(const std::string& deviceName) override;
    void stop() override;

    // A phone connects to the running listener, from `from` or else from an address of its own.
    std::shared_ptr<FakeStream> connect(const std::string& from = {});

    std::function<void(std::string)> onError;
    std::function<void(std::shared_ptr<ByteStream>)> listener;  // what the last start took
    bool failStart = false;
    int starts = 0;

private:
    CallLog& log_;
    std::function<void(std::shared_ptr<ByteStream>)> pending_;
    int phones_ = 0;
};

class FakePrompt : public PromptPresenter {
public:
    void present(AppModel&) override { presented++; }
    void dismiss() override { dismissed++; }
    int presented = 0;
    int dismissed = 0;
};

class FakeSharingService : public SharingService {
public:
    bool isAvailable() const override { return available; }
    bool canPerform(const std::vector<std::filesystem::path>&) const override { return performable; }
    void perform(const std::vector<std::filesystem::path>& files, std::shared_ptr<AirDropHandoff> handoff) override {
        performed = files;
        delegate = std::move(handoff);
    }
    bool available = true;
    bool performable = true;
    std::vector<std::filesystem::path> performed;
    std::shared_ptr<AirDropHandoff> delegate;
};

// How the fake receive flow behaves for every connection.
struct ReceiveScript {
    QuickShareOffer offer{"Pixel", "1234", {{"photo.jpg", 10}}};
    std::vector<std::filesystem::path> saved{"/downloads/photo.jpg"};
    std::exception_ptr errorAfterAccept;  // thrown instead of saving
    std::vector<std::filesystem::path> savedBeforeError;  // saved before that error
    bool holdBeforeOffer = false;         // waits for the cancel signal first
    std::exception_ptr errorBeforeOffer;  // thrown before the offer is read
    std::atomic<bool> holdAsk{false};     // the offer read, the question waits to be posted
    std::atomic<int> offersRead{0};
    bool holdAfterAccept = false;         // waits for the cancel signal once accepted

    std::atomic<int> started{0};
    std::atomic<int> ended{0};
    std::mutex lock;
    std::vector<bool> decisions;
    std::shared_ptr<QuickShareReceiveAuthorization> lastAuthorization;
};

// How the fake send flow behaves for every phone.
struct SendScript {
    std::string pin = "5678";
    std::exception_ptr errorAfterConfirm;
    bool holdAfterConfirm = false;  // waits for the cancel signal before sending

    std::atomic<int> started{0};
    std::atomic<int> confirmations{0};
    std::mutex lock;
    std::vector<bool> qrGiven;
    std::vector<bool> answers;
};

struct HarnessOptions {
    std::optional<std::string> sharingMode = "askEachTime";
    bool realEngine = false;  // the engine's own receive and send flows instead of the scripts
    AppModelTimeouts timeouts{std::chrono::milliseconds(300), std::chrono::milliseconds(300),
                              std::chrono::milliseconds(100)};
};

class AppModelHarness {
public:
    explicit AppModelHarness(HarnessOptions options = {},
                             const std::function<void(QSettings&)>& presets = {});
    ~AppModelHarness();

    AppModel& operator*() { return *model; }
    AppModel* operator->() { return model.get(); }

    // A discovered phone; with `matchQR` its endpoint info carries the open QR send's record.
    QuickSharePhone phone(const std::string& id, const std::string& name, bool matchQR = false) const;
    // A file of `size` bytes in the temporary folder.
    std::filesystem::path file(const std::string& name, std::size_t size = 3) const;
    // The model's status text or "".
    std::string status() const;
    const TransferItem& row(std::size_t index = 0) const { return model->transfers().at(index); }

    TempFolder temp;
    CallLog log;
    std::shared_ptr<ReceiveScript> receive = std::make_shared<ReceiveScript>();
    std::shared_ptr<SendScript> sendScript = std::make_shared<SendScript>();
    // When set, the stream a send to a phone uses; otherwise a new FakeStream.
    std::shared_ptr<std::function<std::shared_ptr<ByteStream>()>> streamForPhone =
        std::make_shared<std::function<std::shared_ptr<ByteStream>()>>();
    std::shared_ptr<std::vector<std::shared_ptr<FakeStream>>> opened =
        std::make_shared<std::vector<std::shared_ptr<FakeStream>>>();
    std::shared_ptr<std::optional<std::string>> address = std::make_shared<std::optional<std::string>>("127.0.0.1");
    std::shared_ptr<std::vector<std::filesystem::path>> chooserResult =
        std::make_shared<std::vector<std::filesystem::path>>();
    std::shared_ptr<int> chooserCalls = std::make_shared<int>(0);
    // When set, runs while the file chooser is open (the real one runs an event loop).
    std::shared_ptr<std::function<void()>> whileChoosing = std::make_shared<std::function<void()>>();
    std::shared_ptr<bool> replacing = std::make_shared<bool>(false);
    // When set, the web servers' hook between saving an upload and announcing it.
    std::shared_ptr<std::function<void(const Uuid&)>> afterWebSave =
        std::make_shared<std::function<void(const Uuid&)>>();
    std::shared_ptr<int> updateChecks = std::make_shared<int>(0);

    FakeDiscovery* discovery = nullptr;
    FakeAdvertiser* advertiser = nullptr;
    FakePrompt* prompt = nullptr;
    FakeSharingService* sharing = nullptr;
    std::unique_ptr<AppModel> model;
};

}  // namespace velmo::test
