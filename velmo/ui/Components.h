// The small views the windows share, one per file: notices, section titles, the logo tile,
// file lines, symbol badges, numbered steps, the progress bar and their helpers.
#pragma once

#include "velmo/ui/Banner.h"
#include "velmo/ui/ElidedLabel.h"
#include "velmo/ui/FileRow.h"
#include "velmo/ui/IconBadge.h"
#include "velmo/ui/ProgressBar.h"
#include "velmo/ui/SectionHeader.h"
#include "velmo/ui/StepRow.h"
#include "velmo/ui/SymbolView.h"
#include "velmo/ui/Symbols.h"
#include "velmo/ui/Throttle.h"
#include "velmo/ui/VelmoTile.h"
#include "velmo/ui/ViewHelpers.h"
