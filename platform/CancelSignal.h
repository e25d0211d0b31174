// The cancel signal of one flow: set from any thread, checked where the flow may stop,
// and able to tell a waiting flow (through callbacks) so it can close its stream.
#pragma once
#include <functional>
#include <memory>
#include <stop_token>

namespace velmo {

class CancelSignal {
public:
    // Keeps a callback registered for as long as it lives. Destroying it while the
    // callback runs on another thread waits for the callback to return.
    class Registration {
    public:
        Registration() = default;
        Registration(Registration&&) noexcept = default;
        Registration& operator=(Registration&&) noexcept = default;
        ~Registration();

    private:
        friend class CancelSignal;
        explicit Registration(std::unique_ptr<std::stop_callback<std::function<void()>>> callback);
        std::unique_ptr<std::stop_callback<std::function<void()>>> callback_;
    };

    // Copies share one signal: cancelling one cancels all.
    CancelSignal() = default;

    // Cancels the flow; the first call runs every registered callback on the calling
    // thread, later calls do nothing.
    void cancel();

    bool isCancelled() const;

    // Throws velmo::Cancelled once the signal is set.
    void throwIfCancelled() const;

    // Registers `callback` to run once when the signal is set. When it is already set, the
    // callback runs at once on the calling thread. The callback must not throw.
    [[nodiscard]] Registration onCancel(std::function<void()> callback) const;

private:
    std::stop_source source_;
};

}  // namespace velmo
