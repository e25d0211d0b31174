#pragma once

#include "velmo/model/AppModelServices.h"

namespace velmo {

// The services that need the desktop: the file and folder choosers and the upload page
// drawn in the theme's colours.
void addDesktopServices(AppModelServices& services);

}  // namespace velmo
