// Checks of windows on the offscreen screens that the snapshot tests' environment configures.
#pragma once

#include <QList>
#include <QRect>
#include <QString>
#include <string>

class QDialog;
class QPushButton;
class QScreen;
class QWidget;

namespace velmo::test {

std::string show(const QRect& rect);
QScreen* screenNamed(const char* name);
QPushButton* button(QWidget* root, const QString& text);
// Runs what the event loop has been given so far: a wait for what must not come.
void runPosted();
// The window, frame included, within the available area of the screen once it has been fitted.
void expectOnScreen(QWidget* window, QScreen* screen, const char* what);
// The whole widget in view (a scroll area's viewport clips it) once its window has fitted itself.
void expectInView(QWidget* widget, const char* what);
// Every wrapped label shows all its lines.
void expectWhole(QWidget* root, const char* what);
// The sheet's code whole in view and read back from the window's picture, quiet zone included.
void expectCodeReads(QDialog* sheet, const std::string& url, const char* what);
// Once the sheet has fitted its screen: its paddings tightened before its code shrank, the code
// shrunk no more than the room asks and never below its least; on a screen of at least 960×540
// points `kept` whole in view under it, the column not scrolled and the last kept part at its
// bottom when the code gave way; on a smaller one the code at its least.
void expectFitted(QDialog* sheet, QScreen* screen, const QList<QWidget*>& kept, const char* what);

}  // namespace velmo::test
