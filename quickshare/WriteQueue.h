// Puts the frames of several writers onto one stream, one whole frame at a time, in the
// order the writers queued them. One drain task writes while frames are waiting.
#pragma once
#include <asio/awaitable.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <deque>
#include <memory>

#include "platform/Bytes.h"
#include "transfer/ByteStream.h"

namespace velmo {

class WriteQueue : public std::enable_shared_from_this<WriteQueue> {
public:
    // `deadline` bounds each stream write; when it passes the stream is closed, so a phone
    // that stops reading cannot hold the queue forever and no half frame is left behind a
    // later one. Zero or less means no deadline.
    static std::shared_ptr<WriteQueue> create(std::shared_ptr<ByteStream> stream,
                                              std::chrono::steady_clock::duration deadline);

    // Queues one complete frame (prefix and body) and waits until the stream took it, or
    // throws what the stream threw for it. A failed write does not stop the queue. Call on
    // the stream's strand.
    asio::awaitable<void> write(Bytes frame);

    // The storage of a frame already written (empty when there is none), for the next frame.
    Bytes takeSpare() {
        Bytes spare;
        spare.swap(spare_);
        return spare;
    }

    bool draining() const { return draining_; }
    std::size_t queued() const { return pending_.size(); }

private:
    struct Waiter;
    struct Entry {
        Bytes frame;
        std::shared_ptr<Waiter> waiter;
    };

    WriteQueue(std::shared_ptr<ByteStream> stream, std::chrono::steady_clock::duration deadline);
    asio::awaitable<void> drain();
    void armDeadline();

    std::shared_ptr<ByteStream> stream_;
    std::chrono::steady_clock::duration deadline_;
    asio::steady_timer deadlineTimer_;
    std::uint64_t writeNumber_ = 0;  // tells a late deadline from the write it was armed for
    bool writeInProgress_ = false;
    bool deadlinePassed_ = false;
    std::deque<Entry> pending_;
    bool draining_ = false;
    Bytes spare_;
};

}  // namespace velmo
