// One row of the transfer list.
#pragma once
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/Uuid.h"

namespace velmo {

struct TransferItem {
    enum class Direction { sending, receiving };

    class State {
    public:
        enum class Kind { failed, connecting, awaitingAccept, transferring, done, declined };

        static State failed(std::string message) { return State(Kind::failed, std::move(message)); }
        static State connecting() { return State(Kind::connecting); }
        static State awaitingAccept() { return State(Kind::awaitingAccept); }
        static State transferring() { return State(Kind::transferring); }
        static State done() { return State(Kind::done); }
        static State declined() { return State(Kind::declined); }

        Kind kind() const { return kind_; }
        // The row's text of a failed state; empty otherwise.
        const std::string& message() const { return message_; }
        // Connecting, awaiting acceptance and transferring; the others are final.
        bool isActive() const {
            return kind_ == Kind::connecting || kind_ == Kind::awaitingAccept || kind_ == Kind::transferring;
        }

        friend bool operator==(const State&, const State&) = default;

    private:
        explicit State(Kind kind, std::string message = {}) : kind_(kind), message_(std::move(message)) {}
        Kind kind_;
        std::string message_;
    };

    Uuid id;
    Direction direction = Direction::receiving;
    std::string peer;
    std::string summary;
    std::optional<std::string> code;
    bool needsPeerCheck = false;
    std::int64_t done = 0;
    std::int64_t total = 0;
    State state = State::connecting();
    std::vector<std::filesystem::path> savedURLs;

    // done / total, unclamped; an empty transfer counts as complete only once done.
    double fraction() const;

    // The name of one file, as FileNaming::shownName shows it; "N files" otherwise.
    static std::string summaryFor(const std::vector<std::string>& names);
};

}  // namespace velmo
