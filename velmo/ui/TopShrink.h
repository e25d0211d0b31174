// The code in a fitted window's top (fittedTop) giving way on a short screen, as a code sheet's
// does: at each fit the window's vertical paddings and spacings tighten first, then the code
// shrinks, down to its least, until the top, the footer and what the column keeps fit.
#pragma once

#include <QMargins>
#include <QList>
#include <QObject>
#include <QPointer>
#include <functional>

class QHBoxLayout;
class QVBoxLayout;

namespace velmo {

class QRCodeView;

class TopShrink : public QObject {
    Q_OBJECT
public:
    // Lets `window`, made by fittedColumn with a top, give way so; its fits call fit(). `code` is
    // the code it holds (made anew with each rebuild, and held by the window as long as it
    // lives); `keep` names the last widget of the column that must show whole below the code
    // (none: all of the column).
    static void installForCode(QWidget* window, const QPointer<QRCodeView>& code, std::function<QWidget*()> keep);
    static TopShrink* of(QWidget* window);
    // Gives the code the side that lets the window's top, footer and kept column take at most
    // `room` at `width`, with the paddings of the window as made when that is enough.
    void fit(int width, int room);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    TopShrink(QWidget* window, const QPointer<QRCodeView>& code, std::function<QWidget*()> keep);
    struct Spacing {
        QMargins top, column, footer;
        int topSpacing = 0, columnSpacing = 0;
    };
    Spacing tightened() const;
    void apply(const Spacing& spacing);
    // What the top, the kept column and the footer take with the paddings now in place.
    int measure(int width);
    // How much more they would take with `other` than with the paddings now in place.
    int change(const Spacing& other) const;
    // Follows where the kept widget lies in the column: nested layouts place it after the fit.
    void follow(const QWidget* kept);
    const QPointer<QRCodeView>& code_;
    std::function<QWidget*()> keep_;
    QVBoxLayout* top_;
    QVBoxLayout* column_;
    QHBoxLayout* footer_;
    const Spacing normal_;
    Spacing now_;
    QList<QPointer<QWidget>> followed_;
};

}  // namespace velmo
