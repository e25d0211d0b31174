// Paths of the test fixtures and public test vectors.
#pragma once
#include <filesystem>
#include <string>

namespace velmo::test {

// A file under tests/fixtures.
std::filesystem::path fixture(const std::string& name);

// A file of Debian's python3-cryptography-vectors package.
std::filesystem::path cryptoVector(const std::string& relative);

// The whole file as text; fails the test when it cannot be read.
std::string readText(const std::filesystem::path& path);

}  // namespace velmo::test
