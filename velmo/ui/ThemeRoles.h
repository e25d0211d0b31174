// Palette roles of a widget held at theme colours.
#pragma once

#include "velmo/ui/Theme.h"

#include <QPalette>
#include <utility>
#include <vector>

namespace velmo {

using ThemeRoleColors = std::vector<std::pair<QPalette::ColorRole, ThemeColor>>;

// Sets `roles` of `widget` to their theme colours now and again on every palette, style and
// theme change. A `window` also hands its colours back to plain descendants that the desktop
// gave a palette of their own.
void setThemeRoles(QWidget* widget, const ThemeRoleColors& roles, bool window);

}  // namespace velmo
