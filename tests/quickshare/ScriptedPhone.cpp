#include "quickshare/ScriptedPhone.h"

#include <gtest/gtest.h>

#include "quickshare/EndpointInfo.h"
#include "quickshare/FrameInbox.h"
#include "quickshare/QuickShareConnection.h"
#include "quickshare/QuickShareError.h"
#include "quickshare/SecurePeer.h"
#include "quickshare/Ukey2ClientHandshake.h"
#include "quickshare/Ukey2ServerHandshake.h"

namespace velmo::test {

namespace sharing = nearby::sharing::service::proto;

namespace {

EndpointInfo phoneNamed(const std::string& name) {
    EndpointInfo info;
    info.deviceType = EndpointInfo::DeviceType::phone;
    info.name = name;
    return info;
}

}  // namespace

ScriptedPhone::ScriptedPhone(std::shared_ptr<QuickShareConnection> connection)
    : connection_(std::move(connection)) {}

asio::awaitable<std::shared_ptr<ScriptedPhone>> ScriptedPhone::connectAsSender(
    std::shared_ptr<ByteStream> stream, std::string name, ConnectionTimeouts timeouts) {
    auto phone = std::shared_ptr<ScriptedPhone>(new ScriptedPhone(QuickShareConnection::create(stream, timeouts)));
    phone->pin_ = co_await clientHandshakeWithTimeout(phone->connection_, phoneNamed(name), name);
    phone->openInbox();
    co_return phone;
}

asio::awaitable<std::shared_ptr<ScriptedPhone>> ScriptedPhone::acceptAsReceiver(
    std::shared_ptr<ByteStream> stream, ConnectionTimeouts timeouts) {
    auto phone = std::shared_ptr<ScriptedPhone>(new ScriptedPhone(QuickShareConnection::create(stream, timeouts)));
    const auto result = co_await serverHandshakeWithTimeout(phone->connection_);
    phone->pin_ = result.pin;
    phone->peerName_ = result.peerName;
    std::weak_ptr<ScriptedPhone> weak = phone;
    phone->connection_->setFileSink(
        [weak](std::int64_t id, std::int64_t offset, ByteView body, bool last) -> asio::awaitable<void> {
            auto self = weak.lock();
            if (!self) co_return;
            auto& file = self->files_[id];
            if (offset != static_cast<std::int64_t>(file.body.size()) || file.last) file.inOrder = false;
            file.body.insert(file.body.end(), body.begin(), body.end());
            file.last = file.last || last;
            ++file.chunks;
            if (self->afterChunk) co_await self->afterChunk(id, last);
        });
    phone->openInbox();
    co_return phone;
}

void ScriptedPhone::openInbox() {
    inbox_ = FrameInbox::create(connection_->executor());
    auto frames = connection_->incomingFrames();
    inbox_->pump([frames] { return frames->next(); }, [connection = connection_] { connection->close(); });
}

asio::awaitable<ScriptedPhone::Frame> ScriptedPhone::next(std::chrono::steady_clock::duration limit) {
    co_return co_await inbox_->next(limit);
}

asio::awaitable<ScriptedPhone::Frame> ScriptedPhone::expect(FrameType type, std::chrono::steady_clock::duration limit) {
    auto frame = co_await next(limit);
    EXPECT_EQ(frame.v1().type(), type) << "the computer sent " << frame.ShortDebugString();
    co_return frame;
}

asio::awaitable<bool> ScriptedPhone::expectEnd(std::chrono::steady_clock::duration limit) {
    try {
        auto frame = co_await next(limit);
        ADD_FAILURE() << "expected the end, got " << frame.ShortDebugString();
        co_return false;
    } catch (const QuickShareError& error) {
        if (error.kind() == QuickShareError::Kind::timedOut) {
            ADD_FAILURE() << "the connection stayed open";
            co_return false;
        }
    } catch (...) {
    }
    co_return true;
}

asio::awaitable<void> ScriptedPhone::send(const Frame& frame) { co_await connection_->sendFrame(frame); }

asio::awaitable<void> ScriptedPhone::sendType(FrameType type) { co_await send(frameOf(type)); }

asio::awaitable<void> ScriptedPhone::sendPairedKeys() {
    auto encryption = frameOf(sharing::V1Frame::PAIRED_KEY_ENCRYPTION);
    encryption.mutable_v1()->mutable_paired_key_encryption()->set_secret_id_hash("123456");
    co_await send(encryption);
    auto result = frameOf(sharing::V1Frame::PAIRED_KEY_RESULT);
    result.mutable_v1()->mutable_paired_key_result()->set_status(sharing::PairedKeyResultFrame::UNABLE);
    co_await send(result);
}

asio::awaitable<void> ScriptedPhone::sendIntroduction(const std::vector<OfferedFile>& files) {
    auto frame = frameOf(sharing::V1Frame::INTRODUCTION);
    *frame.mutable_v1()->mutable_introduction() = introductionOf(files);
    co_await send(frame);
}

asio::awaitable<void> ScriptedPhone::sendResponse(ResponseStatus status) {
    auto frame = frameOf(sharing::V1Frame::RESPONSE);
    frame.mutable_v1()->mutable_connection_response()->set_status(status);
    co_await send(frame);
}

asio::awaitable<void> ScriptedPhone::sendChunk(std::int64_t payloadId, std::int64_t totalSize,
                                               std::int64_t offset, const Bytes& body, bool last) {
    co_await connection_->sendPayloadChunk(payloadId, location::nearby::connections::PayloadTransferFrame::PayloadHeader::FILE,
                                           totalSize, offset, body, last);
}

asio::awaitable<void> ScriptedPhone::sendFile(std::int64_t payloadId, const Bytes& body, std::size_t chunkSize) {
    const auto size = static_cast<std::int64_t>(body.size());
    std::size_t offset = 0;
    while (offset < body.size()) {
        const auto take = std::min(chunkSize, body.size() - offset);
        Bytes chunk(body.begin() + static_cast<std::ptrdiff_t>(offset),
                    body.begin() + static_cast<std::ptrdiff_t>(offset + take));
        co_await sendChunk(payloadId, size, static_cast<std::int64_t>(offset), chunk, false);
        offset += take;
    }
    co_await sendChunk(payloadId, size, size, {}, true);
}

asio::awaitable<void> ScriptedPhone::sendPayloadCancel(std::int64_t payloadId) {
    auto frame = controlFrame(nc::PayloadTransferFrame::ControlMessage::PAYLOAD_CANCELED);
    frame.mutable_v1()->mutable_payload_transfer()->mutable_payload_header()->set_id(payloadId);
    co_await connection_->sendEncrypted(std::move(frame));
}

asio::awaitable<void> ScriptedPhone::disconnect() { co_await connection_->sendDisconnection(); }

void ScriptedPhone::close() { connection_->close(); }

asio::awaitable<sharing::IntroductionFrame> ScriptedPhone::expectIntroduction() {
    co_await expect(sharing::V1Frame::PAIRED_KEY_ENCRYPTION);
    co_await sendPairedKeys();
    co_await expect(sharing::V1Frame::PAIRED_KEY_RESULT);
    auto introduction = co_await expect(sharing::V1Frame::INTRODUCTION);
    co_return introduction.v1().introduction();
}

asio::awaitable<sharing::IntroductionFrame> ScriptedPhone::negotiateAsReceiver(ResponseStatus status) {
    auto introduction = co_await expectIntroduction();
    co_await sendResponse(status);
    co_return introduction;
}

ScriptedPhone::Frame ScriptedPhone::frameOf(FrameType type) {
    Frame frame;
    frame.set_version(sharing::Frame::V1);
    frame.mutable_v1()->set_type(type);
    return frame;
}

sharing::IntroductionFrame ScriptedPhone::introductionOf(const std::vector<OfferedFile>& files) {
    sharing::IntroductionFrame introduction;
    for (const auto& file : files) {
        auto* meta = introduction.add_file_metadata();
        meta->set_name(file.name);
        meta->set_payload_id(file.payloadId);
        meta->set_size(file.size);
    }
    return introduction;
}

}  // namespace velmo::test
