// Starting the updated copy and hearing from it that it is up. The new instance finds the
// write end of a pipe in the variable below and writes the bundle identifier and a newline.
#pragma once
#include <chrono>
#include <filesystem>

namespace velmo {

constexpr const char* updateReadinessVariable = "VELMO_UPDATE_READY_FD";

// Spawns `executable` in a session of its own and waits up to `timeout` for its readiness
// line. True once it reported ready and is still running; a copy that exited, stayed silent
// or said something else is stopped (when still running) and false is returned.
bool relaunchUpdatedCopy(const std::filesystem::path& executable, std::chrono::milliseconds timeout);

// Called by the application once it has started: tells the installer that spawned it, if any,
// that it is ready. Does nothing on an ordinary launch.
void signalUpdateReadiness();

}  // namespace velmo
