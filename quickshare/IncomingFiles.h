// Writes the files of an accepted offer: one hidden temporary file per offered file, chunks
// that must continue their file exactly, and a safe, unique final name once a file is whole.
#pragma once
#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Bytes.h"
#include "proto/sharing.pb.h"
#include "transfer/PartFile.h"

namespace velmo {

class QuickShareReceiveAuthorization;

using FileMetadataList =
    google::protobuf::RepeatedPtrField<nearby::sharing::service::proto::FileMetadata>;

// Checks an offered file list: 1 to 128 files, each with a payload id and a non-negative
// size, sizes summing within 64 bits, payload ids unique. Throws QuickShareError.
void validateFiles(const FileMetadataList& files);

class IncomingFiles : public std::enable_shared_from_this<IncomingFiles> {
public:
    using Progress = std::function<void(std::int64_t received, std::int64_t total)>;
    // Told each file once it has its final name, so a transfer that fails later still tells
    // what it kept.
    using Saved = std::function<void(const std::filesystem::path& file)>;
    using Clock = std::chrono::steady_clock;

    static constexpr std::size_t maxFiles = 128;

    // Every operation must be called on `strand`, the transfer's strand.
    static std::shared_ptr<IncomingFiles> create(asio::any_io_executor strand,
                                                 std::filesystem::path folder,
                                                 std::shared_ptr<QuickShareReceiveAuthorization> authorization,
                                                 Progress progress, Saved saved = {});

    ~IncomingFiles();

    // Creates the folder and one temporary file per offered file, then reports (0, total).
    void prepare(const FileMetadataList& files);

    // Appends one chunk of the file carried by `payloadId`; on the last chunk checks the
    // size and moves the file to its final name.
    void write(std::int64_t payloadId, std::int64_t offset, ByteView data, bool last);

    // The saved files in offer order, once all are saved; throws the transfer's failure.
    asio::awaitable<std::vector<std::filesystem::path>> waitUntilDone();

    // Records the first failure of an unfinished transfer and wakes the waiter.
    void fail(std::exception_ptr error);

    bool failed() const { return failure_ != nullptr; }

    // Fails with Cancelled and removes every unfinished temporary file; saved files stay.
    void abort();

    std::optional<std::vector<std::filesystem::path>> completedFiles() const;

    // When the last chunk was accepted (or the files were prepared); absent before that.
    std::optional<Clock::time_point> lastActivity() const { return lastActivity_; }

private:
    struct Entry {
        std::string name;
        std::int64_t size = 0;
        std::optional<PartFile> part;  // absent once saved or discarded
        std::int64_t written = 0;
        std::optional<std::filesystem::path> saved;
    };

    IncomingFiles(asio::any_io_executor strand, std::filesystem::path folder,
                  std::shared_ptr<QuickShareReceiveAuthorization> authorization, Progress progress, Saved saved);
    void prepareUnlocked(const FileMetadataList& files);
    void writeUnlocked(std::int64_t payloadId, std::int64_t offset, ByteView data, bool last);
    void resumeIfComplete();
    class ProgressReport;

    asio::steady_timer wakeup_;  // the waiter sleeps on it; cancelled to wake it
    const std::filesystem::path folder_;
    const std::shared_ptr<QuickShareReceiveAuthorization> authorization_;
    const Progress progress_;
    const Saved saved_;
    std::map<std::int64_t, Entry> entries_;
    std::vector<std::int64_t> order_;
    std::int64_t received_ = 0;
    std::int64_t total_ = 0;
    std::exception_ptr failure_;
    bool waiting_ = false;
    std::optional<Clock::time_point> lastActivity_;
    std::optional<std::pair<std::int64_t, std::int64_t>> dueProgress_;
    std::optional<std::filesystem::path> dueSaved_;
};

}  // namespace velmo
