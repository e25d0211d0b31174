#include "velmo/ui/MessageBoxUpdatePresenter.h"

#include <QMessageBox>
#include <QPushButton>

namespace velmo {

bool MessageBoxUpdatePresenter::present(const QString& message, const QString& informative,
                                        const std::optional<QString>& firstButton) {
    QMessageBox box;
    box.setTextFormat(Qt::PlainText);
    box.setText(message);
    box.setInformativeText(informative);
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
