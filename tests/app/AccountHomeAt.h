// A test's own password database in its mount namespace, naming another account home.
#pragma once
#include <pwd.h>
#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "support/TempFolder.h"

namespace velmo::test {

// The password database of this test's mount namespace, with the account's home at `home`.
class AccountHomeAt {
public:
    AccountHomeAt(const TempFolder& temp, const std::filesystem::path& home) {
        std::ifstream in("/etc/passwd");
        std::ofstream out(temp / "passwd");
        const std::string user = ::getpwuid(::getuid())->pw_name;
        for (std::string line; std::getline(in, line);) {
            if (line.starts_with(user + ":")) {
                std::size_t at = 0;
                for (int field = 0; field < 5; ++field) at = line.find(':', at) + 1;
                line.replace(at, line.find(':', at) - at, home.string());
            }
            out << line << '\n';
        }
        out.close();
        mounted_ = ::mount((temp / "passwd").c_str(), "/etc/passwd", nullptr, MS_BIND, nullptr) == 0;
    }
    ~AccountHomeAt() {
        if (mounted_) ::umount2("/etc/passwd", MNT_DETACH);
    }
    bool mounted() const { return mounted_; }

private:
    bool mounted_ = false;
};

}  // namespace velmo::test
