// A QR code (error correction M) on a white rounded tile.
#pragma once

#include <QString>
#include <QWidget>
#include <optional>
#include <vector>

namespace velmo {

struct QRMatrix {
    int width = 0;              // modules per side
    std::vector<bool> dark;     // row by row
    bool at(int x, int y) const { return dark[static_cast<std::size_t>(y * width + x)]; }
};

// The code's modules for the UTF-8 bytes of `payload`; none when it cannot be encoded.
std::optional<QRMatrix> encodeQR(const QString& payload);

class QRCodeView : public QWidget {
    Q_OBJECT
public:
    explicit QRCodeView(QString payload, QWidget* parent = nullptr);
    QString payload() const { return payload_; }
    bool hasCode() const { return matrix_.has_value(); }
    QSize sizeHint() const override;
    // The tile's side, 232 unless a short screen asks for less; the code and its light margin
    // of `quietModules` modules inside the tile's border scale with it.
    static constexpr int fullSide = 232;
    static constexpr int quietModules = 4;
    static constexpr int borderWidth = 1;
    // The least side on a short screen: its modules stay a few pixels wide for a camera.
    static constexpr int leastSide = 88;
    int side() const { return side_; }
    void setSide(int side);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString payload_;
    std::optional<QRMatrix> matrix_;
    int side_ = fullSide;
};

}  // namespace velmo
