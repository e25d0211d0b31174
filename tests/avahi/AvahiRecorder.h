// Collects the events of an Avahi publisher or browser for a test to wait on.
#pragma once
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/AvahiBrowser.h"
#include "platform/AvahiPublisher.h"

namespace velmo::test {

class AvahiRecorder {
public:
    AvahiPublisher::Events publisherEvents() {
        return {[this] { record([&] { ++collisions; }); },
                [this](std::string reason) { record([&] { failures.push_back(reason); }); }};
    }
    AvahiBrowser::Events browserEvents() {
        return {[this](std::vector<AvahiResolvedService> list) {
                    record([&] {
                        for (const auto& service : list) {
                            const auto seen = [&](const AvahiResolvedService& s) {
                                return s.name == service.name && s.interfaceIndex == service.interfaceIndex;
                            };
                            if (std::none_of(firstListings.begin(), firstListings.end(), seen))
                                firstListings.push_back(service);
                        }
                        results = std::move(list);
                        ++reports;
                        emptyReports += results.empty();
                    });
                },
                [this](std::string reason) { record([&] { failures.push_back(reason); }); }};
    }

    // Waits until `condition` (run under the lock) holds; false after `limit`.
    bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        std::unique_lock guard(lock_);
        return changed_.wait_for(guard, limit, condition);
    }

    template <class F>
    auto read(F f) {
        std::lock_guard guard(lock_);
        return f();
    }

    // Guarded by the recorder's lock.
    int collisions = 0;
    int reports = 0;
    int emptyReports = 0;  // a list can be emptied and refilled before a test looks
    std::vector<std::string> failures;
    std::vector<AvahiResolvedService> results;
    // Each service (by name and interface) as the first list that held it had it.
    std::vector<AvahiResolvedService> firstListings;

private:
    template <class F>
    void record(F f) {
        std::lock_guard guard(lock_);
        f();
        changed_.notify_all();
    }

    std::mutex lock_;
    std::condition_variable changed_;
};

// The entry named `name` in `results`, or null.
inline const AvahiResolvedService* findService(const std::vector<AvahiResolvedService>& results,
                                               const std::string& name) {
    for (const auto& service : results)
        if (service.name == name) return &service;
    return nullptr;
}

}  // namespace velmo::test
