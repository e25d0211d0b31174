// Turns the sharing service's completion or failure into one callback for the model.
#pragma once
#include <functional>
#include <optional>
#include <string>

namespace velmo {

class AirDropHandoff {
public:
    // (completed, message): the message is present exactly when completed is false.
    using Done = std::function<void(bool completed, std::optional<std::string> message)>;

    explicit AirDropHandoff(Done done) : done_(std::move(done)) {}

    // The service delivered the files. Call on the GUI thread.
    void didShareItems();
    // The service failed; `userCancelled` when the user dismissed its sheet. GUI thread.
    void didFailToShareItems(bool userCancelled, const std::string& description);

private:
    Done done_;
};

}  // namespace velmo
