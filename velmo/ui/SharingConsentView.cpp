#include "velmo/ui/SharingConsentView.h"

#include "velmo/model/AppModel.h"
#include "velmo/ui/Components.h"
#include "velmo/ui/Theme.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

namespace velmo {

SharingConsentView::SharingConsentView(AppModel& model, QWidget* parent) : QWidget(parent) {
    applyWindowBackground(this);
    setFixedWidth(480);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(24, 24, 24, 24);
    column->setSpacing(24);

    auto* header = new QHBoxLayout;
    header->setSpacing(16);
    header->addWidget(new VelmoTile(56, this));
    // The titles sit centred beside the taller tile rather than stretched to its height.
    auto* titles = new QVBoxLayout;
    titles->setSpacing(4);
    titles->addStretch(1);
    titles->addWidget(plainLabel(QStringLiteral("Allow quick sharing?"), fonts::title(), colors::text, this));
    titles->addWidget(plainLabel(QStringLiteral("Use only on Wi-Fi you trust."), fonts::bodyStrong(), colors::sub, this));
    titles->addStretch(1);
    header->addLayout(titles, 1);
    column->addLayout(header);

    const auto wrapped = [this](const QString& text, const QFont& font) {
        auto* label = plainLabel(text, font, colors::sub, this);
        label->setWordWrap(true);
        return label;
    };
    auto* explanation = new QVBoxLayout;
    explanation->setSpacing(16);
    explanation->addWidget(wrapped(
        QStringLiteral("Nearby devices can receive your chosen files while your send code is open."), fonts::body()));
    explanation->addWidget(wrapped(
        QStringLiteral("Nearby Android phones can send files automatically while Receive from Android is open."),
        fonts::body()));
    column->addLayout(explanation);

    auto* choice = new QVBoxLayout;
    choice->setSpacing(8);
    auto* quick = new ThemedButton(title(SharingMode::quick), ThemedButton::Kind::primary, true, false, this);
    quick->setObjectName(QStringLiteral("chooseQuick"));
    quick->setAutoDefault(false);
    connect(quick, &QPushButton::clicked, &model, [&model] { model.setSharingMode(SharingMode::quick); });
    choice->addWidget(quick);
    auto* ask = new ThemedButton(title(SharingMode::askEachTime), ThemedButton::Kind::secondary, false, false, this);
    ask->setObjectName(QStringLiteral("chooseAsk"));
    ask->setAutoDefault(false);
    connect(ask, &QPushButton::clicked, &model, [&model] { model.setSharingMode(SharingMode::askEachTime); });
    choice->addWidget(ask, 0, Qt::AlignHCenter);
    column->addLayout(choice);

    column->addWidget(wrapped(QStringLiteral("Ask each time checks codes before Quick Share sends and asks you to approve "
                                             "incoming Quick Share files. Receive QR uploads are allowed while the code is "
                                             "open."),
                              fonts::caption()));
    column->addWidget(wrapped(QStringLiteral("You can change this anytime in Settings."), fonts::caption()));
    // Wrapped text asks for more height than it needs at this width; the rest of a taller
    // window stays below the content instead of opening gaps between its parts.
    column->addStretch(1);
    // Neither choice is pre-selected: a stray Space or Return stores nothing.
    holdInitialFocus(this);
}

}  // namespace velmo
