#include "velmo/model/AppModelServices.h"

#include "platform/Runtime.h"
#include "quickshare/QuickShareAdvertiser.h"
#include "quickshare/QuickShareDiscovery.h"
#include "quickshare/QuickShareReceiver.h"
#include "transfer/LocalNetwork.h"
#include "transfer/NetworkStream.h"
#include "transfer/WebReceiveServer.h"

namespace velmo {

namespace {

class AvahiPhoneDiscovery : public PhoneDiscovery {
public:
    void setCallbacks(std::function<void(std::vector<QuickSharePhone>)> onPhones,
                      std::function<void(QuickSharePhone)> onQRMatch,
                      std::function<void(std::string)> onError) override {
        discovery_.onPhones = std::move(onPhones);
        discovery_.onQRMatch = std::move(onQRMatch);
        discovery_.onError = std::move(onError);
    }
    void ignore(std::set<std::string> serviceNames) override { discovery_.ignore(std::move(serviceNames)); }
    void start() override { discovery_.start(); }
    void stop() override { discovery_.stop(); }
    void setQRSession(std::optional<QRCodeSession> session) override { discovery_.setQRSession(std::move(session)); }

private:
    QuickShareDiscovery discovery_{true};
};

class AvahiAdvertiser : public ComputerAdvertiser {
public:
    // A name taken on the network is replaced; discovery must then ignore the new one too.
    explicit AvahiAdvertiser(PhoneDiscovery& discovery) {
        advertiser_.onServiceNameChange = [&discovery](std::string name) { discovery.ignore({std::move(name)}); };
    }
    std::string serviceName() const override { return advertiser_.serviceName(); }
    void setOnError(std::function<void(std::string)> onError) override { advertiser_.onError = std::move(onError); }
    void setOnConnection(std::function<void(std::shared_ptr<ByteStream>)> onConnection) override {
        advertiser_.onConnection = [onConnection = std::move(onConnection)](std::shared_ptr<NetworkStream> stream) {
            if (onConnection) onConnection(std::move(stream));
        };
    }
    void start(const std::string& deviceName) override { advertiser_.start(deviceName); }
    void stop() override { advertiser_.stop(); }

private:
    QuickShareAdvertiser advertiser_;
};

}  // namespace

AppModelServices AppModelServices::standard() {
    AppModelServices services;
    services.executor = Runtime::shared().executor();
    services.discovery = std::make_unique<AvahiPhoneDiscovery>();
    services.advertiser = std::make_unique<AvahiAdvertiser>(*services.discovery);
    services.prompt = std::make_unique<NoPromptPresenter>();
    services.sharing = std::make_unique<UnavailableSharingService>();
    services.receive = [](std::shared_ptr<ByteStream> stream, std::filesystem::path folder,
                          std::shared_ptr<QuickShareReceiveAuthorization> authorization, Decide decide,
                          Progress progress, CancelSignal cancel, Saved saved) {
        return QuickShareReceiver::receive(std::move(stream), std::move(folder), std::move(authorization),
                                           std::move(decide), std::move(progress), std::move(cancel), {},
                                           std::move(saved));
    };
    services.send = [](std::vector<std::filesystem::path> files, std::shared_ptr<ByteStream> to,
                       std::string senderName, std::optional<QRCodeSession> qr,
                       QuickShareSender::ConfirmPeer confirmPeer, QuickShareSender::StatusCallback status,
                       Progress progress, CancelSignal cancel) {
        return QuickShareSender::send(std::move(files), std::move(to), std::move(senderName), std::move(qr),
                                      std::move(confirmPeer), std::move(status), std::move(progress),
                                      std::move(cancel));
    };
    services.openStream = [](const QuickSharePhone& phone) -> std::shared_ptr<ByteStream> {
        return phone.openStream();
    };
    services.localAddress = [] { return LocalNetwork::ipv4(); };
    services.makeWebServer = [](std::string page, std::filesystem::path folder, std::string token,
                                std::optional<std::string> bindAddress, std::shared_ptr<ReceiveSessionBudget> budget) {
        return std::make_shared<WebReceiveServer>(std::move(page), std::move(folder), std::move(token),
                                                  std::move(bindAddress), std::move(budget));
    };
    services.isReplacingApp = [] { return false; };
    services.checkForUpdatesIfDue = [] {};
    return services;
}

}  // namespace velmo
