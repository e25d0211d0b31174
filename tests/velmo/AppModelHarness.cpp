#include "velmo/AppModelHarness.h"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include <QApplication>
#include <QElapsedTimer>
#include <fstream>

#include "platform/Runtime.h"
#include "quickshare/QuickShareError.h"
#include "quickshare/QuickShareReceiver.h"
#include "quickshare/QuickShareSender.h"
#include "transfer/ShareError.h"
#include "transfer/WebReceiveServer.h"

namespace velmo::test {

namespace {

asio::awaitable<void> sleepFor(std::chrono::milliseconds duration) {
    asio::steady_timer timer(co_await asio::this_coro::executor, duration);
    co_await timer.async_wait(asio::use_awaitable);
}

asio::awaitable<void> waitForCancel(CancelSignal cancel) {
    while (!cancel.isCancelled()) co_await sleepFor(std::chrono::milliseconds(2));
    throw Cancelled();
}

asio::awaitable<void> keepAnswer(asio::awaitable<bool> asking, std::shared_ptr<std::atomic<int>> answer) {
    *answer = (co_await std::move(asking)) ? 1 : 0;
}

asio::awaitable<std::vector<std::filesystem::path>> fakeReceive(
    std::shared_ptr<ReceiveScript> script, std::shared_ptr<FakeStream> stream,
    std::shared_ptr<QuickShareReceiveAuthorization> authorization,
    AppModelServices::Decide decide, AppModelServices::Progress progress, CancelSignal cancel,
    AppModelServices::Saved saved) {
    script->started++;
    struct Ended {
        ReceiveScript& s;
        ~Ended() { s.ended++; }
    } ended{*script};
    {
        std::lock_guard guard(script->lock);
        script->lastAuthorization = authorization;
    }
    if (script->holdBeforeOffer) co_await waitForCancel(cancel);
    if (script->errorBeforeOffer) std::rethrow_exception(script->errorBeforeOffer);
    auto asking = decide(script->offer);
    script->offersRead++;
    while (script->holdAsk) co_await sleepFor(std::chrono::milliseconds(2));
    // As the engine's flow, it watches the phone while the user decides.
    auto answer = std::make_shared<std::atomic<int>>(-1);
    asio::co_spawn(co_await asio::this_coro::executor, keepAnswer(std::move(asking), answer), asio::detached);
    for (; *answer < 0; co_await sleepFor(std::chrono::milliseconds(2))) {
        if (stream && stream->gone) throw QuickShareError::cancelledByPhone();
        if (stream && stream->silent) throw ShareError::connectionTimedOut();
    }
    const bool accepted = *answer == 1;
    {
        std::lock_guard guard(script->lock);
        script->decisions.push_back(accepted);
    }
    if (!accepted) co_return std::vector<std::filesystem::path>{};
    cancel.throwIfCancelled();
    if (authorization && !authorization->isActive()) throw Cancelled();
    if (script->holdAfterAccept) co_await waitForCancel(cancel);
    progress(0, script->offer.totalSize());
    progress(script->offer.totalSize(), script->offer.totalSize());
    if (script->errorAfterAccept) {
        for (const auto& file : script->savedBeforeError) saved(file);
        std::rethrow_exception(script->errorAfterAccept);
    }
    for (const auto& file : script->saved) saved(file);
    co_return script->saved;
}

asio::awaitable<void> fakeSend(std::shared_ptr<SendScript> script, std::optional<QRCodeSession> qr,
                               QuickShareSender::ConfirmPeer confirmPeer, QuickShareSender::StatusCallback status,
                               AppModelServices::Progress progress, CancelSignal cancel) {
    script->started++;
    {
        std::lock_guard guard(script->lock);
        script->qrGiven.push_back(qr.has_value());
    }
    status(QuickShareSender::Status::connecting());
    status(QuickShareSender::Status::waitingForAccept(script->pin));
    if (confirmPeer) {
        script->confirmations++;
        bool ok = co_await confirmPeer(script->pin);
        {
            std::lock_guard guard(script->lock);
            script->answers.push_back(ok);
        }
        if (!ok) throw Cancelled();
    }
    if (script->holdAfterConfirm) co_await waitForCancel(cancel);
    if (script->errorAfterConfirm) std::rethrow_exception(script->errorAfterConfirm);
    status(QuickShareSender::Status::sending());
    progress(0, 6);
    progress(6, 6);
}

}  // namespace

void ensureApplication() {
    if (QCoreApplication::instance()) return;
    static int argc = 1;
    static char name[] = "velmo_ui_tests";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);
}

bool pumpUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > limit.count()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void pumpFor(std::chrono::milliseconds duration) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < duration.count()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void CallLog::add(std::string entry) {
    std::lock_guard guard(lock_);
    entries_.push_back(std::move(entry));
}

std::vector<std::string> CallLog::entries() const {
    std::lock_guard guard(lock_);
    return entries_;
}

bool CallLog::contains(const std::string& entry) const {
    auto all = entries();
    return std::find(all.begin(), all.end(), entry) != all.end();
}

asio::any_io_executor FakeStream::executor() const { return Runtime::shared().executor(); }

asio::awaitable<Bytes> FakeStream::readExactly(std::size_t) {
    throw ShareError::connectionClosed();
    co_return Bytes{};
}

asio::awaitable<void> FakeStream::write(ByteView) { co_return; }

void FakeDiscovery::setCallbacks(std::function<void(std::vector<QuickSharePhone>)> phones,
                                 std::function<void(QuickSharePhone)> match, std::function<void(std::string)> error) {
    log_.add("discovery.callbacks");
    onPhones = std::move(phones);
    onQRMatch = std::move(match);
    onError = std::move(error);
}

void FakeDiscovery::ignore(std::set<std::string> serviceNames) {
    log_.add("discovery.ignore " + (serviceNames.empty() ? std::string() : *serviceNames.begin()));
}

void FakeDiscovery::setQRSession(std::optional<QRCodeSession> s) {
    log_.add(s ? "discovery.qr set" : "discovery.qr none");
    session = std::move(s);
}

void FakeAdvertiser::start(const std::string& deviceName) {
    log_.add("advertiser.start " + deviceName);
    if (failStart) throw std::runtime_error("Address already in use");
    starts++;
    listener = pending_;
}

void FakeAdvertiser::stop() {
    log_.add("advertiser.stop");
    listener = nullptr;
}

std::shared_ptr<FakeStream> FakeAdvertiser::connect(const std::string& from) {
    auto stream = std::make_shared<FakeStream>();
    stream->from = from.empty() ? "192.0.2." + std::to_string(++phones_ % 250 + 1) : from;
    if (listener) {
        // The listener calls back from its own thread.
        auto callback = listener;
        asio::post(Runtime::shared().executor(), [callback, stream] { callback(stream); });
    }
    return stream;
}

AppModelHarness::AppModelHarness(HarnessOptions options, const std::function<void(QSettings&)>& presets) {
    ensureApplication();
    auto store = Settings::iniStore(temp / "Velmo.conf");
    if (options.sharingMode) store->setValue("sharingConsentMode", QString::fromStdString(*options.sharingMode));
    store->setValue("downloadFolder", QString::fromStdString(temp.path().string()));
    store->setValue("deviceName", "Test computer");
    if (presets) presets(*store);
    store->sync();

    AppModelServices services;
    services.executor = Runtime::shared().executor();
    auto discoveryFake = std::make_unique<FakeDiscovery>(log);
    auto advertiserFake = std::make_unique<FakeAdvertiser>(log);
    auto promptFake = std::make_unique<FakePrompt>();
    auto sharingFake = std::make_unique<FakeSharingService>();
    discovery = discoveryFake.get();
    advertiser = advertiserFake.get();
    prompt = promptFake.get();
    sharing = sharingFake.get();
    services.discovery = std::move(discoveryFake);
    services.advertiser = std::move(advertiserFake);
    services.prompt = std::move(promptFake);
    services.sharing = std::move(sharingFake);
    auto receiveScript = receive;
    // As the engine's flow does, a cancelled receive ends its connection (at once in the
    // handshake, after its goodbye otherwise).
    auto closers = std::make_shared<std::vector<CancelSignal::Registration>>();
    services.receive = [receiveScript, closers](std::shared_ptr<ByteStream> stream, std::filesystem::path,
                                                std::shared_ptr<QuickShareReceiveAuthorization> authorization,
                                                AppModelServices::Decide decide, AppModelServices::Progress progress,
                                                CancelSignal cancel, AppModelServices::Saved saved) {
        closers->push_back(cancel.onCancel([stream] { stream->close(); }));
        return fakeReceive(receiveScript, std::dynamic_pointer_cast<FakeStream>(stream), std::move(authorization),
                           std::move(decide), std::move(progress), std::move(cancel), std::move(saved));
    };
    auto sendFake = sendScript;
    services.send = [sendFake](std::vector<std::filesystem::path>, std::shared_ptr<ByteStream>, std::string,
                               std::optional<QRCodeSession> qr, QuickShareSender::ConfirmPeer confirm,
                               QuickShareSender::StatusCallback status, AppModelServices::Progress progress,
                               CancelSignal cancel) {
        return fakeSend(sendFake, std::move(qr), std::move(confirm), std::move(status), std::move(progress),
                        std::move(cancel));
    };
    if (options.realEngine) {
        services.receive = [](std::shared_ptr<ByteStream> stream, std::filesystem::path folder,
                              std::shared_ptr<QuickShareReceiveAuthorization> authorization,
                              AppModelServices::Decide decide, AppModelServices::Progress progress,
                              CancelSignal cancel, AppModelServices::Saved saved) {
            return QuickShareReceiver::receive(std::move(stream), std::move(folder), std::move(authorization),
                                               std::move(decide), std::move(progress), std::move(cancel), {},
                                               std::move(saved));
        };
        services.send = [](std::vector<std::filesystem::path> files, std::shared_ptr<ByteStream> to,
                           std::string senderName, std::optional<QRCodeSession> qr,
                           QuickShareSender::ConfirmPeer confirm, QuickShareSender::StatusCallback status,
                           AppModelServices::Progress progress, CancelSignal cancel) {
            return QuickShareSender::send(std::move(files), std::move(to), std::move(senderName), std::move(qr),
                                          std::move(confirm), std::move(status), std::move(progress),
                                          std::move(cancel));
        };
    }
    auto streams = opened;
    auto override = streamForPhone;
    services.openStream = [streams, override](const QuickSharePhone&) -> std::shared_ptr<ByteStream> {
        if (*override) return (*override)();
        auto stream = std::make_shared<FakeStream>();
        streams->push_back(stream);
        return stream;
    };
    auto addressValue = address;
    services.localAddress = [addressValue] { return *addressValue; };
    services.uploadPage = [](const std::string& name) { return "<html>" + name + "</html>"; };
    services.makeWebServer = [afterSave = afterWebSave](std::string page, std::filesystem::path folder,
                                                        std::string token, std::optional<std::string> bind,
                                                        std::shared_ptr<ReceiveSessionBudget> budget) {
        auto server = std::make_shared<WebReceiveServer>(std::move(page), std::move(folder), std::move(token),
                                                         std::move(bind), std::move(budget));
        if (*afterSave) server->setAfterSave(*afterSave);
        return server;
    };
    auto chosen = chooserResult;
    auto calls = chooserCalls;
    auto during = whileChoosing;
    services.chooseFiles = [chosen, calls, during] {
        ++*calls;
        if (*during) (*during)();
        return *chosen;
    };
    services.chooseFolder = [](const std::filesystem::path&) { return std::optional<std::filesystem::path>(); };
    auto replacingValue = replacing;
    services.isReplacingApp = [replacingValue] { return *replacingValue; };
    auto checks = updateChecks;
    auto checkLog = &log;
    services.checkForUpdatesIfDue = [checks, checkLog] {
        ++*checks;
        checkLog->add("updates.checkIfDue");
    };
    services.timeouts = options.timeouts;
    model = std::make_unique<AppModel>(std::move(store), std::move(services));
}

AppModelHarness::~AppModelHarness() {
    model.reset();
    // Late queued hops find the model gone and drop their work.
    pumpFor(std::chrono::milliseconds(20));
}

QuickSharePhone AppModelHarness::phone(const std::string& id, const std::string& name, bool matchQR) const {
    QuickSharePhone phone;
    phone.id = id;
    phone.name = name;
    phone.endpoints = {{"127.0.0.1", 9, 0}};
    phone.info = EndpointInfo(EndpointInfo::DeviceType::phone, name);
    if (matchQR && model->qrSend()) phone.info.qrRecord = model->qrSend()->session.advertisingToken();
    return phone;
}

std::filesystem::path AppModelHarness::file(const std::string& name, std::size_t size) const {
    auto path = temp / name;
    std::ofstream(path) << std::string(size, 'x');
    return path;
}

std::string AppModelHarness::status() const { return model->statusMessage().value_or(""); }

}  // namespace velmo::test
