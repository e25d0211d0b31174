#pragma once

#include <QString>
#include <QWidget>

class QLabel;

namespace velmo {

class Banner : public QWidget {
    Q_OBJECT
public:
    enum class Tone { danger, warning, info };
    Banner(const QString& symbol, const QString& text, Tone tone, QWidget* parent = nullptr);
    QString text() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Tone tone_;
    QLabel* label_;
};

}  // namespace velmo
