#include "updatecore/BoundedUpdateRequest.h"

#include <optional>

#include "updatecore/UpdateError.h"

namespace velmo {
namespace {

// Decides each response as it arrives; the first failure it stores is the outcome.
class Collector : public HttpSink {
public:
    Collector(const std::string& url, std::int64_t limit) : url_(url), limit_(limit) {}

    bool onHead(const HttpResponseHead& head) override {
        if (failure) return false;
        if (head.url.empty() || head.url != url_) failure = UpdateError(UpdateError::Kind::insecureURL);
        else if (!head.isHttp) failure = UpdateError(UpdateError::Kind::invalidFeed);
        else if (head.status >= 300 && head.status <= 399) failure = UpdateError(UpdateError::Kind::redirected);
        else if (head.status == 200) {
            if (head.contentLength > limit_) failure = UpdateError(UpdateError::Kind::tooLarge);
            else answered = true;
        } else failure = UpdateError::http(head.status);
        return !failure;
    }

    bool onBody(ByteView chunk) override {
        if (failure) return false;
        if (static_cast<std::int64_t>(data.size() + chunk.size()) > limit_) {
            failure = UpdateError(UpdateError::Kind::tooLarge);
            data.clear();
            return false;
        }
        data.insert(data.end(), chunk.begin(), chunk.end());
        return true;
    }

    Bytes data;
    std::optional<UpdateError> failure;
    bool answered = false;  // the response was accepted and its body began

private:
    const std::string& url_;
    std::int64_t limit_;
};

}  // namespace

BoundedUpdateRequest::BoundedUpdateRequest(std::string url, std::int64_t limit)
    : url_(std::move(url)), limit_(limit) {}

Bytes BoundedUpdateRequest::run(HttpTransport& transport, const std::string& accept,
                                const std::atomic<bool>& cancel) const {
    if (cancel.load()) throw UpdateError(UpdateError::Kind::cancelled);
    Collector collector(url_, limit_);
    const auto outcome = transport.get(url_, accept, limit_, collector, cancel);
    // A failure decided from the response wins over the transport error that stopping causes.
    if (collector.failure) throw *collector.failure;
    if (cancel.load() || outcome == HttpTransport::Outcome::cancelled)
        throw UpdateError(UpdateError::Kind::cancelled);
    if (outcome != HttpTransport::Outcome::completed)
        throw collector.answered ? UpdateError::interrupted() : UpdateError(UpdateError::Kind::unavailable);
    return std::move(collector.data);
}

}  // namespace velmo
