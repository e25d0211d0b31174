// QR codes read back from pictures of the views, as a phone's camera would.
#pragma once

#include <QImage>
#include <string>

namespace velmo::test {

// What zbarimg reads from a picture: one line per code found.
std::string decodeQR(const QImage& image);
// The white margin between the dark modules drawn in `tile` and its border or edge, in modules
// of a code `modules` wide: the least of its four sides.
double quietModules(const QImage& tile, int modules);

}  // namespace velmo::test
