// Later launches of the real velmo hand their files to the running one and exit.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

#include <QCoreApplication>
#include <QTimer>

#include "AccountHomeAt.h"
#include "AppProcess.h"
#include "InstanceClient.h"
#include "Preloaded.h"
#include "support/AsNobody.h"
#include "velmo/SingleInstance.h"

namespace velmo {
namespace {

using namespace std::chrono_literals;
using test::AccountHomeAt;
using test::InstanceClient;

// The account's home as Velmo finds it, from the password database.
std::filesystem::path passwdHome() { return ::getpwuid(::getuid())->pw_dir; }

// Where Velmo meets later launches of the same account: its folder in the account's home.
std::filesystem::path rendezvous(const test::TempFolder& temp) { return test::accountHome(temp) / ".local/state/velmo-instance"; }

// The socket of the running instance (named after the computer), once it listens.
std::filesystem::path instanceSocket(const test::TempFolder& temp) {
    std::error_code missing;
    for (const auto& entry : std::filesystem::directory_iterator(rendezvous(temp), missing))
        if (entry.path().extension() == ".socket") return entry.path();
    return rendezvous(temp) / "no.socket";
}

// No display, no runtime folder and a home of another profile: a launch from ssh or after su.
void leaveTheDesktop(const test::TempFolder& temp) {
    for (const char* variable : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR"}) ::unsetenv(variable);
    std::filesystem::create_directories(temp / "profile");
    ::setenv("HOME", (temp / "profile").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (temp / "profile").c_str(), 1);
    // Qt would make its stand-in runtime folder here.
    std::filesystem::create_directories(temp / "tmp");
    ::setenv("TMPDIR", (temp / "tmp").c_str(), 1);
}

// Each case has a desktop and an account home of its own, and a photo to hand over.
class SingleInstanceIntegrationTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::isolateDesktop(temp);
        temp.write("photo.jpg", "jpeg");
    }
    test::TempFolder temp;
};

TEST_F(SingleInstanceIntegrationTest, ALaterLaunchHandsItsFilesToTheRunningVelmoAndExits) {
    // A name that is not UTF-8 still names its file.
    temp.write("b\xff.txt", "bytes");

    // A crash left its socket behind; it must not keep the next Velmo from starting.
    {
        test::AppProcess crashed(test::velmoBinary, {{}, {}, true});
        ASSERT_EQ(crashed.awaitReadiness(20s), "com.halvester.velmo\n");
    }
    const auto socket = instanceSocket(temp);
    ASSERT_TRUE(std::filesystem::exists(socket));

    // Sharing is set up, so the window lists the staged files as a user sees it.
    std::filesystem::create_directories(temp / "home/.config/Velmo");
    std::ofstream(temp / "home/.config/Velmo/Velmo.ini")
        << "[General]\nsharingConsentMode=askEachTime\nreceiveFromAndroid=false\n";

    // A Velmo killed mid-receive left its part file in the download folder.
    const auto stalePart = temp / "home/Downloads/.velmo-6F25E1C0-0D3B-4C4E-9A43-2B8A6C1D5E7F.part";
    std::filesystem::create_directories(stalePart.parent_path());
    std::ofstream(stalePart) << "half a file";

    test::AppProcess first(test::velmoBinary, {{"b\xff.txt"}, temp.path(), true});
    ASSERT_EQ(first.awaitReadiness(20s), "com.halvester.velmo\n");
    EXPECT_FALSE(std::filesystem::exists(stalePart));
    EXPECT_EQ(InstanceClient::stagedCount(socket), "1");

    // Relative names are taken from the later launch's folder; names of nothing are dropped.
    test::AppProcess second(test::velmoBinary, {{"photo.jpg", "missing.jpg", "./b\xff.txt"}, temp.path(), false});
    EXPECT_EQ(second.awaitExit(20s), 0);
    EXPECT_EQ(InstanceClient::stagedCount(socket), "2");

    // A launch from a folder removed meanwhile still hands over what its absolute names name.
    temp.write("kept.jpg", "jpeg");
    std::filesystem::create_directory(temp / "gone");
    EXPECT_EQ(test::runTool("/bin/sh", {"-c", "cd \"$0\" && rmdir \"$0\" && exec \"$1\" \"$2\" photo.jpg",
                                        (temp / "gone").string(), test::velmoBinary.string(), (temp / "kept.jpg").string()}),
              0);
    EXPECT_EQ(InstanceClient::stagedCount(socket), "3");
    // The computer is known by its machine id, which stays when its name changes.
    temp.write("renamed.jpg", "jpeg");
    EXPECT_EQ(test::runTool("/usr/bin/unshare", {"--uts", "/bin/sh", "-c", "hostname another-name && exec \"$0\" \"$1\"",
                                                 test::velmoBinary.string(), (temp / "renamed.jpg").string()}),
              0);
    EXPECT_EQ(InstanceClient::stagedCount(socket), "4");

    // As many files as a file manager passes at once, by long absolute names: more than a
    // mebibyte to hand over. The reply stays short however many files are staged. (In memory
    // where there is a memory file system: a disk takes seconds to make 12,000 files.)
    const test::TempFolder memory(std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "");
    const auto many = memory / std::string(80, 'f');
    std::filesystem::create_directory(many);
    std::vector<std::string> names;
    for (int i = 0; i < 12'000; ++i) {
        names.push_back((many / (std::to_string(i) + ".txt")).string());
        std::ofstream{names.back()};
    }
    test::AppProcess fourth(test::velmoBinary, {names, {}, false});
    EXPECT_EQ(fourth.awaitExit(20s), 0);
    EXPECT_EQ(InstanceClient::stagedCount(socket), "12004");

    // A launch without files just brings the window forward.
    test::AppProcess third(test::velmoBinary, {{}, {}, false});
    EXPECT_EQ(third.awaitExit(20s), 0);
    EXPECT_EQ(first.awaitExit(0ms), std::nullopt) << "the first Velmo keeps running";

    std::string version;
    EXPECT_EQ(test::runTool(test::velmoBinary, {"--version"}, &version), 0);
    EXPECT_EQ(version.rfind("Velmo ", 0), 0u) << version;

    // A mistyped option is answered like --help: without a display, which there is none of.
    for (const char* variable : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) ::unsetenv(variable);
    test::AppProcess bogus(test::velmoBinary, {{"--bogus"}, {}, false, true});
    EXPECT_EQ(bogus.awaitExit(20s), 2);
    EXPECT_NE(bogus.output().find("Usage: "), std::string::npos) << bogus.output();
}

// The Velmo a desktop session started (with its XDG_RUNTIME_DIR) is found by a launch without
// a runtime folder, a display or the same HOME, as from ssh or after su: that launch hands its
// file over before it needs a display, and leaves no stand-in runtime folder or warning behind.
// With no Velmo running, such a launch says why it cannot start.
TEST_F(SingleInstanceIntegrationTest, ALaunchWithoutADesktopHandsOverToTheRunningVelmo) {
    auto first = std::make_unique<test::AppProcess>(test::velmoBinary, test::AppProcess::Options{{}, {}, true});
    ASSERT_EQ(first->awaitReadiness(20s), "com.halvester.velmo\n");

    leaveTheDesktop(temp);
    test::AppProcess second(test::velmoBinary, {{(temp / "photo.jpg").string()}, {}, false, true});
    EXPECT_EQ(second.awaitExit(20s), 0) << second.output();
    EXPECT_EQ(second.output(), "");
    EXPECT_TRUE(std::filesystem::is_empty(temp / "tmp"));
    EXPECT_EQ(InstanceClient::stagedCount(instanceSocket(temp)), "1");
    test::AppProcess bare(test::velmoBinary, {{}, {}, false, true});
    EXPECT_EQ(bare.awaitExit(20s), 0) << bare.output();

    first.reset();
    test::AppProcess alone(test::velmoBinary, {{(temp / "photo.jpg").string()}, {}, false, true});
    const auto status = alone.awaitExit(20s);
    EXPECT_TRUE(status == 1 || status == 2) << alone.output();
    EXPECT_NE(alone.output().find("no display"), std::string::npos) << alone.output();
    ::unsetenv("TMPDIR");  // its folder goes with the test
}

// The folder where launches meet must be this user's alone: one that others can enter, one
// that is a link, or one owned by someone else is not used (no socket is put there and, without
// the lock, no part file is swept), and Velmo says so.
TEST_F(SingleInstanceIntegrationTest, OnlyAPrivateFolderOfTheUserIsWhereLaunchesMeet) {
    const auto folder = rendezvous(temp);
    const auto stalePart = temp / "home/Downloads/.velmo-6F25E1C0-0D3B-4C4E-9A43-2B8A6C1D5E7F.part";
    std::filesystem::create_directories(stalePart.parent_path());
    std::ofstream(stalePart) << "half a file";
    const test::TempFolder elsewhere;
    ::chmod(elsewhere.path().c_str(), 0700);
    struct Case {
        const char* label;
        std::function<bool()> make;
        std::filesystem::path looked;  // where a socket must not appear
    };
    const std::vector<Case> cases = {
        {"open to others", [&] { return std::filesystem::create_directories(folder) && ::chmod(folder.c_str(), 0755) == 0; }, folder},
        {"a link", [&] { std::filesystem::create_directories(folder.parent_path()); std::filesystem::create_directory_symlink(elsewhere.path(), folder); return true; }, elsewhere.path()},
        {"another user's", [&] { return std::filesystem::create_directories(folder) && ::chmod(folder.c_str(), 0700) == 0 && ::chown(folder.c_str(), 65534, 65534) == 0; }, folder},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        std::filesystem::remove_all(folder);
        if (!c.make()) continue;  // only root gives a folder away
        test::AppProcess velmo(test::velmoBinary, {{}, {}, true, true});
        ASSERT_EQ(velmo.awaitReadiness(20s), "com.halvester.velmo\n");
        EXPECT_NE(velmo.output("cannot use", 5s).find("cannot use"), std::string::npos) << velmo.output();
        for (const auto& entry : std::filesystem::directory_iterator(c.looked))
            EXPECT_NE(entry.path().extension(), ".socket") << entry.path();
        EXPECT_TRUE(std::filesystem::exists(stalePart)) << "swept without the lock";
    }
}

// The hand-over reads a request in as many pieces as it comes, the closing NULs split between
// two reads included, and closes a request that grows past any launch's size instead of
// holding it; the instance goes on answering.
TEST_F(SingleInstanceIntegrationTest, TheHandOverReadsSplitRequestsAndCapsLongOnes) {
    test::AppProcess first(test::velmoBinary, {{}, {}, true});
    ASSERT_EQ(first.awaitReadiness(20s), "com.halvester.velmo\n");
    const auto socket = instanceSocket(temp);
    EXPECT_EQ(InstanceClient::request(socket, {std::string("velmo-open-2\0token=\0folder=/\0", 29), std::string(1, '\0')}, 300ms),
              "0");

    const int fd = InstanceClient::connect(socket);
    ASSERT_GE(fd, 0);
    const timeval patience{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
    const std::string block(1 << 20, 'x');
    std::size_t accepted = 0;
    for (int i = 0; i < 32; ++i) {
        const ssize_t n = ::send(fd, block.data(), block.size(), MSG_NOSIGNAL);
        if (n <= 0) break;
        accepted += static_cast<std::size_t>(n);
    }
    ::close(fd);
    EXPECT_LT(accepted, std::size_t(9) << 20) << "the instance kept reading an endless request";
    EXPECT_EQ(InstanceClient::stagedCount(socket), "0");
}


// The abstract socket a Velmo in a home without socket files listens on, as its lock file names it.
std::string abstractSocket(const test::TempFolder& temp) {
    std::string name;
    for (const auto& entry : std::filesystem::directory_iterator(rendezvous(temp)))
        if (entry.path().extension() == ".lock" && entry.path().stem().extension() != ".successor")
            std::getline(std::ifstream(entry.path()) >> std::ws, name);
    return std::string(1, '\0') + name;
}

// A home whose file system holds no socket files (SMB without Unix extensions, several FUSE
// mounts) still hands files over, to this user only; a lock folder that refuses locks is named.
TEST_F(SingleInstanceIntegrationTest, AHomeWithoutSocketFilesStillHandsOverToThisUserOnly) {
    const std::string home = passwdHome().string();
    const auto refused = test::preloaded({{"VELMO_REFUSE_SOCKETS_UNDER", home}});
    auto first = std::make_unique<test::AppProcess>(test::velmoBinary, test::AppProcess::Options{{}, {}, true, true, refused});
    ASSERT_EQ(first->awaitReadiness(20s), "com.halvester.velmo\n") << first->output();
    test::AppProcess second(test::velmoBinary, {{"photo.jpg"}, temp.path(), false, true, refused});
    EXPECT_EQ(second.awaitExit(20s), 0) << second.output();
    EXPECT_EQ(instanceSocket(temp).filename(), "no.socket") << "a socket file where the home holds none";
    const auto socket = abstractSocket(temp);
    EXPECT_EQ(InstanceClient::stagedCount(socket), "1");
    // Anyone may reach an abstract socket; the instance answers none but its own user.
    EXPECT_EQ(test::asNobody([&] { return InstanceClient::stagedCount(socket); }), "");
    EXPECT_EQ(InstanceClient::stagedCount(socket), "1");
    first.reset();

    test::AppProcess alone(test::velmoBinary, {{}, {}, true, true, test::preloaded({{"VELMO_REFUSE_LOCKS_UNDER", home}})});
    ASSERT_EQ(alone.awaitReadiness(20s), "com.halvester.velmo\n");
    EXPECT_NE(alone.output("cannot lock", 5s).find("cannot lock"), std::string::npos) << alone.output();
}

// In place of the instance's socket: what a launch does when it finds someone else there, or an
// instance that closes on it without an answer (a quitting one) before it answers.
TEST_F(SingleInstanceIntegrationTest, OnlyAnInstanceOfThisUserThatAnswersTakesTheFiles) {
    test::AppProcess instance(test::velmoBinary, {{}, {}, true});  // holds the lock throughout
    ASSERT_EQ(instance.awaitReadiness(20s), "com.halvester.velmo\n");
    const auto path = instanceSocket(temp);
    struct Case {
        const char* label;
        uid_t owner;                       // of the socket file
        uid_t listener;                    // who listens, answering each connection in turn
        std::vector<std::string> answers;  // empty: closes without one; none: nobody listens
        int status;
        int connections;
        const char* said;
    };
    const std::vector<Case> cases = {
        {"another user's socket file", 65534, 0, {}, 1, 0, "another user's socket"},
        {"another user listening", 0, 65534, {std::string("7\0\0", 3)}, 1, 0, "another user's socket"},
        {"closes before answering", 0, 0, {"", std::string("3\0\0", 3)}, 0, 2, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        std::filesystem::remove(path);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address;
        const socklen_t size = InstanceClient::address(path.string(), address);
        ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), size), 0);
        ASSERT_EQ(::chown(path.c_str(), c.owner, c.owner), 0);
        int counted[2];
        ASSERT_EQ(::pipe(counted), 0);
        const pid_t fake = ::fork();
        if (fake == 0) {
            if (c.listener != 0 && (::setgid(c.listener) != 0 || ::setuid(c.listener) != 0)) _exit(1);
            if (!c.answers.empty() && ::listen(fd, 4) != 0) _exit(1);
            for (const auto& answer : c.answers) {
                const int peer = ::accept(fd, nullptr, nullptr);
                std::string got;
                char buffer[4096];
                ssize_t n;
                while (got.find(std::string("\0\0", 2)) == std::string::npos && (n = ::read(peer, buffer, sizeof buffer)) > 0)
                    got.append(buffer, std::size_t(n));
                if (!answer.empty() && ::write(peer, answer.data(), answer.size()) < 0) _exit(1);
                ::close(peer);
                if (::write(counted[1], "x", 1) != 1) _exit(1);
            }
            ::pause();
            _exit(0);
        }
        ::close(fd);
        ::close(counted[1]);
        const auto started = std::chrono::steady_clock::now();
        test::AppProcess launch(test::velmoBinary, {{"photo.jpg"}, temp.path(), false, true});
        EXPECT_EQ(launch.awaitExit(20s), c.status) << launch.output();
        EXPECT_LT(std::chrono::steady_clock::now() - started, 5s) << "said at once";
        EXPECT_NE(launch.output().find(c.said), std::string::npos) << launch.output();
        if (*c.said) {
            const auto named = passwdHome() / ".local/state/velmo-instance" / path.filename();
            EXPECT_NE(launch.output().find(named.string()), std::string::npos) << launch.output();
        }
        // The launch may end as soon as it reads its answer, before the listener counts it.
        int connections = 0;
        char mark;
        pollfd marks{counted[0], POLLIN, 0};
        while (connections < c.connections && ::poll(&marks, 1, 5000) == 1 && ::read(counted[0], &mark, 1) == 1)
            ++connections;
        ::kill(fake, SIGKILL);
        ::waitpid(fake, nullptr, 0);
        char more[8];
        connections += int(std::max<ssize_t>(::read(counted[0], more, sizeof more), 0));
        EXPECT_EQ(connections, c.connections);
        ::close(counted[0]);
    }
}

// Whether the process has opened the folder where launches meet (and so, a moment later, its lock).
bool hasOpened(pid_t pid, const std::filesystem::path& folder) {
    std::error_code gone;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", gone))
        if (std::filesystem::read_symlink(entry.path(), gone) == folder) return true;
    return false;
}

// Two races that let a second Velmo start: uninstall removing the lock file that a launch has
// open and then wins, and a launch winning the lock ahead of the copy an update started.
TEST_F(SingleInstanceIntegrationTest, NoRaceStartsASecondVelmo) {
    // Started as the updater starts a copy; it takes the lock at once when the lock is free.
    const auto running = [] {
        return std::make_unique<test::AppProcess>(test::velmoBinary, test::AppProcess::Options{{}, {}, true});
    };
    {
        SCOPED_TRACE("uninstall during a start");
        auto quitting = running();
        ASSERT_EQ(quitting->awaitReadiness(20s), "com.halvester.velmo\n");
        const auto lock = instanceSocket(temp).replace_extension(".lock");
        std::filesystem::remove(instanceSocket(temp));  // so the launch keeps trying the lock
        // The launch's first lock comes after the quit and the uninstall below.
        auto launch = std::make_unique<test::AppProcess>(
            test::velmoBinary, test::AppProcess::Options{{}, {}, false, true, test::preloaded({{"VELMO_DELAY_FIRST_LOCK_MS", "1500"}})});
        for (int i = 0; i < 200 && !hasOpened(launch->pid(), passwdHome() / ".local/state/velmo-instance"); ++i)
            std::this_thread::sleep_for(10ms);
        std::this_thread::sleep_for(300ms);
        quitting.reset();
        // What uninstall does once no Velmo holds the lock.
        const int fd = ::open(lock.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
        std::filesystem::remove(lock);
        ::close(fd);
        for (int i = 0; i < 1000 && instanceSocket(temp).filename() == "no.socket"; ++i) std::this_thread::sleep_for(10ms);
        test::AppProcess later(test::velmoBinary, {{"photo.jpg"}, temp.path(), false, true});
        EXPECT_EQ(later.awaitExit(15s), 0) << "a second Velmo started: " << later.output() << launch->output();
        EXPECT_EQ(InstanceClient::stagedCount(instanceSocket(temp)), "1");
    }
    {
        SCOPED_TRACE("a launch while an update hands over");
        auto replaced = running();
        ASSERT_EQ(replaced->awaitReadiness(20s), "com.halvester.velmo\n");
        auto updated = running();  // the updater's copy: it waits for the lock
        ASSERT_EQ(updated->awaitReadiness(20s), "com.halvester.velmo\n");
        // Held back, the updated copy cannot take the lock first when the replaced one goes.
        updated->signal(SIGSTOP);
        replaced.reset();
        test::AppProcess launch(test::velmoBinary, {{"photo.jpg"}, temp.path(), false, true});
        std::this_thread::sleep_for(1s);
        updated->signal(SIGCONT);
        EXPECT_EQ(launch.awaitExit(15s), 0) << "a second Velmo started: " << launch.output();
        EXPECT_EQ(InstanceClient::stagedCount(instanceSocket(temp)), "1") << "the updated copy took the files";
    }
}

// Velmo notes the folders it makes above its own, for uninstall to remove, and only those; a
// home too long for a socket address still holds the socket file where launches meet.
TEST_F(SingleInstanceIntegrationTest, TheFoldersVelmoMakesAreNotedAndALongHomeStillMeets) {
    const auto home = passwdHome();
    {
        test::AppProcess first(test::velmoBinary, {{}, {}, true});
        ASSERT_EQ(first.awaitReadiness(20s), "com.halvester.velmo\n");
    }
    const auto record = rendezvous(temp) / "made-folders";
    EXPECT_EQ(test::readFile(record),
              (home / ".local/state").string() + "\n" + (home / ".local").string() + "\n");
    struct stat info {};
    EXPECT_EQ(::stat(record.c_str(), &info) == 0 ? info.st_mode & 0777 : 0, 0600u);

    const auto longHome = temp / std::string(60, 'h') / std::string(60, 'o');
    std::filesystem::create_directories(longHome / ".local/state");
    const AccountHomeAt moved(temp, longHome);
    ASSERT_TRUE(moved.mounted());
    ASSERT_EQ(passwdHome(), longHome);
    test::AppProcess first(test::velmoBinary, {{}, {}, true});
    ASSERT_EQ(first.awaitReadiness(20s), "com.halvester.velmo\n");
    test::AppProcess second(test::velmoBinary, {{"photo.jpg"}, temp.path(), false, true});
    EXPECT_EQ(second.awaitExit(20s), 0) << second.output();
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(longHome / ".local/state/velmo-instance"))
        files.push_back(entry.path().extension().string());
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{".lock", ".socket"})) << "a socket file, and nothing made to note";
}

// Once quitting, the instance takes no more connections: a launch meanwhile waits for the lock
// to come free instead of for an answer that never comes.
TEST_F(SingleInstanceIntegrationTest, AQuittingVelmoTakesNoMoreLaunches) {
    int argc = 1;
    char name[] = "velmo";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    SingleInstance instance;
    ASSERT_EQ(instance.acquire(), SingleInstance::Lock::held);
    instance.listen();
    const auto socket = instanceSocket(temp);
    const int before = InstanceClient::connect(socket);
    EXPECT_GE(before, 0);
    ::close(before);
    QTimer::singleShot(0, &app, &QCoreApplication::quit);
    app.exec();
    const int quitting = InstanceClient::connect(socket);
    EXPECT_LT(quitting, 0) << "a quitting Velmo still took a launch";
    if (quitting >= 0) ::close(quitting);
}

}  // namespace
}  // namespace velmo
