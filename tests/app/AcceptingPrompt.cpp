// Preloaded into a Velmo under test, this answers every incoming offer with the prompt's own
// Accept button, as a user would, so a test can take a receive into its data.
#include <QAbstractButton>
#include <QApplication>
#include <QCoreApplication>
#include <QTimer>
#include <QWidget>

namespace {

void acceptEveryOffer() {
    auto* look = new QTimer(QCoreApplication::instance());
    QObject::connect(look, &QTimer::timeout, [] {
        for (auto* window : QApplication::topLevelWidgets()) {
            if (!window->isVisible()) continue;
            auto* accept = window->findChild<QAbstractButton*>(QStringLiteral("accept"));
            if (accept && accept->isVisible() && accept->isEnabled()) accept->click();
        }
    });
    look->start(50);
}

}  // namespace

Q_COREAPP_STARTUP_FUNCTION(acceptEveryOffer)
