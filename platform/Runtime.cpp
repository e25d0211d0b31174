#include "platform/Runtime.h"

namespace velmo {

Runtime::Runtime(unsigned threads) : guard_(asio::make_work_guard(context_)) {
    if (threads == 0) threads = 1;
    workers_.reserve(threads);
    for (unsigned i = 0; i < threads; ++i) {
        workers_.emplace_back([this] { context_.run(); });
    }
}

Runtime::~Runtime() { stop(); }

void Runtime::stop() {
    guard_.reset();
    context_.stop();
    for (auto& worker : workers_) {
        if (worker.joinable() && worker.get_id() != std::this_thread::get_id()) worker.join();
    }
    workers_.clear();
}

Runtime& Runtime::shared() {
    // Never destroyed: tasks may still hold its executor while the process exits.
    static Runtime* runtime = new Runtime(2);
    return *runtime;
}

}  // namespace velmo
