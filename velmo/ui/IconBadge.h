#pragma once

#include <QString>
#include <QWidget>


namespace velmo {

class IconBadge : public QWidget {
    Q_OBJECT
public:
    enum class Tone { accent, file, success, danger, neutral };
    IconBadge(QString symbol, Tone tone, double size, QWidget* parent = nullptr);
    QString symbol() const { return symbol_; }
    Tone tone() const { return tone_; }
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString symbol_;
    Tone tone_;
    double size_;
};

}  // namespace velmo
