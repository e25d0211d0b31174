// One Velmo per user and computer. The first launch holds a lock in a private folder of the
// user's home and listens on a local socket beside it (or, where the home holds no socket
// files, on an abstract socket its lock file names); a later launch hands its files to that
// instance and exits. The folder is found through the password database, not the environment,
// so launches from a desktop, a terminal without XDG_RUNTIME_DIR, su or ssh all meet there, and
// no other user can create or enter it. The lock, not the socket file, decides who runs: the
// kernel drops it when a process dies, so a socket left by a crash never blocks a start.
#pragma once
#include <QByteArray>
#include <QObject>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QLocalServer;
class QLocalSocket;

namespace velmo {

class SingleInstance : public QObject {
    Q_OBJECT
public:
    using Files = std::vector<std::filesystem::path>;
    // Files handed over by a later launch and its window-activation token (may be empty).
    // Answers how many files the instance now holds staged: a short reply whatever it holds.
    using Handler = std::function<std::size_t(const Files& files, const QByteArray& activationToken)>;

    // `folder`: where the lock and the socket live; rendezvousFolder() by default.
    explicit SingleInstance(std::filesystem::path folder = rendezvousFolder(), QObject* parent = nullptr);
    ~SingleInstance() override;

    // <home from the password database>/.local/state/velmo-instance; empty without a home.
    static std::filesystem::path rendezvousFolder();
    // The arguments, as the launch got them (any bytes), that name existing files or folders,
    // made absolute against `folder`.
    static Files existingPaths(const std::vector<std::string>& arguments, const std::filesystem::path& folder);

    void setHandler(Handler handler) { handler_ = std::move(handler); }

    enum class Lock { held, busy, unavailable };
    // Takes the lock when it is free and no copy the updater started waits for it (`busy`
    // then). `unavailable`: the folder is missing, not a private folder of this user, or the
    // lock cannot be made or taken there (said on stderr). Needs no application object.
    Lock acquire();
    // Listens for later launches; once the lock is held and the application object exists.
    void listen();
    // Waits for the lock until the instance holding it has gone, then listens: for a copy the
    // updater started while the copy it replaces is still quitting. Call it before telling the
    // updater this copy is up: from then on a launch that wins the lock steps aside for it.
    void acquireWhenFree();

    // `alone`: there is no usable folder, so this copy runs without the lock or hand-over.
    // `foreignSocket`: another user's socket is where the instance's belongs (said on stderr).
    enum class Launch { first, alone, handedOver, noAnswer, foreignSocket };
    // A launch, before any application object exists: becomes the one instance, or hands the
    // arguments that name existing files (relative ones against the current folder) to the
    // running one. Retries until `timeout` while the instance is still starting or already
    // quitting, whichever ends first.
    Launch start(const std::vector<std::string>& arguments, const std::string& activationToken,
                 std::chrono::milliseconds timeout);

private:
    bool openFolder();
    void recordMadeFolders(const std::vector<std::filesystem::path>& made);
    std::string socketAddress() const;
    std::string abstractAddress() const;
    void serve(QLocalSocket* socket);

    std::filesystem::path folder_;
    int folderFd_ = -1;
    int lockFd_ = -1;
    int successorFd_ = -1;
    bool locked_ = false;
    bool listening_ = false;
    bool abstract_ = false;
    std::unique_ptr<QLocalServer> server_;
    Handler handler_;
};

}  // namespace velmo
