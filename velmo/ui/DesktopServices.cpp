#include "velmo/ui/DesktopServices.h"

#include <QFileDialog>
#include <QStringList>

#include "velmo/ui/UploadPage.h"

namespace velmo {
namespace {

std::filesystem::path toPath(const QString& text) { return std::filesystem::path(text.toStdString()); }

}  // namespace

void addDesktopServices(AppModelServices& services) {
    services.uploadPage = [](const std::string& deviceName) { return uploadPageHtml(QString::fromStdString(deviceName)); };
    services.chooseFiles = [] {
        QFileDialog dialog;
        dialog.setFileMode(QFileDialog::ExistingFiles);
        dialog.setLabelText(QFileDialog::Accept, QStringLiteral("Add"));
        std::vector<std::filesystem::path> chosen;
        if (dialog.exec() == QDialog::Accepted)
            for (const QString& file : dialog.selectedFiles()) chosen.push_back(toPath(file));
        return chosen;
    };
    services.chooseFolder = [](const std::filesystem::path& start) -> std::optional<std::filesystem::path> {
        QString folder = QFileDialog::getExistingDirectory(nullptr, QString(), QString::fromStdString(start.string()));
        if (folder.isEmpty()) return std::nullopt;
        return toPath(folder);
    };
}

}  // namespace velmo
