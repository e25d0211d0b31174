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
#include <optional>
#include <vector>

class QLocalSocket;

namespace velmo {

class SingleInstance : public QObject {
    Q_OBJECT
public:
    using Files = std::vector<std::filesystem::path>;
    // Files handed over by a later launch and its window-activation token (may be empty).
    // Answers with the files the instance now holds staged, so the sender learns what was taken.
    using Handler = std::function<Files(const Files& files, const QByteArray& activationToken)>;

    // `folder`: where the lock and the socket live; the user's runtime folder by default.
    explicit SingleInstance(QString folder = runtimeFolder(), QObject* parent = nullptr);
    ~SingleInstance() override;

    static QString runtimeFolder();
    // The arguments that name existing files or folders, made absolute against the current folder.
    static Files existingPaths(const QStringList& arguments);

    void setHandler(Handler handler) { handler_ = std::move(handler); }

    // True when this process now is the one instance (it holds the lock and listens).
    bool acquire();
    // Waits for the lock until the instance holding it has gone, then listens: for a copy the
    // updater started while the copy it replaces is still quitting.
    void acquireWhenFree();

    // A later launch: sends `files` to the running instance and returns its answer, or nothing
    // when no instance answered within `timeout`.
    std::optional<Files> handOver(const Files& files, const QByteArray& activationToken,
                                  std::chrono::milliseconds timeout) const;

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
