// Two network namespaces of a test's own joined by a veth pair, for transfers over a link
// that can be taken down. Nothing touches the machine's own interfaces.
#pragma once
#include <exception>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

namespace velmo::test {

// The computer's side at 10.213.0.1, the phone's at 10.213.0.2.
class PrivateLink {
public:
    PrivateLink();
    ~PrivateLink();
    PrivateLink(const PrivateLink&) = delete;
    PrivateLink& operator=(const PrivateLink&) = delete;

    // False when this machine cannot make them (not root, no namespaces).
    bool up() const { return up_; }

    // What `make` returns, run on a thread inside the namespace of `side` ('c' or 'p'):
    // sockets it opens belong to that namespace.
    template <class T>
    T inside(char side, const std::function<T()>& make) {
        std::optional<T> made;
        std::exception_ptr failure;
        std::thread([&] {
            try {
                enter(side);
                made.emplace(make());
            } catch (...) {
                failure = std::current_exception();
            }
        }).join();
        if (failure) std::rethrow_exception(failure);
        return std::move(*made);
    }

    // Runs `body` on a thread of its own inside the namespace of `side`.
    std::thread threadInside(char side, std::function<void()> body) {
        return std::thread([this, side, body = std::move(body)] {
            enter(side);
            body();
        });
    }

    // The phone leaves the network: its end of the link goes down, nothing more passes.
    void takePhoneOff();

private:
    std::string ns(char side) const { return "velmo-" + name_ + side; }
    // Moves the calling thread into the namespace of `side`.
    void enter(char side) const;

    std::string name_;
    bool up_ = false;
};

}  // namespace velmo::test
