#pragma once

#include <QLabel>
#include <QString>

namespace velmo {

// Accent-coloured text on a capsule of the light accent tint: section counts, step numbers.
class CapsuleLabel : public QLabel {
    Q_OBJECT
public:
    CapsuleLabel(const QString& text, const QFont& font, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace velmo
