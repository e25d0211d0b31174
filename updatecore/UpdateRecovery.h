// Updates cut off between the exchange of the two copies and the new copy's readiness. The
// installer records each update in its staging folder before unpacking it; the new copy
// confirms the update once it is ready; the next launch of an installed copy puts the previous
// copy back when an exchange was never confirmed, and removes what updates left behind.
#pragma once
#include <cstdint>
#include <filesystem>
#include <string>

namespace velmo::UpdateRecovery {

// The record's name inside the staging folder ".Velmo-update-<UUID>".
constexpr const char* recordName = "Update.json";
// Names the staging folder to the new copy that the installer starts.
constexpr const char* stagingVariable = "VELMO_UPDATE_STAGING";

// Set for the previous copy that an undo starts in place of the interrupted update.
constexpr const char* undoneVariable = "VELMO_UPDATE_UNDONE";

// Records, in the open staging folder, an update of the copy named `target` beside it to
// `build`, whose archive lies in the folder `download`. False when it cannot be written.
bool writeRecord(int staging, const std::string& target, std::int64_t build, const std::filesystem::path& download);

// Notes in the record which copy the exchange is about to put in place: the one now in the
// staging folder. The undo leaves any other copy alone. False when it cannot be written.
bool recordCopy(int staging);

// Exchanges `target` in `folder` with "Velmo.app" in `staging`, then flushes both folders.
bool exchange(int folder, const std::string& target, int staging);

// Called by the new copy once it is ready: the update stands. Removes its download and record,
// and lets go of the staging folder.
void confirm(const std::filesystem::path& staging);

enum class Outcome { nothing, restored };

// Under the folder's update lock (nothing is done while an installer holds it): for each
// staging folder beside `bundle` that no starting copy holds, puts the previous copy back when the update was exchanged but
// never confirmed, then removes the staging folder and the update's download. Answers restored
// when `bundle` itself holds the previous copy again.
Outcome recover(const std::filesystem::path& bundle);

// At the start of an installed copy: a copy started by an installer first holds its staging
// folder until confirm(); then recover() its folder and, when this process runs the copy that
// was just taken out, start the restored one in its place with the same arguments.
void recoverInterruptedUpdate(char** argv);

// Whether this process runs the copy that the undo of an interrupted update put back, so the
// user can be told. Answers once; the processes it starts do not inherit it.
bool takeUndoneUpdate();

// Removes this user's update downloads ("Velmo-Update-<UUID>" folders) from `temporary` (the
// system's temporary folder when empty) that an update cut short left behind: never a link or
// a folder of another user. Only for the one instance, which no other copy downloads beside.
void removeLeftoverDownloads(const std::filesystem::path& temporary = {});

}  // namespace velmo::UpdateRecovery
