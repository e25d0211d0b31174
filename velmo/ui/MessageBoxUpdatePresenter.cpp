#include "velmo/ui/MessageBoxUpdatePresenter.h"

#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTextDocument>

namespace velmo {

bool MessageBoxUpdatePresenter::present(const QString& message, const QString& informative,
                                        const std::optional<QString>& firstButton) {
    QMessageBox box;
    box.setTextFormat(Qt::PlainText);
    box.setText(message);
    box.setInformativeText(informative);
    // QMessageBox shows its informative text as rich text when it looks like markup (and opens
    // links); it may carry a path, so it is shown as it stands.
    if (auto* label = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel")))
        label->setTextFormat(Qt::PlainText);
    else
        box.setInformativeText(Qt::convertFromPlainText(informative));
    QPushButton* first = box.addButton(firstButton.value_or(QStringLiteral("OK")), QMessageBox::AcceptRole);
    if (firstButton) box.addButton(QStringLiteral("Later"), QMessageBox::RejectRole);
    box.setDefaultButton(first);
    box.show();
    box.raise();
    box.activateWindow();
    box.exec();
    return box.clickedButton() == first;
}

}  // namespace velmo
