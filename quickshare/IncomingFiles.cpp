#include "quickshare/IncomingFiles.h"

#include <asio/experimental/as_tuple.hpp>
#include <asio/use_awaitable.hpp>
#include <set>

#include "platform/Error.h"
#include "platform/Uuid.h"
#include "quickshare/QuickShareError.h"
#include "quickshare/QuickShareReceiveAuthorization.h"
#include "transfer/FileError.h"
#include "transfer/FileNaming.h"

namespace velmo {

void validateFiles(const FileMetadataList& files) {
    if (files.empty() || static_cast<std::size_t>(files.size()) > IncomingFiles::maxFiles) {
        throw QuickShareError::tooManyFiles();
    }
    std::int64_t total = 0;
    std::set<std::int64_t> payloadIds;
    for (const auto& file : files) {
        if (!file.has_payload_id() || !file.has_size() || file.size() < 0 ||
            __builtin_add_overflow(total, file.size(), &total) ||
            !payloadIds.insert(file.payload_id()).second) {
            throw QuickShareError::protocolError("invalid file metadata");
        }
    }
}

std::shared_ptr<IncomingFiles> IncomingFiles::create(
    asio::any_io_executor strand, std::filesystem::path folder,
    std::shared_ptr<QuickShareReceiveAuthorization> authorization, Progress progress, Saved saved) {
    return std::shared_ptr<IncomingFiles>(new IncomingFiles(std::move(strand), std::move(folder),
                                                            std::move(authorization), std::move(progress),
                                                            std::move(saved)));
}

IncomingFiles::IncomingFiles(asio::any_io_executor strand, std::filesystem::path folder,
                             std::shared_ptr<QuickShareReceiveAuthorization> authorization,
                             Progress progress, Saved saved)
    : wakeup_(std::move(strand)),
      folder_(std::move(folder)),
      authorization_(std::move(authorization)),
      progress_(std::move(progress)),
      saved_(std::move(saved)) {}

// Unfinished temporary files are removed by their PartFile when the entries go.
IncomingFiles::~IncomingFiles() = default;

// Progress and a saved file are reported after the authorization's lock is released,
// whatever the work did: an application that revokes from its handler must not deadlock on
// that lock.
class IncomingFiles::ProgressReport {
public:
    explicit ProgressReport(IncomingFiles& files) : files_(files) {}
    ~ProgressReport() {
        auto due = std::exchange(files_.dueProgress_, std::nullopt);
        auto saved = std::exchange(files_.dueSaved_, std::nullopt);
        // A report that fails cannot undo the bytes already written.
        try {
            if (due && files_.progress_) files_.progress_(due->first, due->second);
        } catch (...) {
        }
        try {
            if (saved && files_.saved_) files_.saved_(*saved);
        } catch (...) {
        }
    }

private:
    IncomingFiles& files_;
};

void IncomingFiles::prepare(const FileMetadataList& files) {
    ProgressReport report(*this);
    if (authorization_) {
        authorization_->guarded([&] { prepareUnlocked(files); });
    } else {
        prepareUnlocked(files);
    }
}

void IncomingFiles::prepareUnlocked(const FileMetadataList& files) {
    if (failure_) std::rethrow_exception(failure_);
    if (!order_.empty()) throw QuickShareError::protocolError("files prepared twice");
    validateFiles(files);
    PartFile::createFolder(folder_);
    std::shared_ptr<const PartFile::Folder> held;
    for (const auto& file : files) {
        Entry entry;
        entry.name = FileNaming::safeName(file.name());
        entry.size = file.size();
        try {
            // Every file of the transfer stays in the folder it began in, wherever that is moved.
            if (!held) held = PartFile::Folder::open(folder_);
            // Created and opened in one step (exclusive, no symbolic link, 0600), so no
            // temporary file can exist that is not also in the entries.
            entry.part.emplace(PartFile::create(held, Uuid::random()));
        } catch (const std::system_error& e) {
            // A read-only or forbidden folder is told like any failure to save into it.
            throw FileError::saving(folder_, e.code());
        }
        total_ += entry.size;
        entries_.emplace(file.payload_id(), std::move(entry));
        order_.push_back(file.payload_id());
    }
    lastActivity_ = Clock::now();
    dueProgress_.emplace(0, total_);
}

void IncomingFiles::write(std::int64_t payloadId, std::int64_t offset, ByteView data, bool last) {
    ProgressReport report(*this);
    if (authorization_) {
        authorization_->guarded([&] { writeUnlocked(payloadId, offset, data, last); });
    } else {
        writeUnlocked(payloadId, offset, data, last);
    }
}

void IncomingFiles::writeUnlocked(std::int64_t payloadId, std::int64_t offset, ByteView data, bool last) {
    if (failure_) std::rethrow_exception(failure_);
    auto found = entries_.find(payloadId);
    if (found == entries_.end()) throw QuickShareError::protocolError("unknown file payload");
    Entry& entry = found->second;
    if (entry.saved) return;  // a repeat after the file was saved changes nothing
    if (!entry.part) throw QuickShareError::protocolError("unknown file payload");

    const auto length = static_cast<std::int64_t>(data.size());
    if (offset != entry.written || entry.size - offset < length) {
        throw QuickShareError::protocolError("invalid file chunk offset or length");
    }
    if (!data.empty()) entry.part->write(data);
    entry.written = offset + length;
    received_ += length;
    lastActivity_ = Clock::now();
    dueProgress_.emplace(std::min(received_, total_), total_);

    if (last) {
        if (entry.written != entry.size) {
            throw QuickShareError::arrivedIncomplete(entry.name);
        }
        entry.saved = entry.part->moveTo(entry.name);  // closes it first
        entry.part.reset();
        dueSaved_ = entry.saved;
    }
    resumeIfComplete();
}

asio::awaitable<std::vector<std::filesystem::path>> IncomingFiles::waitUntilDone() {
    auto self = shared_from_this();
    for (;;) {
        if (failure_) std::rethrow_exception(failure_);
        if (auto done = completedFiles()) co_return *done;
        if (waiting_) throw QuickShareError::protocolError("a second wait for the same files");
        waiting_ = true;
        wakeup_.expires_at(Clock::time_point::max());
        co_await wakeup_.async_wait(asio::experimental::as_tuple(asio::use_awaitable));
        waiting_ = false;
    }
}

void IncomingFiles::fail(std::exception_ptr error) {
    if (completedFiles() || failure_) return;
    failure_ = error ? error : std::make_exception_ptr(Cancelled());
    wakeup_.cancel();
}

void IncomingFiles::abort() {
    fail(std::make_exception_ptr(Cancelled()));
    for (auto& [id, entry] : entries_) {
        if (!entry.saved && entry.part) {
            entry.part->discard();
            entry.part.reset();
        }
    }
}

std::optional<std::vector<std::filesystem::path>> IncomingFiles::completedFiles() const {
    if (order_.empty()) return std::nullopt;
    std::vector<std::filesystem::path> saved;
    saved.reserve(order_.size());
    for (auto id : order_) {
        const auto& entry = entries_.at(id);
        if (!entry.saved) return std::nullopt;
        saved.push_back(*entry.saved);
    }
    return saved;
}

void IncomingFiles::resumeIfComplete() {
    if (waiting_ && completedFiles()) wakeup_.cancel();
}

}  // namespace velmo
