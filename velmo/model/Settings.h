// The four sharing settings in the user's INI file (~/.config/Velmo/Velmo.ini): read once
// at start, written back on every change. Unreadable values fall back to their defaults.
#pragma once
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "velmo/model/SharingMode.h"

class QSettings;

namespace velmo {

class Settings {
public:
    // The user's store.
    static std::unique_ptr<QSettings> standardStore();
    // An INI store at `path` (tests).
    static std::unique_ptr<QSettings> iniStore(const std::filesystem::path& path);

    explicit Settings(std::unique_ptr<QSettings> store);
    ~Settings();

    std::optional<SharingMode> sharingMode() const;
    // True unless a real boolean (or exactly "true"/"false") says otherwise.
    bool receiveFromAndroid() const;
    // The host name when none is stored; "Computer" when the host has none.
    std::string deviceName() const;
    // The user's Downloads folder when none is stored or the stored path is not absolute.
    std::filesystem::path downloadFolder() const;

    void setSharingMode(SharingMode mode);
    void setReceiveFromAndroid(bool on);
    void setDeviceName(const std::string& name);
    void setDownloadFolder(const std::filesystem::path& folder);

    static std::string defaultDeviceName();
    static std::filesystem::path defaultDownloadFolder();

private:
    std::unique_ptr<QSettings> store_;
};

}  // namespace velmo
