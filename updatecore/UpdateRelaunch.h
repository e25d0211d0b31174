// Starting the updated copy and hearing from it that it is up. The new instance finds the
// write end of a pipe in the variable below and writes the bundle identifier and a newline.
#pragma once
#include <chrono>
#include <filesystem>

namespace velmo {

constexpr const char* updateReadinessVariable = "VELMO_UPDATE_READY_FD";

// Spawns `executable` in a session of its own and waits up to `timeout` for its readiness
// line. True once it reported ready and is still running; a copy that exited, stayed silent
// or said something else is stopped (when still running) and false is returned. The new copy
// confirms the update recorded in `staging`, when given, as it reports ready.
bool relaunchUpdatedCopy(const std::filesystem::path& executable, std::chrono::milliseconds timeout,
                         const std::filesystem::path& staging = {});

// Called by the application once it has started: confirms the update that started it, if any,
// and tells the installer that it is ready, even when that installer is gone. Does nothing on
// an ordinary launch.
void signalUpdateReadiness();

}  // namespace velmo
