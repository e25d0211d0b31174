// Qt ends the process with an abort when its platform cannot start, as when the display it was
// given cannot be reached; Velmo answers with a sentence and status 1 instead. Qt's own lines
// from that start are held back: they matter only when the start goes on.
#pragma once

namespace velmo {

class HeldQtMessages {
public:
    // Before the application object is made.
    static void hold();
    // Once the platform has started: back to Qt's handler, with what it said meanwhile.
    static void release();
};

}  // namespace velmo
