// A hidden temporary file that a received file is written into before its final move.
#pragma once
#include <filesystem>

#include "platform/Bytes.h"
#include "platform/Uuid.h"
#include "transfer/FileNaming.h"

namespace velmo {

class PartFile {
public:
    // Creates folder/".velmo-<ID>.part" for writing: exclusively, never through a symbolic
    // link, mode 0600, and holds an flock on it until it is moved into place or discarded, so
    // no other Velmo's start-up sweep takes it. Throws std::system_error with the platform's
    // code when it cannot.
    static PartFile create(const std::filesystem::path& folder, const Uuid& id);

    // The temporary name of the transfer `id` in `folder`.
    static std::filesystem::path pathFor(const std::filesystem::path& folder, const Uuid& id);
    // Where the move of the part file `part` notes a placeholder it claimed, for a sweep after a crash.
    static std::filesystem::path claimFor(const std::filesystem::path& part);

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

    const std::filesystem::path& path() const { return path_; }

    // Writes all of `bytes` at the end of what was written so far; throws FileError.
    void write(ByteView bytes);

    // Closes the file, reporting a failed close (a late write error) as FileError.
    void close();

    // Gives the still open file the mode of any new file (0666 & ~umask), closes it and moves
    // it to FileNaming::unique(wanted) without replacing anything (through `calls`); returns the
    // final path. Throws FileError; the file then stays to be discarded. The lock is held until
    // the file has its final name.
    std::filesystem::path moveTo(const std::filesystem::path& wanted,
                                 const FileNaming::MoveCalls& calls = FileNaming::MoveCalls::system());

    // Closes and removes the temporary file, ignoring errors. Idempotent.
    void discard() noexcept;

private:
    PartFile(std::filesystem::path path, int fd, int lock) : path_(std::move(path)), fd_(fd), lock_(lock) {}
    void unlock() noexcept;

    std::filesystem::path path_;
    int fd_ = -1;
    int lock_ = -1;  // a second descriptor of the file, keeping its flock past close()
    bool placed_ = false;
};

}  // namespace velmo
