#include "velmo/ui/DesktopServices.h"

#include <QApplication>
#include <QFileDialog>
#include <QStringList>

#include "velmo/ui/UploadPage.h"

namespace velmo {
namespace {

std::filesystem::path toPath(const QString& text) { return std::filesystem::path(text.toStdString()); }

// A chooser holds only the window it was opened from (a popup's: the window under the popup),
// not the whole application: an offer that arrives meanwhile can be answered.
QWidget* chooserOwner() {
    QWidget* owner = QApplication::activeWindow();
    while (owner && owner->windowType() == Qt::Popup)
        owner = owner->parentWidget() ? owner->parentWidget()->window() : nullptr;
    return owner;
}

bool runChooser(QFileDialog& dialog) {
    dialog.setWindowModality(Qt::WindowModal);
    return dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty();
}

}  // namespace

void addDesktopServices(AppModelServices& services) {
    services.uploadPage = [](const std::string& deviceName) { return uploadPageHtml(QString::fromStdString(deviceName)); };
    services.chooseFiles = [] {
        QFileDialog dialog(chooserOwner());
        dialog.setFileMode(QFileDialog::ExistingFiles);
        dialog.setLabelText(QFileDialog::Accept, QStringLiteral("Add"));
        std::vector<std::filesystem::path> chosen;
        if (runChooser(dialog))
            for (const QString& file : dialog.selectedFiles()) chosen.push_back(toPath(file));
        return chosen;
    };
    services.chooseFolder = [](const std::filesystem::path& start) -> std::optional<std::filesystem::path> {
        QFileDialog dialog(chooserOwner(), QString(), QString::fromStdString(start.string()));
        dialog.setFileMode(QFileDialog::Directory);
        dialog.setOption(QFileDialog::ShowDirsOnly);
        if (!runChooser(dialog)) return std::nullopt;
        return toPath(dialog.selectedFiles().constFirst());
    };
}

}  // namespace velmo
