#include "velmo/SingleInstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QPointer>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>

#include <memory>
#include <optional>
#include <thread>

namespace velmo {
namespace {

using namespace std::chrono_literals;

constexpr const char* baseName = "com.halvester.velmo";
constexpr const char* requestTag = "velmo-open-2";
constexpr const char* tokenPrefix = "token=";
constexpr const char* folderPrefix = "folder=";
// A request or reply is a list of NUL-terminated fields closed by an empty one. The request
// carries the tag, the token and the launch's folder (each with a prefix, so never empty) and
// then the arguments as the launch got them. Linux never gives a program more than 3/4 of the
// 8 MiB default stack limit for its arguments and environment together, whatever `ulimit -s`
// says, so this cap fits every launch and still bounds what a peer can make us hold.
constexpr qsizetype requestLimit = 8 << 20;
// The reply is the number of files staged.
constexpr qsizetype replyLimit = 64;
constexpr auto connectionTimeout = 5s;
constexpr auto retryPause = 50ms;

QByteArray encode(const std::vector<QByteArray>& fields) {
    QByteArray out;
    for (const auto& field : fields) {
        out += field;
        out += '\0';
    }
    out += '\0';
    return out;
}

// A message as it arrives: each read is appended and only the new bytes are searched for the
// closing empty field, so a large request costs its length once, not once per read.
struct Incoming {
    QByteArray data;
    qsizetype searched = 0;
    bool done = false;

    bool complete() {
        if (!done) {
            done = data.startsWith('\0') ||
                   data.indexOf(QByteArrayView("\0\0", 2), std::max<qsizetype>(searched - 1, 0)) >= 0;
            searched = data.size();
        }
        return done;
    }
    // The fields before the closing empty one; call once complete.
    std::vector<QByteArray> fields() const {
        std::vector<QByteArray> out;
        for (qsizetype start = 0, end; (end = data.indexOf('\0', start)) > start; start = end + 1)
            out.push_back(data.mid(start, end - start));
        return out;
    }
};

std::optional<QByteArray> withoutPrefix(const QByteArray& field, const char* prefix) {
    if (!field.startsWith(prefix)) return std::nullopt;
    return field.mid(qsizetype(std::char_traits<char>::length(prefix)));
}

// What an argument names, resolved against `folder`, when that exists.
std::optional<QFileInfo> existing(const QDir& folder, const QString& argument) {
    if (argument.isEmpty()) return std::nullopt;
    QFileInfo info(folder, argument);
    if (!info.isAbsolute() || !info.exists()) return std::nullopt;
    return info;
}

// A folder of ours: a real directory (no link), owned by this user, closed to everyone else.
bool isPrivateFolder(const QByteArray& path) {
    struct stat st{};
    return ::lstat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid() &&
           (st.st_mode & 077) == 0;
}

}  // namespace

SingleInstance::SingleInstance(QString folder, QObject* parent)
    : QObject(parent), folder_(std::move(folder)) {
    connect(&server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = server_.nextPendingConnection()) serve(socket);
    });
    // A quitting instance answers no one: it stops listening at once, so a launch meanwhile
    // waits for the lock instead of for a reply.
    if (auto* app = QCoreApplication::instance())
        connect(app, &QCoreApplication::aboutToQuit, this, [this] { server_.close(); });
}

SingleInstance::~SingleInstance() {
    // The socket goes before the lock, so the next instance never sees its fresh socket removed.
    server_.close();
    if (lockFd_ >= 0) ::close(lockFd_);
}

QString SingleInstance::runtimeFolder() {
    if (!qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
        return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    // Launches from a desktop session name /run/user/<uid>; one started without it must meet them there.
    const QByteArray uid = QByteArray::number(::getuid());
    const QByteArray session = "/run/user/" + uid;
    if (isPrivateFolder(session)) return QFile::decodeName(session);
    // Not the system's temporary folder setting: every launch must agree on the place.
    const QByteArray fallback = "/tmp/velmo-" + uid;
    ::mkdir(fallback.constData(), 0700);
    if (isPrivateFolder(fallback)) return QFile::decodeName(fallback);
    qWarning("Velmo cannot use %s (not a private folder of this user); later launches start a new Velmo",
             fallback.constData());
    return {};
}

SingleInstance::Files SingleInstance::existingPaths(const QStringList& arguments, const QString& folder) {
    const QDir base(folder);
    Files files;
    for (const auto& argument : arguments)
        if (const auto info = existing(base, argument))
            files.emplace_back(QFile::encodeName(info->absoluteFilePath()).toStdString());
    return files;
}

QString SingleInstance::socketPath() const { return folder_ + QLatin1Char('/') + baseName + ".socket"; }

bool SingleInstance::tryLock() {
    if (lockFd_ < 0) {
        // Without a usable runtime folder there is no one to hand over to: run alone.
        if (folder_.isEmpty()) return true;
        const QByteArray path = QFile::encodeName(folder_ + QLatin1Char('/') + baseName + ".lock");
        lockFd_ = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (lockFd_ < 0) return true;
    }
    return ::flock(lockFd_, LOCK_EX | LOCK_NB) == 0;
}

bool SingleInstance::acquire() {
    if (!tryLock()) return false;
    listen();
    return true;
}

void SingleInstance::acquireWhenFree() {
    if (lockFd_ < 0) return;
    // A blocked flock wakes as soon as the previous copy's lock goes, ahead of any launch
    // that starts meanwhile. The waiting thread holds its own descriptor of the same open
    // lock, so the lock is this object's once it is taken.
    const int waiting = ::fcntl(lockFd_, F_DUPFD_CLOEXEC, 0);
    if (waiting < 0) return;
    QPointer<SingleInstance> self(this);
    std::thread([self, waiting] {
        while (::flock(waiting, LOCK_EX) != 0 && errno == EINTR) {
        }
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [self] { if (self) self->listen(); }, Qt::QueuedConnection);
        ::close(waiting);
    }).detach();
}

void SingleInstance::listen() {
    if (listening_ || lockFd_ < 0) return;
    // Whatever socket is left belongs to an instance that has gone: this one holds the lock.
    QLocalServer::removeServer(socketPath());
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    listening_ = server_.listen(socketPath());
    if (!listening_) qWarning("Velmo cannot listen for later launches: %s", qPrintable(server_.errorString()));
}

void SingleInstance::serve(QLocalSocket* socket) {
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    QTimer::singleShot(connectionTimeout, socket, [socket] { socket->abort(); });
    auto request = std::make_shared<Incoming>();
    connect(socket, &QLocalSocket::readyRead, this, [this, socket, request] {
        if (request->data.size() + socket->bytesAvailable() > requestLimit) return socket->abort();
        request->data += socket->readAll();
        if (!request->complete()) return;
        disconnect(socket, &QLocalSocket::readyRead, this, nullptr);
        const auto fields = request->fields();
        const auto token = fields.size() > 1 ? withoutPrefix(fields[1], tokenPrefix) : std::nullopt;
        const auto folder = fields.size() > 2 ? withoutPrefix(fields[2], folderPrefix) : std::nullopt;
        if (fields.empty() || fields[0] != requestTag || !token || !folder || !folder->startsWith('/'))
            return socket->abort();
        QStringList arguments;
        for (auto field = fields.begin() + 3; field != fields.end(); ++field) arguments.append(QFile::decodeName(*field));
        const auto files = existingPaths(arguments, QFile::decodeName(*folder));
        const std::size_t staged = handler_ ? handler_(files, *token) : 0;
        socket->write(encode({QByteArray::number(qulonglong(staged))}));
        socket->disconnectFromServer();
    });
}

SingleInstance::Launch SingleInstance::start(const QStringList& arguments, const QByteArray& activationToken,
                                             std::chrono::milliseconds timeout) {
    // The arguments go as given, relative ones with the folder they are relative to, so the
    // request is never much longer than the launch's own command line.
    const QDir here = QDir::current();
    std::vector<QByteArray> fields{requestTag, tokenPrefix + activationToken,
                                   folderPrefix + QFile::encodeName(here.absolutePath())};
    for (const auto& argument : arguments)
        if (existing(here, argument)) fields.push_back(QFile::encodeName(argument));
    const QByteArray request = encode(fields);

    const QDeadlineTimer deadline(timeout);
    const auto remaining = [&deadline] { return int(std::max<qint64>(deadline.remainingTime(), 1)); };
    for (;;) {
        // The lock is free once the instance has gone, also one that was quitting a moment ago.
        if (acquire()) return Launch::first;
        QLocalSocket socket;
        socket.connectToServer(socketPath());
        if (socket.waitForConnected(remaining())) {
            socket.write(request);
            while (socket.bytesToWrite() > 0 && socket.waitForBytesWritten(remaining())) {
            }
            Incoming reply;
            while (socket.bytesToWrite() == 0 && reply.data.size() <= replyLimit && !reply.complete() &&
                   !deadline.hasExpired()) {
                const bool more = socket.waitForReadyRead(remaining());
                reply.data += socket.read(replyLimit + 1 - reply.data.size());
                if (!more && socket.state() != QLocalSocket::ConnectedState && socket.bytesAvailable() == 0) break;
            }
            if (reply.data.size() <= replyLimit && reply.complete()) return Launch::handedOver;
        }
        // Not listening yet (starting) or any more (quitting), or it closed on us while quitting.
        if (deadline.hasExpired()) return Launch::noAnswer;
        QThread::msleep(retryPause.count());
    }
}

}  // namespace velmo
