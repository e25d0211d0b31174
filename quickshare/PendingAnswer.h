// An answer a flow waits for from the application (accept an offer, confirm a PIN). The
// question runs in a task of its own, so cancelling the flow does not have to wait for the
// user: fail() ends the wait at once and a late answer is dropped.
#pragma once
#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/steady_timer.hpp>
#include <exception>
#include <functional>
#include <memory>
#include <optional>

namespace velmo {

class PendingAnswer : public std::enable_shared_from_this<PendingAnswer> {
public:
    // Every operation must be called on `strand`.
    static std::shared_ptr<PendingAnswer> create(asio::any_io_executor strand);

    // Starts `question` on the strand; its result, or its error, is the answer.
    void ask(std::function<asio::awaitable<bool>()> question);

    // The answer, or the error it ended with. One wait per answer.
    asio::awaitable<bool> wait();

    // Ends the wait with `error` unless the answer is already in.
    void fail(std::exception_ptr error);

    // Whether the answer (or the error) is in.
    bool settled() const { return settled_; }

    // Runs `action` on the strand once the answer or the error is in.
    void whenSettled(std::function<void()> action) { whenSettled_ = std::move(action); }

private:
    explicit PendingAnswer(asio::any_io_executor strand);
    void settle(std::optional<bool> answer, std::exception_ptr error);

    asio::any_io_executor strand_;
    asio::steady_timer wakeup_;
    std::optional<bool> answer_;
    std::exception_ptr error_;
    bool settled_ = false;
    std::function<void()> whenSettled_;
};

}  // namespace velmo
