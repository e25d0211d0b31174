#include "velmo/SingleInstance.h"

#include "velmo/LockFile.h"

#include "platform/Random.h"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QTimer>

#include <cctype>
#include <cstddef>
#include <cerrno>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <thread>

namespace velmo {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* requestTag = "velmo-open-2";
constexpr std::string_view tokenPrefix = "token=";
constexpr std::string_view folderPrefix = "folder=";
// A request or reply is a list of NUL-terminated fields closed by an empty one. The request
// carries the tag, the token and the launch's folder (each with a prefix, so never empty) and
// then the arguments as the launch got them. Linux never gives a program more than 3/4 of the
// 8 MiB default stack limit for its arguments and environment together, whatever `ulimit -s`
// says, so this cap fits every launch and still bounds what a peer can make us hold.
constexpr std::size_t requestLimit = 8 << 20;
// The reply is the number of files staged.
constexpr std::size_t replyLimit = 64;
constexpr auto connectionTimeout = 5s;
constexpr auto retryPause = 50ms;

std::string encode(const std::vector<std::string>& fields) {
    std::string out;
    for (const auto& field : fields) {
        out += field;
        out += '\0';
    }
    out += '\0';
    return out;
}

// A message as it arrives: each read is appended and only the new bytes are searched for the
// closing empty field, so a large request costs its length once, not once per read. The
// search starts one byte back: the two NULs that close a message may come in two reads.
struct Incoming {
    std::string data;
    std::size_t searched = 0;
    bool done = false;

    bool complete() {
        if (!done) {
            done = (!data.empty() && data[0] == '\0') ||
                   data.find(std::string_view("\0\0", 2), searched > 0 ? searched - 1 : 0) != std::string::npos;
            searched = data.size();
        }
        return done;
    }
    // The fields before the closing empty one; call once complete.
    std::vector<std::string> fields() const {
        std::vector<std::string> out;
        for (std::size_t start = 0, end; (end = data.find('\0', start)) != std::string::npos && end > start;
             start = end + 1)
            out.push_back(data.substr(start, end - start));
        return out;
    }
};

std::optional<std::string> withoutPrefix(const std::string& field, std::string_view prefix) {
    if (!field.starts_with(prefix)) return std::nullopt;
    return field.substr(prefix.size());
}

// What an argument names, resolved against `folder` and without "." parts, when that exists.
// The bytes are kept as they are: a name that is not UTF-8 still names its file.
std::optional<std::filesystem::path> existing(const std::filesystem::path& folder, const std::string& argument) {
    if (argument.empty()) return std::nullopt;
    const std::filesystem::path given(argument);
    std::filesystem::path resolved = given.is_absolute() ? "/" : folder;
    if (!resolved.is_absolute()) return std::nullopt;
    for (const auto& part : given.relative_path())
        if (!part.empty() && part != ".") resolved /= part;
    struct stat info {};
    if (::stat(resolved.c_str(), &info) != 0) return std::nullopt;
    return resolved;
}

// The user at the other end of a local socket.
std::optional<uid_t> peerUser(int fd) {
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) return std::nullopt;
    return credentials.uid;
}

// This computer: its machine id, which stays while the host name may change, else its name.
std::string computerPart() {
    std::ifstream file("/etc/machine-id");
    std::string id;
    if (std::getline(file, id) && id.size() == 32 && id.find_first_not_of("0123456789abcdef") == std::string::npos)
        return id;
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0 || !host[0]) return "localhost";
    std::string out;
    for (const char* c = host; *c && out.size() < 64; ++c)
        out += (std::isalnum(static_cast<unsigned char>(*c)) || *c == '-' || *c == '.') ? *c : '_';
    return out;
}

// The file names in the folder name the computer: a home shared over the network holds one
// instance per computer, and a lock there never stops a launch on another one.
std::string lockName() { return "instance-" + computerPart() + ".lock"; }
std::string socketName() { return "instance-" + computerPart() + ".socket"; }
// Held by a copy the updater started while it waits for the lock of the copy it replaces.
std::string successorName() { return "instance-" + computerPart() + ".successor.lock"; }

// Where a home holds no socket files, the instance listens on an unnamed (abstract) socket of
// a random name (so no one can take it first), and writes it in its lock file, which only this
// user reads. The name keeps no one out: every local user can read it in /proc/net/unix and
// connect. What keeps strangers out are the peer-credential checks both ends make, as for a
// socket file.
constexpr std::string_view abstractPrefix = "velmo-";
constexpr std::size_t abstractLength = abstractPrefix.size() + 32;

std::optional<std::string> freshAbstractName() {
    try {
        return std::string(abstractPrefix) + toHex(randomBytes(16));
    } catch (const std::exception&) {
        return std::nullopt;  // no random source: no fresh name
    }
}

// A socket address: a path, or an abstract name when it starts with NUL. Zero when it does not fit.
socklen_t addressOf(const std::string& address, sockaddr_un& where) {
    where = {};
    where.sun_family = AF_UNIX;
    if (address.empty() || address.size() >= sizeof where.sun_path) return 0;
    std::memcpy(where.sun_path, address.data(), address.size());
    return socklen_t(offsetof(sockaddr_un, sun_path) + address.size() + (address[0] ? 1 : 0));
}

// A connection to the instance at `address`, or -1. Never one to another user's process;
// `stranger`, when given, is set when another user's process listens there.
int connectTo(const std::string& address, bool* stranger = nullptr) {
    sockaddr_un where;
    const socklen_t size = addressOf(address, where);
    if (size == 0) return -1;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&where), size) != 0) {
        ::close(fd);
        return -1;
    }
    if (const auto peer = peerUser(fd); peer != ::getuid()) {
        if (stranger && peer) *stranger = true;
        ::close(fd);
        return -1;
    }
    return fd;
}

// A listening socket at `address`, or -1 with errno.
int listenAt(const std::string& address) {
    sockaddr_un where;
    const socklen_t size = addressOf(address, where);
    if (size == 0) {
        errno = ENAMETOOLONG;
        return -1;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&where), size) != 0 || ::listen(fd, 16) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

// Waits for `events` on `fd` until `deadline`.
bool await(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, static_cast<int>(left));
        if (n > 0) return true;
        if (n == 0 || errno != EINTR) return false;
    }
}

// Sends the request and reads the reply; true once the instance has answered.
bool handOver(int fd, const std::string& request, Clock::time_point deadline) {
    for (std::size_t sent = 0; sent < request.size();) {
        const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n > 0) sent += static_cast<std::size_t>(n);
        else if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        else if (!await(fd, POLLOUT, deadline)) return false;
    }
    Incoming reply;
    while (reply.data.size() <= replyLimit && !reply.complete()) {
        char buffer[replyLimit + 1];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n > 0) reply.data.append(buffer, static_cast<std::size_t>(n));
        else if (n == 0 || (errno != EAGAIN && errno != EINTR)) return false;
        else if (!await(fd, POLLIN, deadline)) return false;
    }
    return reply.data.size() <= replyLimit && reply.complete();
}

}  // namespace

SingleInstance::SingleInstance(std::filesystem::path folder, QObject* parent)
    : QObject(parent), folder_(std::move(folder)) {}

SingleInstance::~SingleInstance() {
    // The socket goes before the lock, so the next instance never sees its fresh socket removed.
    if (server_) server_->close();
    if (listening_ && !abstract_) ::unlinkat(folderFd_, socketName().c_str(), 0);
    if (lockFd_ >= 0) ::close(lockFd_);
    if (successorFd_ >= 0) ::close(successorFd_);
    if (folderFd_ >= 0) ::close(folderFd_);
}

std::filesystem::path SingleInstance::rendezvousFolder() {
    // Not $HOME: a launch with another HOME or XDG setting must still meet the running Velmo.
    const passwd* user = ::getpwuid(::getuid());
    if (!user || !user->pw_dir || user->pw_dir[0] != '/') return {};
    return std::filesystem::path(user->pw_dir) / ".local/state/velmo-instance";
}

SingleInstance::Files SingleInstance::existingPaths(const std::vector<std::string>& arguments,
                                                    const std::filesystem::path& folder) {
    Files files;
    for (const auto& argument : arguments)
        if (auto path = existing(folder, argument)) files.push_back(std::move(*path));
    return files;
}

bool SingleInstance::openFolder() {
    if (folderFd_ >= 0) return true;
    if (folder_.empty()) return false;
    // The folders above ours that this launch makes, deepest first: uninstall removes those
    // (once empty) and no folder the user had.
    std::vector<std::filesystem::path> missing, made;
    for (auto above = folder_.parent_path(); above.has_relative_path(); above = above.parent_path()) {
        struct stat info {};
        if (::lstat(above.c_str(), &info) == 0 || errno != ENOENT) break;
        missing.push_back(above);
    }
    for (auto folder = missing.rbegin(); folder != missing.rend(); ++folder)
        if (::mkdir(folder->c_str(), 0777) == 0) made.insert(made.begin(), *folder);
    ::mkdir(folder_.c_str(), 0700);
    // Ours alone, and no link: nobody else may place a socket or lock where we look for them.
    const int fd = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat info {};
    if (fd >= 0 && ::fstat(fd, &info) == 0 && info.st_uid == ::getuid() && (info.st_mode & 077) == 0) {
        folderFd_ = fd;
        if (!made.empty()) recordMadeFolders(made);
        return true;
    }
    if (fd >= 0) ::close(fd);
    std::fprintf(stderr, "Velmo cannot use %s (not a private folder of this user); it runs without handing files "
                 "to a running Velmo\n", folder_.c_str());
    return false;
}

void SingleInstance::recordMadeFolders(const std::vector<std::filesystem::path>& made) {
    std::string lines;
    for (const auto& folder : made)
        if (folder.native().find('\n') == std::string::npos) lines += folder.native() + '\n';
    const int fd = ::openat(folderFd_, "made-folders", O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    struct stat info {};
    const bool written = fd >= 0 && ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
                         ::write(fd, lines.data(), lines.size()) == ssize_t(lines.size());
    if (fd >= 0) ::close(fd);
    if (!written) std::fprintf(stderr, "Velmo cannot note the folders it made in %s\n", folder_.c_str());
}

std::string SingleInstance::socketAddress() const {
    const std::string plain = (folder_ / socketName()).native();
    // A long home still fits a socket address, through the folder's open descriptor.
    if (plain.size() < sizeof(sockaddr_un::sun_path)) return plain;
    return "/proc/self/fd/" + std::to_string(folderFd_) + "/" + socketName();
}

std::string SingleInstance::abstractAddress() const {
    const int fd = ::openat(folderFd_, lockName().c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return {};
    char written[abstractLength + 2];
    struct stat info {};
    const ssize_t n = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::getuid()
                          ? ::pread(fd, written, sizeof written, 0)
                          : -1;
    ::close(fd);
    if (n != ssize_t(abstractLength + 1) || written[abstractLength] != '\n') return {};
    const std::string name(written, abstractLength);
    if (!name.starts_with(abstractPrefix) ||
        name.find_first_not_of("0123456789abcdef", abstractPrefix.size()) != std::string::npos)
        return {};
    return '\0' + name;
}

SingleInstance::Lock SingleInstance::acquire() {
    if (locked_) return Lock::held;
    if (!openFolder()) return Lock::unavailable;
    const auto lock = LockFile::take(folderFd_, lockName(), false);
    switch (lock.state) {
    case LockFile::held: break;
    case LockFile::busy: return Lock::busy;
    case LockFile::unmade:
        std::fprintf(stderr, "Velmo cannot make its lock in %s\n", folder_.c_str());
        return Lock::unavailable;
    case LockFile::unlockable:
        std::fprintf(stderr, "Velmo cannot lock %s (%s); it runs without handing files to a running Velmo\n",
                     (folder_ / lockName()).c_str(), std::strerror(lock.error));
        return Lock::unavailable;
    }
    // A copy the updater started waits for this lock: the turn is its own, and a launch that
    // won the lock meanwhile hands over to it once it listens.
    if (LockFile::heldElsewhere(folderFd_, successorName())) {
        ::close(lock.fd);
        return Lock::busy;
    }
    lockFd_ = lock.fd;
    locked_ = true;
    return Lock::held;
}

void SingleInstance::acquireWhenFree() {
    if (locked_ || folderFd_ < 0 || successorFd_ >= 0) return;
    // Taken before this copy tells the updater it is up, so before the copy it replaces quits.
    const auto successor = LockFile::take(folderFd_, successorName(), false);
    successorFd_ = successor.fd;
    const int folder = ::fcntl(folderFd_, F_DUPFD_CLOEXEC, 0);
    if (folder < 0) {
        if (successorFd_ >= 0) ::close(successorFd_);
        successorFd_ = -1;
        return;
    }
    QPointer<SingleInstance> self(this);
    std::thread([self, folder] {
        const int fd = LockFile::take(folder, lockName(), true).fd;
        ::close(folder);
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, fd] {
                if (!self) {
                    if (fd >= 0) ::close(fd);
                    return;
                }
                if (fd >= 0) {
                    self->lockFd_ = fd;
                    self->locked_ = true;
                    self->listen();
                }
                if (self->successorFd_ >= 0) ::close(self->successorFd_);
                self->successorFd_ = -1;
            },
            Qt::QueuedConnection);
    }).detach();
}

void SingleInstance::listen() {
    if (listening_ || !locked_) return;
    // Whatever socket is left belongs to an instance that has gone: this one holds the lock.
    ::unlinkat(folderFd_, socketName().c_str(), 0);
    int fd = listenAt(socketAddress());
    if (fd < 0) {
        const int error = errno;
        // A home that holds no socket files (SMB without Unix extensions, several FUSE mounts).
        // The name, of the same length each time, overwrites any earlier instance's.
        const auto name = freshAbstractName();
        const std::string written = name ? *name + '\n' : std::string();
        fd = name ? listenAt('\0' + *name) : -1;
        if (fd >= 0 && ::pwrite(lockFd_, written.data(), written.size(), 0) != ssize_t(written.size())) {
            ::close(fd);
            fd = -1;
        }
        if (fd < 0) {
            std::fprintf(stderr, "Velmo cannot listen for later launches: %s\n", std::strerror(error));
            return;
        }
        abstract_ = true;
    }
    server_ = std::make_unique<QLocalServer>();
    connect(server_.get(), &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = server_->nextPendingConnection()) serve(socket);
    });
    // A quitting instance answers no one: it stops listening at once, so a launch meanwhile
    // waits for the lock instead of for a reply.
    if (auto* app = QCoreApplication::instance())
        connect(app, &QCoreApplication::aboutToQuit, server_.get(), [this] { server_->close(); });
    listening_ = server_->listen(fd);
    if (!listening_) ::close(fd);
}

void SingleInstance::serve(QLocalSocket* socket) {
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    // The folder keeps others out; this keeps out whatever reaches the socket anyway.
    if (peerUser(int(socket->socketDescriptor())) != ::getuid()) return socket->abort();
    QTimer::singleShot(connectionTimeout, socket, [socket] { socket->abort(); });
    auto request = std::make_shared<Incoming>();
    connect(socket, &QLocalSocket::readyRead, this, [this, socket, request] {
        if (request->data.size() + std::size_t(socket->bytesAvailable()) > requestLimit) return socket->abort();
        request->data += socket->readAll().toStdString();
        if (!request->complete()) return;
        disconnect(socket, &QLocalSocket::readyRead, this, nullptr);
        const auto fields = request->fields();
        const auto token = fields.size() > 1 ? withoutPrefix(fields[1], tokenPrefix) : std::nullopt;
        const auto folder = fields.size() > 2 ? withoutPrefix(fields[2], folderPrefix) : std::nullopt;
        if (fields.empty() || fields[0] != requestTag || !token || !folder || !folder->starts_with('/'))
            return socket->abort();
        const auto files = existingPaths({fields.begin() + 3, fields.end()}, *folder);
        const std::size_t staged = handler_ ? handler_(files, QByteArray::fromStdString(*token)) : 0;
        const auto reply = encode({std::to_string(staged)});
        socket->write(reply.data(), qint64(reply.size()));
        socket->disconnectFromServer();
    });
}

SingleInstance::Launch SingleInstance::start(const std::vector<std::string>& arguments,
                                             const std::string& activationToken, std::chrono::milliseconds timeout) {
    // The arguments go as given, relative ones with the folder they are relative to, so the
    // request is never much longer than the launch's own command line.
    std::error_code error;
    const auto here = std::filesystem::current_path(error);
    // In a removed working folder only absolute names name something; they still go over.
    std::vector<std::string> fields{requestTag, std::string(tokenPrefix) + activationToken,
                                    std::string(folderPrefix) + (error ? "/" : here.native())};
    for (const auto& argument : arguments)
        if (existing(here, argument)) fields.push_back(argument);
    const std::string request = encode(fields);

    const auto deadline = Clock::now() + timeout;
    for (;;) {
        // The lock is free once the instance has gone, also one that was quitting a moment ago.
        switch (acquire()) {
        case Lock::held: return Launch::first;
        case Lock::unavailable: return Launch::alone;
        case Lock::busy: break;
        }
        // Another user's socket where ours belongs never answers us: say so rather than wait.
        struct stat info {};
        bool stranger = ::fstatat(folderFd_, socketName().c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                        info.st_uid != ::getuid();
        int fd = stranger ? -1 : connectTo(socketAddress(), &stranger);
        if (stranger) {
            std::fprintf(stderr, "Velmo cannot hand the files over: %s is another user's socket, not yours.\n",
                         (folder_ / socketName()).c_str());
            return Launch::foreignSocket;
        }
        // An instance in a home that holds no socket files: its lock file names where it listens.
        if (fd < 0) fd = connectTo(abstractAddress());
        if (fd >= 0) {
            const bool answered = handOver(fd, request, deadline);
            ::close(fd);
            if (answered) return Launch::handedOver;
        }
        // Not listening yet (starting) or any more (quitting), or it closed on us while quitting.
        if (Clock::now() >= deadline) return Launch::noAnswer;
        std::this_thread::sleep_for(retryPause);
    }
}

}  // namespace velmo
