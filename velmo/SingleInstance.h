// One Velmo per user. The first launch holds a lock in the user's runtime folder and listens on
// a local socket beside it; a later launch hands its files to that instance and exits. The
// lock, not the socket file, decides who runs: the kernel drops it when a process dies, so a
// socket left by a crash never blocks a start.
#pragma once
#include <QByteArray>
#include <QLocalServer>
#include <QObject>
#include <QString>
#include <QStringList>

#include <chrono>
#include <filesystem>
#include <functional>
#include <vector>

class QLocalSocket;

namespace velmo {

class SingleInstance : public QObject {
    Q_OBJECT
public:
    using Files = std::vector<std::filesystem::path>;
    // Files handed over by a later launch and its window-activation token (may be empty).
    // Answers how many files the instance now holds staged: a short reply whatever it holds.
    using Handler = std::function<std::size_t(const Files& files, const QByteArray& activationToken)>;

    // `folder`: where the lock and the socket live; the user's runtime folder by default.
    explicit SingleInstance(QString folder = runtimeFolder(), QObject* parent = nullptr);
    ~SingleInstance() override;

    // $XDG_RUNTIME_DIR; without it a private folder every launch of this user agrees on:
    // /run/user/<uid> when it is the user's own, else /tmp/velmo-<uid>. Empty when neither is
    // safe to use.
    static QString runtimeFolder();
    // The arguments that name existing files or folders, made absolute against `folder`.
    static Files existingPaths(const QStringList& arguments, const QString& folder);

    void setHandler(Handler handler) { handler_ = std::move(handler); }

    // True when this process now is the one instance (it holds the lock and listens).
    bool acquire();
    // Waits for the lock until the instance holding it has gone, then listens: for a copy the
    // updater started while the copy it replaces is still quitting.
    void acquireWhenFree();

    enum class Launch { first, handedOver, noAnswer };
    // A launch: becomes the one instance, or hands the arguments that name existing files
    // (relative ones against the current folder) to the running one. Retries until `timeout`
    // while the instance is still starting or already quitting, whichever ends first.
    Launch start(const QStringList& arguments, const QByteArray& activationToken, std::chrono::milliseconds timeout);

private:
    QString socketPath() const;
    bool tryLock();
    void listen();
    void serve(QLocalSocket* socket);

    QString folder_;
    int lockFd_ = -1;
    bool listening_ = false;
    QLocalServer server_;
    Handler handler_;
};

}  // namespace velmo
