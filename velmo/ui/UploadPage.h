// The self-contained HTML page the web receive server gives a phone's browser: it shows
// who the files go to and uploads the chosen files one after another to "/upload".
#pragma once

#include "velmo/ui/Theme.h"

#include <QString>
#include <string>

namespace velmo {

// The twelve colour custom properties of the page for one appearance, "--name:rgba(...);" each.
QString themeCSSVariables(Appearance appearance);

// The whole page for this computer's device name (escaped for HTML).
QString makeUploadPage(const QString& deviceName);

// The page as UTF-8, the form the web receive server takes.
inline std::string uploadPageHtml(const QString& deviceName) { return makeUploadPage(deviceName).toStdString(); }

}  // namespace velmo
