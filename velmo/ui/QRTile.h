// A QR code with a title and a subtitle under it: the web receive sheet's code, and the layout
// the QR send sheet gives its own.
#pragma once

#include <QString>
#include <QWidget>

class QVBoxLayout;

namespace velmo {

class QRTile : public QWidget {
    Q_OBJECT
public:
    QRTile(const QString& title, const QString& subtitle, const QString& payload, QWidget* parent = nullptr);
    // Between the code and its captions.
    static constexpr int captionGap = 8;
};

// A tile's two caption lines, centred.
QVBoxLayout* tileCaptions(const QString& title, const QString& subtitle, QWidget* parent);

}  // namespace velmo
