// Private helpers of the model: queued hops to the GUI thread, and answers the GUI gives to
// a flow waiting on an engine thread.
#pragma once
#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/experimental/concurrent_channel.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>
#include <atomic>
#include <functional>
#include <memory>

#include "velmo/model/AppModel.h"

namespace velmo::gui {

// Runs `work` with the model on the GUI thread, later; dropped when the model is gone by then.
template <class Work>
void post(QPointer<AppModel> model, Work work) {
    auto* app = QCoreApplication::instance();
    if (!app) return;
    QMetaObject::invokeMethod(
        app, [model, work = std::move(work)]() mutable {
            if (model) work(*model);
        },
        Qt::QueuedConnection);
}

// Like post(), but runs `orElse` instead when the model is gone.
template <class Work, class OrElse>
void postOr(QPointer<AppModel> model, Work work, OrElse orElse) {
    auto* app = QCoreApplication::instance();
    if (!app) return orElse();
    QMetaObject::invokeMethod(
        app, [model, work = std::move(work), orElse = std::move(orElse)]() mutable {
            if (model)
                work(*model);
            else
                orElse();
        },
        Qt::QueuedConnection);
}

// One yes/no answer from the GUI thread to a coroutine on the runtime. The first answer counts;
// a reply dropped unanswered (the model gone, the event never run) counts as no.
class Answer {
public:
    explicit Answer(asio::any_io_executor executor) : channel_(std::move(executor), 1) {}

    void give(bool value) {
        if (!given_.exchange(true)) channel_.try_send(asio::error_code{}, value);
    }

    asio::awaitable<bool> wait() { co_return co_await channel_.async_receive(asio::use_awaitable); }

    static std::function<void(bool)> reply(const std::shared_ptr<Answer>& answer) {
        struct Guard {
            std::shared_ptr<Answer> answer;
            ~Guard() {
                if (answer) answer->give(false);
            }
        };
        auto guard = std::make_shared<Guard>();
        guard->answer = answer;
        return [guard](bool value) { guard->answer->give(value); };
    }

private:
    std::atomic<bool> given_{false};
    asio::experimental::concurrent_channel<void(asio::error_code, bool)> channel_;
};

// Asks `question` on the GUI thread with a reply function, and waits for the reply.
template <class Question>
asio::awaitable<bool> askOnGui(QPointer<AppModel> model, Question question) {
    auto answer = std::make_shared<Answer>(co_await asio::this_coro::executor);
    auto reply = Answer::reply(answer);
    postOr(
        model, [question = std::move(question), reply](AppModel& m) mutable { question(m, reply); },
        [reply] { reply(false); });
    reply = nullptr;
    co_return co_await answer->wait();
}

}  // namespace velmo::gui
