// The upload handler: one file per POST "/upload", streamed into a hidden part file in the
// destination folder and moved to a safe, unique name.
#include <nlohmann/json.hpp>

#include "platform/Error.h"
#include "transfer/FileError.h"
#include "transfer/FileNaming.h"
#include "transfer/HttpResponse.h"
#include "transfer/HttpText.h"
#include "transfer/PartFile.h"
#include "transfer/ShareError.h"
#include "transfer/UploadHeaders.h"
#include "transfer/WebReceiveServerImpl.h"

namespace velmo {
namespace {

constexpr std::string_view jsonType = "application/json";
constexpr std::string_view badRequestBody = R"({"ok":false,"error":"bad request"})";
constexpr std::string_view limitBody = R"({"ok":false,"error":"Session limit reached. Open a new receive code."})";
constexpr std::string_view failedBody = R"({"ok":false})";
// A final answer to an upload stopped on the computer (its Cancel or the session's end), so
// that no browser sends the file again on a new connection.
constexpr std::string_view stoppedBody = R"({"ok":false,"error":"Cancelled on the computer."})";
constexpr std::int64_t progressStep = 262'144;

std::string failureMessage(std::exception_ptr failure, const std::filesystem::path& folder) {
    try {
        std::rethrow_exception(failure);
    } catch (const ShareError& e) {
        if (e.kind() == ShareError::Kind::connectionClosed) return "The phone stopped sending.";
        return e.what();
    } catch (const FileError& e) {
        return e.what();
    } catch (const std::system_error& e) {
        return FileError::saving(folder, e.code()).what();
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "The file could not be saved.";
    }
}

// The connection ended or was cut before the upload was done.
bool cutShort(std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const ShareError& e) {
        return e.kind() == ShareError::Kind::connectionClosed;
    } catch (...) {
        return false;
    }
}

bool expectsContinue(const HttpRequest& request) {
    const auto* expect = request.header("expect");
    return expect && HttpText::asciiLower(*expect) == "100-continue";
}

}  // namespace

asio::awaitable<void> WebReceiveServer::Impl::receiveUpload(WebReceiveConnection& connection,
                                                            const HttpRequest& request) {
    // Chunked framing would otherwise end up inside the stored file.
    const auto* lengthHeader = request.header("content-length");
    const auto length = lengthHeader ? UploadHeaders::contentLength(*lengthHeader) : std::nullopt;
    const auto* nameHeader = request.header("x-file-name");
    const auto decodedName = nameHeader ? UploadHeaders::fileName(*nameHeader) : std::nullopt;
    if (request.header("transfer-encoding") || !length || !decodedName) {
        co_await answer(connection, request, 400, jsonType, badRequestBody);
        co_return;
    }

    bool reserved = false;
    {
        std::lock_guard guard(lock);
        // The budget's own lock is taken inside this one.
        if (!stopped_) reserved = sessionBudget_->reserve({*length});
    }
    if (!reserved) {
        co_await answer(connection, request, 413, jsonType, limitBody);
        co_return;
    }
    if (expectsContinue(request) && request.leftover.empty()) {
        co_await connection.send(toBytes(HttpResponse::continueHead));
    }

    const auto id = Uuid::random();
    {
        std::lock_guard guard(lock);
        uploads_.emplace(id, Upload{&connection});
    }
    struct Forget {
        Impl& server;
        Uuid id;
        ~Forget() {
            std::lock_guard guard(server.lock);
            server.uploads_.erase(id);
        }
    } forget{*this, id};
    const auto name = FileNaming::safeName(*decodedName);
    const auto* userAgent = request.header("user-agent");
    const auto device = UploadHeaders::deviceName(userAgent ? std::string_view(*userAgent) : std::string_view());
    const auto folder = currentFolder();
    emit(Started{id, name, *length, device});

    std::optional<PartFile> file;
    std::int64_t received = 0;
    std::int64_t lastReported = 0;
    std::exception_ptr failure;
    std::filesystem::path final;
    try {
        PartFile::createFolder(folder);
        try {
            // The upload stays in the folder it began in, wherever that is moved meanwhile.
            file.emplace(PartFile::create(folder, id));
        } catch (const std::system_error& e) {
            throw FileError::saving(folder, e.code());
        }
        if (!request.leftover.empty()) {
            const auto take = std::min<std::int64_t>(*length, static_cast<std::int64_t>(request.leftover.size()));
            file->write(ByteView(request.leftover.data(), static_cast<std::size_t>(take)));
            received = take;
            if (received >= progressStep || received == *length) {
                emit(Progress{id, received});
                lastReported = received;
            }
        }
        while (received < *length) {
            const auto chunk = co_await connection.receive();
            if (!chunk) throw ShareError::connectionClosed();
            if (chunk->empty()) continue;
            const auto take = std::min<std::int64_t>(*length - received, static_cast<std::int64_t>(chunk->size()));
            file->write(chunk->first(static_cast<std::size_t>(take)));
            received += take;
            if (received - lastReported >= progressStep || received == *length) {
                emit(Progress{id, received});
                lastReported = received;
            }
        }
        {
            std::lock_guard guard(lock);
            if (stopped_) throw ShareError::connectionClosed();
            // A cancel that came after the last byte still keeps the file from being saved.
            auto& upload = uploads_.at(id);
            if (upload.stage == Upload::Stage::cancelled) throw Cancelled();
            // Choosing the name and moving happen under one hold of the lock; the move
            // closes the file first.
            final = file->moveTo(name);
            upload.stage = Upload::Stage::settled;
            settled_.insert_or_assign(id, Finished{id, final});
        }
    } catch (...) {
        failure = std::current_exception();
    }

    if (failure) {
        if (file) file->discard();
        const auto settled = settleFailure(id, failureMessage(failure, folder), cutShort(failure));
        emit(Failed{id, settled.message});
        if (settled.stoppedHere) {
            co_await connection.respond(409, jsonType, toBytes(stoppedBody));
        } else {
            co_await connection.respond(500, jsonType, toBytes(failedBody));
        }
        if (received < *length) co_await connection.drain();
        co_return;
    }
    afterSave(id);
    emit(Finished{id, final});
    const nlohmann::json reply = {{"ok", true}, {"name", final.filename().string()}};
    co_await connection.respond(200, jsonType, toBytes(reply.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)));
}

}  // namespace velmo
