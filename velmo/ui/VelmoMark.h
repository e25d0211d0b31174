// The application's logo, drawn from paths: white with blue details on the logo tile, or a
// one-colour silhouette with a see-through eye.
#pragma once

#include <QIcon>
#include <QPainterPath>
#include <QRectF>
#include <QWidget>

class QPainter;

namespace velmo {

class VelmoMark : public QWidget {
    Q_OBJECT
public:
    VelmoMark(bool monochrome, bool showMotion, QWidget* parent = nullptr);

    // Draws the mark fitted and centred in `target`, keeping its proportions.
    static void paint(QPainter& painter, const QRectF& target, bool monochrome, bool showMotion);
    // The box of the figure in design units (1024 across, y downwards).
    static QRectF boundingBox(bool showMotion);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    bool monochrome_;
    bool showMotion_;
};

// The tray icon, 18 by 18 points at scale 2: the one-colour mark in white with a black halo,
// legible on light and dark panels alike (trays here have no template images that follow the
// panel).
QIcon trayIcon();
QImage trayImage();

}  // namespace velmo
