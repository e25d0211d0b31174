#include <gtest/gtest.h>

#include <asio/error.hpp>
#include <cerrno>

#include "transfer/NetworkStream.h"

namespace velmo {
namespace {

TEST(NetworkStream, ConnectFailuresThatMeanUnreachable) {
    struct Case {
        std::error_code error;
        bool unreachable;
    };
    const Case cases[] = {
        {std::make_error_code(std::errc::host_unreachable), true},
        {std::make_error_code(std::errc::network_unreachable), true},
        {std::make_error_code(std::errc::network_down), true},
        {std::make_error_code(std::errc::timed_out), true},
        // What the socket layer reports carries the system category.
        {asio::error::host_unreachable, true},
        {asio::error::network_unreachable, true},
        {asio::error::network_down, true},
        {asio::error::timed_out, true},
        {asio::error::connection_refused, false},
        {asio::error::connection_reset, false},
        {asio::error::connection_aborted, false},
        {asio::error::operation_aborted, false},
        {asio::error::access_denied, false},
        {asio::error::address_in_use, false},
        {asio::error::host_not_found, false},
        {asio::error::eof, false},
        {std::error_code(EHOSTUNREACH, std::system_category()), true},
        {std::error_code(ETIMEDOUT, std::generic_category()), true},
        // The same number in a category of its own is not a POSIX code.
        {std::error_code(EHOSTUNREACH, asio::error::get_netdb_category()), false},
        {std::error_code(ETIMEDOUT, asio::error::get_misc_category()), false},
        {std::error_code{}, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(NetworkStream::meansUnreachable(c.error), c.unreachable) << c.error.message();
    }
}

}  // namespace
}  // namespace velmo
