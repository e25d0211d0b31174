#include "platform/PosixError.h"

#include <asio/error.hpp>

namespace velmo {

std::optional<std::errc> posixCode(const std::error_code& error) {
    if (!error) return std::nullopt;
    const auto& category = error.category();
    if (category == asio::error::get_system_category() || category == std::system_category() ||
        category == std::generic_category()) {
        return static_cast<std::errc>(error.value());
    }
    return std::nullopt;
}

}  // namespace velmo
