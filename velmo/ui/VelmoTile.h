#pragma once

#include <QWidget>


namespace velmo {

class VelmoTile : public QWidget {
    Q_OBJECT
public:
    explicit VelmoTile(double size, QWidget* parent = nullptr);
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    double size_;
};

}  // namespace velmo
