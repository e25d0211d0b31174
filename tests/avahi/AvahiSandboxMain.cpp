// Runs the tests inside a private Avahi sandbox: started without one, the binary re-runs
// itself under scripts/avahi-sandbox, which gives it a network namespace of its own.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
    if (!std::getenv("VELMO_AVAHI_SANDBOX")) {
        std::vector<char*> args;
        args.push_back(const_cast<char*>(VELMO_AVAHI_SANDBOX_SCRIPT));
        args.push_back(const_cast<char*>("run"));
        args.push_back(const_cast<char*>("--peer"));
        args.push_back(const_cast<char*>("--"));
        char self[4096] = {};
        const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
        args.push_back(length > 0 ? self : argv[0]);
        for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
        args.push_back(nullptr);
        execv(args[0], args.data());
        std::perror("avahi_tests: cannot run the Avahi sandbox");
        return 1;
    }
    testing::InitGoogleMock(&argc, argv);
    // Tests that must not see the sandbox's daemon re-run this binary in a fresh process.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    return RUN_ALL_TESTS();
}
