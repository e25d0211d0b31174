#include "support/TempFolder.h"

#include <stdlib.h>

#include <fstream>
#include <stdexcept>

namespace velmo::test {

TempFolder::TempFolder(const std::filesystem::path& parent) {
    std::string pattern =
        ((parent.empty() ? std::filesystem::temp_directory_path() : parent) / "velmo-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void TempFolder::write(const std::string& name, const std::string& content) const {
    std::ofstream out(path_ / name, std::ios::binary);
    out << content;
    if (!out) throw std::runtime_error("cannot write " + name);
}

}  // namespace velmo::test
