// Byte counts as a file manager writes them: decimal (1000-based) units.
#pragma once

#include <QString>
#include <cstdint>

namespace velmo {

// "0 bytes", "1 byte", "999 bytes", "12 KB", "1.5 MB", "2 MB", "1.25 GB", "3.4 TB".
// Negative counts are written as zero.
QString formatByteCount(std::int64_t bytes);

}  // namespace velmo
