#pragma once

#include "velmo/ui/Theme.h"

#include <QLabel>
#include <QString>


namespace velmo {

// One line of plain text that gives way where asked (middle, start) when too narrow; its
// tooltip then shows the whole text.
class ElidedLabel : public QLabel {
    Q_OBJECT
public:
    ElidedLabel(QString text, Qt::TextElideMode mode, const QFont& font, const ThemeColor& color,
                QWidget* parent = nullptr);
    QString fullText() const { return full_; }
    void setFullText(const QString& text);
    QSize minimumSizeHint() const override;
    QSize sizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void elide();
    QString full_;
    Qt::TextElideMode mode_;
};

}  // namespace velmo
