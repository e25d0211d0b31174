// The platform's AirDrop sharing service. Linux has none: the standard service reports
// itself unavailable and the AirDrop choices stay hidden.
#pragma once
#include <filesystem>
#include <memory>
#include <vector>

#include "velmo/model/AirDropHandoff.h"

namespace velmo {

class SharingService {
public:
    virtual ~SharingService() = default;
    virtual bool isAvailable() const = 0;
    virtual bool canPerform(const std::vector<std::filesystem::path>& files) const = 0;
    // Runs the service's own interface; it reports to `delegate` on the GUI thread.
    virtual void perform(const std::vector<std::filesystem::path>& files,
                         std::shared_ptr<AirDropHandoff> delegate) = 0;
};

class UnavailableSharingService : public SharingService {
public:
    bool isAvailable() const override { return false; }
    bool canPerform(const std::vector<std::filesystem::path>&) const override { return false; }
    void perform(const std::vector<std::filesystem::path>&, std::shared_ptr<AirDropHandoff>) override {}
};

}  // namespace velmo
