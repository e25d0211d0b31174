#include "transfer/FileError.h"

#include <cerrno>

#include "platform/PosixError.h"
#include "transfer/FileNaming.h"
#include "transfer/PeerText.h"

namespace velmo {
namespace {

// The POSIX number behind `code`, or 0 when it is not a system error.
int posixNumber(std::error_code code) {
    const auto posix = posixCode(code);
    return posix ? static_cast<int>(*posix) : 0;
}

// The system's own text, only as the detail of a sentence of ours.
std::string detail(std::error_code code) { return " (" + code.message() + ")."; }

}  // namespace

std::string FileError::nameInSentence(const std::filesystem::path& path) {
    auto name = path.filename();
    if (name.empty()) name = path.parent_path().filename();
    return isolated(FileNaming::shownName(name.empty() ? path.string() : name.string()));
}

FileError::FileError(std::error_code code, std::string sentence)
    : std::system_error(code), sentence_(std::move(sentence)) {}

FileError FileError::saving(const std::filesystem::path& folder, std::error_code code) {
    const auto name = nameInSentence(folder);
    switch (posixNumber(code)) {
    case ENOSPC:
    case EDQUOT:
        return FileError(code, "There isn't enough free space in " + name + ".");
    case ENOENT:
    case ENOTDIR:
    case ESTALE: {
        // The part file or the folder it was in went away; say which one the user removed.
        std::error_code ignored;
        if (std::filesystem::is_directory(folder, ignored))
            return FileError(code, "The file was removed from " + name + " while it was arriving.");
        return FileError(code, "The " + name + " folder was removed while the file was arriving.");
    }
    case EACCES:
    case EPERM:
        return FileError(code, "Velmo isn't allowed to save files in " + name + ".");
    case EROFS:
        return FileError(code, "Velmo can't save files in " + name + ": it is read-only.");
    case EFBIG:
        return FileError(code, "The file is too large for the disk that holds " + name + ".");
    default:
        return FileError(code, "Couldn't save the file in " + name + detail(code));
    }
}

FileError FileError::creatingFolder(const std::filesystem::path& folder, std::error_code code) {
    switch (posixNumber(code)) {
    case ENOENT:
    case ENOTDIR:
    case EEXIST:  // a file, not a folder, has its name
        return FileError(code, "Velmo can't create the folder " + nameInSentence(folder) + ".");
    default:
        return saving(folder, code);
    }
}

FileError FileError::reading(const std::filesystem::path& file, std::error_code code) {
    const auto name = nameInSentence(file);
    switch (posixNumber(code)) {
    case ENOENT:
    case ENOTDIR:
    case ESTALE:
        return FileError(code, name + " is no longer there.");
    case EACCES:
    case EPERM:
        return FileError(code, "Velmo isn't allowed to read " + name + ".");
    default:
        return FileError(code, "Couldn't read " + name + detail(code));
    }
}

FileError FileError::notRegular(const std::filesystem::path& file) {
    return FileError(std::make_error_code(std::errc::invalid_argument), nameInSentence(file) + " is not a regular file.");
}

FileError FileError::shrank(const std::filesystem::path& file) {
    return FileError(std::make_error_code(std::errc::io_error), nameInSentence(file) + " got shorter while it was sent.");
}

FileError FileError::changed(const std::filesystem::path& file) {
    return FileError(std::make_error_code(std::errc::io_error), nameInSentence(file) + " changed while it was sent.");
}

}  // namespace velmo
