#include "velmo/ui/MessageBoxUpdatePresenter.h"

#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTextDocument>

namespace velmo {

namespace {

// The box the alert is shown in, with its first button; deleted once closed.
QMessageBox* makeBox(const QString& message, const QString& informative, const std::optional<QString>& firstButton) {
    auto* box = new QMessageBox;
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    box->setTextFormat(Qt::PlainText);
    box->setText(message);
    box->setInformativeText(informative);
    // QMessageBox shows its informative text as rich text when it looks like markup (and opens
    // links); it may carry a path, so it is shown as it stands.
    if (auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel")))
        label->setTextFormat(Qt::PlainText);
    else
        box->setInformativeText(Qt::convertFromPlainText(informative));
    QPushButton* first = box->addButton(firstButton.value_or(QStringLiteral("OK")), QMessageBox::AcceptRole);
    first->setObjectName(QStringLiteral("firstButton"));
    if (firstButton) box->addButton(QStringLiteral("Later"), QMessageBox::RejectRole);
    box->setDefaultButton(first);
    if (!firstButton) box->setEscapeButton(first);
    // Floating like the offer's panel, so that neither hides the other for good: the later one
    // comes up above the earlier. (QMessageBox sets its own flags as it is built.)
    box->setWindowFlag(Qt::WindowStaysOnTopHint);
    return box;
}

}  // namespace

void MessageBoxUpdatePresenter::show(const QString& message, const QString& informative,
                                     const std::optional<QString>& firstButton, std::function<void(bool)> answered) {
    QMessageBox* box = makeBox(message, informative, firstButton);
    auto* first = box->findChild<QPushButton*>(QStringLiteral("firstButton"));
    QObject::connect(box, &QMessageBox::finished, box,
                     [box, first, answered = std::move(answered)] { answered(box->clickedButton() == first); });
    box->show();
    box->raise();
    box->activateWindow();
}

}  // namespace velmo
