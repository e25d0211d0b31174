// A file-system failure of a transfer told as a sentence about what the user knows: the
// download folder or the file being sent, by its name; never a hidden part file's path or a
// bare system message. code() keeps the platform's code for callers that compare it.
#pragma once
#include <filesystem>
#include <string>
#include <system_error>

namespace velmo {

class FileError : public std::system_error {
public:
    // Saving a received file into `folder` failed with `code`.
    static FileError saving(const std::filesystem::path& folder, std::error_code code);
    // Creating the download folder `folder` (and its parents) failed with `code`.
    static FileError creatingFolder(const std::filesystem::path& folder, std::error_code code);
    // Reading `file` to send it failed with `code`.
    static FileError reading(const std::filesystem::path& file, std::error_code code);

    // `file` is a FIFO, a device or a socket: it could block a send for ever or never end.
    static FileError notRegular(const std::filesystem::path& file);
    // `file` ended before the size it was announced with had been sent.
    static FileError shrank(const std::filesystem::path& file);
    // `file` was replaced or written to after it was chosen, so what was sent is not what was chosen.
    static FileError changed(const std::filesystem::path& file);

    static FileError saving(const std::filesystem::path& folder, int error) {
        return saving(folder, std::error_code(error, std::generic_category()));
    }
    static FileError reading(const std::filesystem::path& file, int error) {
        return reading(file, std::error_code(error, std::generic_category()));
    }

    // The name a user knows a folder or file by, as sentences show it: its last component
    // ("Downloads" for "Downloads/"), cleaned as every shown name is and isolated from the words
    // around it.
    static std::string nameInSentence(const std::filesystem::path& path);

    const char* what() const noexcept override { return sentence_.c_str(); }

private:
    FileError(std::error_code code, std::string sentence);

    std::string sentence_;
};

}  // namespace velmo
