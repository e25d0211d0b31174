// Runs a coroutine to completion from a test, with a time limit.
#pragma once
#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <asio/use_future.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>
#include <utility>

namespace velmo::test {

// Spawns `make` (a callable returning an asio::awaitable) on `executor`, waits for it and
// returns its result or rethrows its exception. A coroutine still running after `limit`
// ends the test process: the test's objects cannot be destroyed under a live coroutine.
template <class Make>
auto runAsync(asio::any_io_executor executor, Make&& make,
              std::chrono::steady_clock::duration limit = std::chrono::seconds(20)) {
    auto future = asio::co_spawn(executor, std::forward<Make>(make), asio::use_future);
    if (future.wait_for(limit) != std::future_status::ready) {
        std::fprintf(stderr, "runAsync: the coroutine did not finish within %lld ms\n",
                     static_cast<long long>(
                         std::chrono::duration_cast<std::chrono::milliseconds>(limit).count()));
        std::abort();
    }
    return future.get();
}

// Runs one awaitable operation on `executor` and waits for its result, as runAsync does.
template <class T>
T await(asio::any_io_executor executor, asio::awaitable<T> op,
        std::chrono::steady_clock::duration limit = std::chrono::seconds(20)) {
    return runAsync(executor, [&op] { return std::move(op); }, limit);
}

// Polls `condition` until it holds or `limit` passes; returns whether it held.
template <class Condition>
bool eventually(Condition&& condition,
                std::chrono::steady_clock::duration limit = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace velmo::test
