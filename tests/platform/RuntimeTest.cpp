#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/use_future.hpp>

#include "platform/Runtime.h"

namespace velmo {
namespace {

TEST(Runtime, RunsCoroutinesOnItsWorkers) {
    Runtime runtime(2);
    auto caller = std::this_thread::get_id();
    auto future = asio::co_spawn(
        runtime.executor(),
        [caller]() -> asio::awaitable<bool> { co_return std::this_thread::get_id() != caller; },
        asio::use_future);
    EXPECT_TRUE(future.get());
}

TEST(Runtime, StopIsIdempotent) {
    Runtime runtime(1);
    runtime.stop();
    runtime.stop();
}

}  // namespace
}  // namespace velmo
