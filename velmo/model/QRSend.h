// The open QR-code send and the phones that joined it.
#pragma once
#include <filesystem>
#include <string>
#include <vector>

#include "platform/Uuid.h"
#include "quickshare/QRCodeSession.h"

namespace velmo {

struct QRSend {
    struct Recipient {
        class Phase {
        public:
            enum class Kind { waitingForAccept, verify, failed, connecting, sending, done };

            static Phase waitingForAccept(std::string pin) { return Phase(Kind::waitingForAccept, std::move(pin), {}, {}); }
            // The user compares `pin`; `transferId` is the row whose confirmation is pending.
            static Phase verify(std::string pin, Uuid transferId) { return Phase(Kind::verify, std::move(pin), transferId, {}); }
            static Phase failed(std::string message) { return Phase(Kind::failed, {}, {}, std::move(message)); }
            static Phase connecting() { return Phase(Kind::connecting, {}, {}, {}); }
            static Phase sending() { return Phase(Kind::sending, {}, {}, {}); }
            static Phase done() { return Phase(Kind::done, {}, {}, {}); }

            Kind kind() const { return kind_; }
            const std::string& pin() const { return pin_; }
            const Uuid& transferId() const { return transferId_; }
            const std::string& message() const { return message_; }

            friend bool operator==(const Phase&, const Phase&) = default;

        private:
            Phase(Kind kind, std::string pin, Uuid transferId, std::string message)
                : kind_(kind), pin_(std::move(pin)), transferId_(transferId), message_(std::move(message)) {}
            Kind kind_;
            std::string pin_;
            Uuid transferId_;
            std::string message_;
        };

        std::string id;  // the phone's id, or "airdrop-<UUID>"
        std::string name;
        Phase phase = Phase::connecting();
        double fraction = 0;

        friend bool operator==(const Recipient&, const Recipient&) = default;
    };

    Uuid id;
    QRCodeSession session;
    std::vector<std::filesystem::path> files;
    std::vector<Recipient> recipients;

    // Some recipient is still connecting, waiting, comparing codes or sending.
    bool hasActiveRecipients() const;
};

}  // namespace velmo
