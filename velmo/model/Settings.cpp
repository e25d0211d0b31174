#include "velmo/model/Settings.h"

#include <QDir>
#include <QSettings>
#include <QStandardPaths>
#include <QSysInfo>

namespace velmo {

namespace {

const QString sharingModeKey = QStringLiteral("sharingConsentMode");
const QString receiveKey = QStringLiteral("receiveFromAndroid");
const QString deviceNameKey = QStringLiteral("deviceName");
const QString downloadFolderKey = QStringLiteral("downloadFolder");

std::filesystem::path toPath(const QString& text) {
    return std::filesystem::path(text.toStdString());
}

}  // namespace

std::unique_ptr<QSettings> Settings::standardStore() {
    return std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("Velmo"),
                                       QStringLiteral("Velmo"));
}

std::unique_ptr<QSettings> Settings::iniStore(const std::filesystem::path& path) {
    return std::make_unique<QSettings>(QString::fromStdString(path.string()), QSettings::IniFormat);
}

Settings::Settings(std::unique_ptr<QSettings> store) : store_(std::move(store)) {}
Settings::~Settings() = default;

std::optional<SharingMode> Settings::sharingMode() const {
    QVariant value = store_->value(sharingModeKey);
    if (value.typeId() != QMetaType::QString) return std::nullopt;
    return sharingModeFromRaw(value.toString().toStdString());
}

bool Settings::receiveFromAndroid() const {
    QVariant value = store_->value(receiveKey);
    if (value.typeId() == QMetaType::Bool) return value.toBool();
    // INI files give every value back as text; only the two spellings QSettings writes count.
    if (value.typeId() == QMetaType::QString) {
        if (value.toString() == QLatin1String("true")) return true;
        if (value.toString() == QLatin1String("false")) return false;
    }
    return true;
}

std::string Settings::deviceName() const {
    QVariant value = store_->value(deviceNameKey);
    if (value.typeId() == QMetaType::QString) return value.toString().toStdString();
    return defaultDeviceName();
}

std::filesystem::path Settings::downloadFolder() const {
    QVariant value = store_->value(downloadFolderKey);
    if (value.typeId() == QMetaType::QString) {
        // A relative or empty path would put received files wherever the app was started.
        auto path = toPath(value.toString());
        if (path.is_absolute()) return path;
    }
    return defaultDownloadFolder();
}

void Settings::setSharingMode(SharingMode mode) {
    store_->setValue(sharingModeKey, QString::fromUtf8(rawValue(mode).data(), qsizetype(rawValue(mode).size())));
    store_->sync();
}

void Settings::setReceiveFromAndroid(bool on) {
    store_->setValue(receiveKey, on);
    store_->sync();
}

void Settings::setDeviceName(const std::string& name) {
    store_->setValue(deviceNameKey, QString::fromStdString(name));
    store_->sync();
}

void Settings::setDownloadFolder(const std::filesystem::path& folder) {
    store_->setValue(downloadFolderKey, QString::fromStdString(folder.string()));
    store_->sync();
}

std::string Settings::defaultDeviceName() {
    QString host = QSysInfo::machineHostName();
    return host.isEmpty() ? std::string("Computer") : host.toStdString();
}

std::filesystem::path Settings::defaultDownloadFolder() {
    QString folder = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    if (folder.isEmpty()) folder = QDir::homePath();
    return toPath(folder);
}

}  // namespace velmo
