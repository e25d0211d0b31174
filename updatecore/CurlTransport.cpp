#include "updatecore/CurlTransport.h"

#include <curl/curl.h>

#include <mutex>

namespace velmo {
namespace {

struct Transfer {
    CURL* curl = nullptr;
    HttpSink* sink = nullptr;
    const std::atomic<bool>* cancel = nullptr;
    bool headDelivered = false;
    bool stoppedBySink = false;
};

// Hands the response head to the sink once. At the end of a header block an interim (1xx)
// head is passed over, as is a block without a status (a proxy's reply): the real head
// follows. Once the body arrives or the transfer ends, the head is whatever curl has.
bool deliverHead(Transfer& t, bool blockEnded) {
    if (t.headDelivered) return true;
    long status = 0;
    curl_easy_getinfo(t.curl, CURLINFO_RESPONSE_CODE, &status);
    if (blockEnded && status < 200) return true;
    t.headDelivered = true;
    HttpResponseHead head;
    char* url = nullptr;
    if (curl_easy_getinfo(t.curl, CURLINFO_EFFECTIVE_URL, &url) == CURLE_OK && url) head.url = url;
    head.status = static_cast<int>(status);
    curl_off_t length = -1;
    if (curl_easy_getinfo(t.curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) != CURLE_OK) length = -1;
    head.contentLength = length;
    if (!t.sink->onHead(head)) {
        t.stoppedBySink = true;
        return false;
    }
    return true;
}

size_t onHeader(char* data, size_t size, size_t count, void* user) {
    auto& t = *static_cast<Transfer*>(user);
    const size_t n = size * count;
    // The blank line ends a header block.
    if ((n == 2 && data[0] == '\r' && data[1] == '\n') || (n == 1 && data[0] == '\n')) {
        if (!deliverHead(t, true)) return 0;
    }
    return n;
}

size_t onBody(char* data, size_t size, size_t count, void* user) {
    auto& t = *static_cast<Transfer*>(user);
    const size_t n = size * count;
    if (!deliverHead(t, false)) return 0;
    if (!t.sink->onBody(ByteView(reinterpret_cast<const std::uint8_t*>(data), n))) {
        t.stoppedBySink = true;
        return 0;
    }
    return n;
}

int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto& t = *static_cast<Transfer*>(user);
    return t.cancel->load() ? 1 : 0;
}

void initialiseOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

CurlTransport::Options CurlTransport::optionsFor(const Timeouts& timeouts) {
    Options o;
    o.protocols = "https";
    o.redirectProtocols = "https";
    o.followRedirects = false;
    o.maxRedirects = 0;
    o.verifyPeer = true;
    o.verifyHost = 2;
    o.cookies = false;
    o.decodeContent = false;  // no Accept-Encoding: the caps count the bytes on the wire
    o.signals = false;
    o.timeouts = timeouts;
    return o;
}

CurlTransport::CurlTransport() : CurlTransport(Timeouts{}) {}

CurlTransport::CurlTransport(Timeouts timeouts) : CurlTransport(timeouts, {}) {}

CurlTransport::CurlTransport(Timeouts timeouts, std::filesystem::path caFile)
    : timeouts_(timeouts), caFile_(std::move(caFile)) {
    initialiseOnce();
}

HttpTransport::Outcome CurlTransport::get(const std::string& url, const std::string& accept,
                                          std::int64_t /*limit*/, HttpSink& sink,
                                          const std::atomic<bool>& cancel) {
    if (cancel.load()) return Outcome::cancelled;
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), curl_easy_cleanup);
    if (!curl) return Outcome::failed;
    const std::string acceptHeader = "Accept: " + accept;
    std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headers(
        curl_slist_append(nullptr, acceptHeader.c_str()), curl_slist_free_all);
    if (!headers) return Outcome::failed;

    // The sink enforces the limit: curl's own size cap would end the transfer before the
    // status of a large error reply is known.
    Options o = optionsFor(timeouts_);
    o.caFile = caFile_;
    Transfer t{curl.get(), &sink, &cancel};
    CURL* c = curl.get();
    bool ok = curl_easy_setopt(c, CURLOPT_URL, url.c_str()) == CURLE_OK &&
              curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, o.protocols.c_str()) == CURLE_OK &&
              curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, o.redirectProtocols.c_str()) == CURLE_OK &&
              curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, o.followRedirects ? 1L : 0L) == CURLE_OK &&
              curl_easy_setopt(c, CURLOPT_MAXREDIRS, o.maxRedirects) == CURLE_OK &&
              curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, o.verifyPeer ? 1L : 0L) == CURLE_OK &&
              curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, o.verifyHost) == CURLE_OK &&
              curl_easy_setopt(c, CURLOPT_NOSIGNAL, o.signals ? 0L : 1L) == CURLE_OK &&
              // Through an https proxy, its CONNECT reply is not the response.
              curl_easy_setopt(c, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L) == CURLE_OK &&
              curl_easy_setopt(c, CURLOPT_HTTPGET, 1L) == CURLE_OK &&
              curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get()) == CURLE_OK &&
              curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(o.timeouts.connect.count())) == CURLE_OK &&
              curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(o.timeouts.resource.count())) == CURLE_OK &&
              curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L) == CURLE_OK &&
              curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME,
                               static_cast<long>(std::max<long long>(1, o.timeouts.idle.count() / 1000))) == CURLE_OK &&
              curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, onHeader) == CURLE_OK &&
              curl_easy_setopt(c, CURLOPT_HEADERDATA, &t) == CURLE_OK &&
              curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, onBody) == CURLE_OK &&
              curl_easy_setopt(c, CURLOPT_WRITEDATA, &t) == CURLE_OK &&
              curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L) == CURLE_OK &&
              curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, onProgress) == CURLE_OK &&
              curl_easy_setopt(c, CURLOPT_XFERINFODATA, &t) == CURLE_OK;
    if (ok && !o.caFile.empty())
        ok = curl_easy_setopt(c, CURLOPT_CAINFO, o.caFile.c_str()) == CURLE_OK &&
             curl_easy_setopt(c, CURLOPT_CAPATH, nullptr) == CURLE_OK;
    if (!ok) return Outcome::failed;

    const CURLcode result = curl_easy_perform(c);
    if (t.stoppedBySink) return Outcome::stopped;
    if (cancel.load()) return Outcome::cancelled;
    if (result != CURLE_OK) return Outcome::failed;
    // A response without a body never reached the write callback.
    if (!deliverHead(t, false)) return Outcome::stopped;
    return Outcome::completed;
}

}  // namespace velmo
