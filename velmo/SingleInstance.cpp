#include "velmo/SingleInstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QTimer>
#include <QCoreApplication>
#include <QPointer>
#include <QThread>

#include <memory>
#include <thread>

namespace velmo {
namespace {

using namespace std::chrono_literals;

constexpr const char* baseName = "com.halvester.velmo";
constexpr const char* requestTag = "velmo-open-1";
constexpr const char* tokenPrefix = "token=";
// A request or answer is a list of NUL-terminated fields closed by an empty one. Paths are
// absolute, so never empty; the token field carries a prefix for the same reason.
constexpr qsizetype messageLimit = 1 << 20;
constexpr auto connectionTimeout = 5s;

QByteArray encode(const std::vector<QByteArray>& fields) {
    QByteArray out;
    for (const auto& field : fields) {
        out += field;
        out += '\0';
    }
    out += '\0';
    return out;
}

// The fields before the closing empty one, or nothing while the message is incomplete.
std::optional<std::vector<QByteArray>> decode(const QByteArray& message) {
    std::vector<QByteArray> fields;
    qsizetype start = 0;
    for (;;) {
        const qsizetype end = message.indexOf('\0', start);
        if (end < 0) return std::nullopt;
        if (end == start) return fields;
        fields.push_back(message.mid(start, end - start));
        start = end + 1;
    }
}

SingleInstance::Files absoluteExisting(const std::vector<QByteArray>& paths) {
    SingleInstance::Files files;
    for (const auto& path : paths)
        if (path.startsWith('/') && QFileInfo::exists(QFile::decodeName(path))) files.emplace_back(path.toStdString());
    return files;
}

}  // namespace

SingleInstance::SingleInstance(QString folder, QObject* parent)
    : QObject(parent), folder_(std::move(folder)) {
    connect(&server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = server_.nextPendingConnection()) serve(socket);
    });
}

SingleInstance::~SingleInstance() {
    // The socket goes before the lock, so the next instance never sees its fresh socket removed.
    server_.close();
    if (lockFd_ >= 0) ::close(lockFd_);
}

QString SingleInstance::runtimeFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
}

SingleInstance::Files SingleInstance::existingPaths(const QStringList& arguments) {
    std::vector<QByteArray> paths;
    for (const auto& argument : arguments) paths.push_back(QFile::encodeName(QFileInfo(argument).absoluteFilePath()));
    return absoluteExisting(paths);
}

QString SingleInstance::socketPath() const { return folder_ + QLatin1Char('/') + baseName + ".socket"; }

bool SingleInstance::tryLock() {
    if (lockFd_ < 0) {
        const QByteArray path = QFile::encodeName(folder_ + QLatin1Char('/') + baseName + ".lock");
        lockFd_ = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        // Without a usable runtime folder there is no one to hand over to: run alone.
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
    auto received = std::make_shared<QByteArray>();
    connect(socket, &QLocalSocket::readyRead, this, [this, socket, received] {
        received->append(socket->readAll());
        if (received->size() > messageLimit) return socket->abort();
        auto fields = decode(*received);
        if (!fields) return;
        if (fields->size() < 2 || fields->at(0) != requestTag || !fields->at(1).startsWith(tokenPrefix))
            return socket->abort();
        disconnect(socket, &QLocalSocket::readyRead, this, nullptr);
        const QByteArray token = fields->at(1).mid(qsizetype(std::char_traits<char>::length(tokenPrefix)));
        const Files staged =
            handler_ ? handler_(absoluteExisting({fields->begin() + 2, fields->end()}), token) : Files{};
        std::vector<QByteArray> answer;
        for (const auto& file : staged) answer.emplace_back(QByteArray::fromStdString(file.string()));
        socket->write(encode(answer));
        socket->disconnectFromServer();
    });
}

std::optional<SingleInstance::Files> SingleInstance::handOver(const Files& files, const QByteArray& activationToken,
                                                              std::chrono::milliseconds timeout) const {
    const QDeadlineTimer deadline(timeout);
    QLocalSocket socket;
    // The running instance may be starting: it holds the lock a moment before it listens.
    for (;;) {
        socket.connectToServer(socketPath());
        if (socket.waitForConnected(int(std::max<qint64>(deadline.remainingTime(), 0)))) break;
        if (deadline.hasExpired()) return std::nullopt;
        QThread::msleep(50);
    }
    std::vector<QByteArray> request{requestTag, tokenPrefix + activationToken};
    for (const auto& file : files) request.emplace_back(QByteArray::fromStdString(file.string()));
    socket.write(encode(request));
    if (!socket.waitForBytesWritten(int(std::max<qint64>(deadline.remainingTime(), 1)))) return std::nullopt;
    QByteArray reply;
    std::optional<std::vector<QByteArray>> fields;
    while (!(fields = decode(reply))) {
        if (reply.size() > messageLimit || deadline.hasExpired()) return std::nullopt;
        const bool more = socket.waitForReadyRead(int(std::max<qint64>(deadline.remainingTime(), 1)));
        reply += socket.readAll();
        if (!more && socket.state() != QLocalSocket::ConnectedState && !decode(reply)) return std::nullopt;
    }
    Files staged;
    for (const auto& field : *fields) staged.emplace_back(field.toStdString());
    return staged;
}

}  // namespace velmo
