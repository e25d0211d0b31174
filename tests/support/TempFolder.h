// A fresh folder under the system's temporary directory, removed with everything in it.
#pragma once
#include <filesystem>
#include <string>

namespace velmo::test {

class TempFolder {
public:
    // Under `parent` when given, for instance /dev/shm where thousands of files are made fast.
    explicit TempFolder(const std::filesystem::path& parent = {});
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

    // Writes `content` to a file of that name in the folder.
    void write(const std::string& name, const std::string& content) const;

private:
    std::filesystem::path path_;
};

}  // namespace velmo::test
