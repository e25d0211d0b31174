// A hidden temporary file that a received file is written into before its final move.
#pragma once
#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <string>

#include "platform/Bytes.h"
#include "platform/Uuid.h"
#include "transfer/FileNaming.h"

namespace velmo {

class PartFile {
public:
    // A destination folder held open. A transfer keeps to the folder it began in: its part
    // files are made, moved into place and removed in that folder, also when the folder is
    // renamed or moved meanwhile, so nothing is left behind hidden. Every step names the file
    // relative to the held descriptor (openat, renameat2, linkat, unlinkat), never through a
    // path, so receiving works where /proc is not mounted.
    class Folder {
    public:
        // Opens the existing folder `path`; throws std::system_error with the platform's code.
        static std::shared_ptr<const Folder> open(const std::filesystem::path& path);
        ~Folder();
        Folder(const Folder&) = delete;
        Folder& operator=(const Folder&) = delete;

        int fd() const { return fd_; }
        // The path it was opened under, for messages.
        const std::filesystem::path& shown() const { return shown_; }
        // Where the folder is now (the opened path when that cannot be told).
        std::filesystem::path now() const;

    private:
        Folder(std::filesystem::path shown, int fd) : shown_(std::move(shown)), fd_(fd) {}
        std::filesystem::path shown_;
        int fd_;
    };

    // Creates ".velmo-<ID>.part" in `folder` for writing: exclusively, never through a symbolic
    // link, mode 0600, and holds an flock on it until it is moved into place or discarded, so
    // no other Velmo's start-up sweep takes it. Throws std::system_error with the platform's
    // code when it cannot.
    // `beforeLock`, when set, is called between the creation and the lock (tests play a sweep
    // there).
    static PartFile create(std::shared_ptr<const Folder> folder, const Uuid& id,
                           void (*beforeLock)(int dir, const char* name) = nullptr);
    // The same in the folder at `folder`, opened here.
    static PartFile create(const std::filesystem::path& folder, const Uuid& id,
                           void (*beforeLock)(int dir, const char* name) = nullptr);

    // The temporary name of the transfer `id` in `folder`.
    static std::filesystem::path pathFor(const std::filesystem::path& folder, const Uuid& id);
    // Where the move of the part file `part` notes a placeholder it claimed, for a sweep after a crash.
    static std::filesystem::path claimFor(const std::filesystem::path& part);

    // The mode a new file in the folder `dir` gets: 0666 less the file mode creation mask, read
    // from `status` (this process's status in /proc) or, where that cannot be read, shown by an
    // unnamed file made in the folder.
    static mode_t newFileMode(int dir, const char* status = "/proc/self/status");

    // Creates the download folder and its parents; an existing one is fine. Throws FileError.
    static void createFolder(const std::filesystem::path& folder);

    // Removes the part files a killed Velmo left in `folder`: entries of exactly our name
    // pattern that are regular files of this user and that no live writer holds locked, never
    // following a link and never another user's; with each, the empty placeholder its last-resort
    // move had claimed under a final name (see FileNaming::moveNoReplace). Returns how many
    // files went.
    static std::size_t removeStale(const std::filesystem::path& folder);

    PartFile(PartFile&& other) noexcept;
    PartFile& operator=(PartFile&&) = delete;
    PartFile(const PartFile&) = delete;
    ~PartFile();  // discards the file unless it was moved into place

    // Where the file was made (in the folder as it was named then).
    std::filesystem::path path() const { return folder_->shown() / name_; }

    // Writes all of `bytes` at the end of what was written so far; throws FileError.
    void write(ByteView bytes);

    // Closes the file, reporting a failed close (a late write error) as FileError.
    void close();

    // Gives the still open file the mode of any new file (0666 & ~umask), closes it and moves
    // it to the first free variant of `name` in its folder (FileNaming::unique) without
    // replacing anything (through `calls`); returns the final path, in the folder where it is
    // now. Throws FileError; the file then stays to be discarded. The lock is held until the
    // file has its final name.
    std::filesystem::path moveTo(const std::string& name,
                                 const FileNaming::MoveCalls& calls = FileNaming::MoveCalls::system());

    // Closes and removes the temporary file, ignoring errors. Idempotent.
    void discard() noexcept;

private:
    PartFile(std::shared_ptr<const Folder> folder, std::string name, int fd, int lock)
        : folder_(std::move(folder)), name_(std::move(name)), fd_(fd), lock_(lock) {}
    void unlock() noexcept;

    std::shared_ptr<const Folder> folder_;
    std::string name_;
    int fd_ = -1;
    int lock_ = -1;  // a second descriptor of the file, keeping its flock past close()
    bool placed_ = false;
};

}  // namespace velmo
