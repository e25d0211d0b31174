#include "quickshare/PendingAnswer.h"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/use_awaitable.hpp>
#include <utility>

namespace velmo {

std::shared_ptr<PendingAnswer> PendingAnswer::create(asio::any_io_executor strand) {
    return std::shared_ptr<PendingAnswer>(new PendingAnswer(std::move(strand)));
}

PendingAnswer::PendingAnswer(asio::any_io_executor strand) : strand_(strand), wakeup_(strand) {}

void PendingAnswer::ask(std::function<asio::awaitable<bool>()> question) {
    asio::co_spawn(
        strand_,
        [self = shared_from_this(), question = std::move(question)]() -> asio::awaitable<void> {
            std::exception_ptr error;
            try {
                const bool answer = co_await question();
                self->settle(answer, nullptr);
                co_return;
            } catch (...) {
                error = std::current_exception();
            }
            self->settle(std::nullopt, error);
        },
        asio::detached);
}

asio::awaitable<bool> PendingAnswer::wait() {
    auto self = shared_from_this();
    if (!settled_) {
        wakeup_.expires_at(asio::steady_timer::time_point::max());
        co_await wakeup_.async_wait(asio::experimental::as_tuple(asio::use_awaitable));
    }
    if (error_) std::rethrow_exception(error_);
    co_return answer_.value_or(false);
}

void PendingAnswer::fail(std::exception_ptr error) { settle(std::nullopt, error); }

void PendingAnswer::settle(std::optional<bool> answer, std::exception_ptr error) {
    if (settled_) return;
    settled_ = true;
    answer_ = answer;
    error_ = error;
    wakeup_.cancel();
    if (auto action = std::exchange(whenSettled_, nullptr)) action();
}

}  // namespace velmo
