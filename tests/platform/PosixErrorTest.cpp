#include <gtest/gtest.h>

#include <asio/error.hpp>

#include "platform/PosixError.h"

namespace velmo {
namespace {

TEST(PosixError, NamesTheCodeWhateverSystemCategoryCarriesIt) {
    const std::error_code fromAsio(ECONNREFUSED, asio::error::get_system_category());
    const std::error_code fromStd(ECONNREFUSED, std::system_category());
    const std::error_code generic = std::make_error_code(std::errc::connection_refused);
    for (const auto& error : {fromAsio, fromStd, generic}) {
        EXPECT_TRUE(isPosix(error, std::errc::connection_refused)) << error.category().name();
        EXPECT_FALSE(isPosix(error, std::errc::timed_out));
    }
}

TEST(PosixError, OtherCategoriesAndSuccessHaveNoCode) {
    EXPECT_EQ(posixCode(asio::error::eof), std::nullopt);  // misc category, value 2 is not ENOENT
    EXPECT_EQ(posixCode(std::error_code()), std::nullopt);
}

}  // namespace
}  // namespace velmo
