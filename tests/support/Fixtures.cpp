#include "support/Fixtures.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace velmo::test {

std::filesystem::path fixture(const std::string& name) {
    return std::filesystem::path(VELMO_FIXTURES_DIR) / name;
}

std::filesystem::path cryptoVector(const std::string& relative) {
    return std::filesystem::path("/usr/lib/python3/dist-packages/cryptography_vectors") / relative;
}

std::string readText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

}  // namespace velmo::test
