#include "platform/http_fetch.h"

#include <curl/curl.h>

#include <mutex>

namespace platform {
namespace {

struct Body {
  std::vector<uint8_t> bytes;
  size_t maxBytes = 0;
  bool overflow = false;
};

size_t Append(char* data, size_t size, size_t count, void* context) {
  auto* body = static_cast<Body*>(context);
  const size_t length = size * count;
  if (length > body->maxBytes - body->bytes.size()) {
    body->overflow = true;
    return 0;  // makes libcurl stop with a write error
  }
  body->bytes.insert(body->bytes.end(), data, data + length);
  return length;
}

class CurlFetch : public HttpFetch {
 public:
  CurlFetch() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  }

  std::vector<uint8_t> Get(const std::string& url, std::chrono::milliseconds limit,
                           size_t maxBytes) override {
    if (url.rfind("http://", 0) != 0) throw HttpFetchError("not an http:// URL: " + url);
    std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), curl_easy_cleanup);
    if (!curl) throw HttpFetchError("curl_easy_init failed");
    Body body;
    body.maxBytes = maxBytes;
    CURL* c = curl.get();
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http");
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(c, CURLOPT_MAXREDIRS, 3L);
    // The whole transfer, name resolution included (the threaded resolver is abandoned at the
    // limit), and no signals: the engine's threads do not expect SIGALRM.
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(limit.count()));
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(maxBytes));
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, Append);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &body);
    const CURLcode code = curl_easy_perform(c);
    if (body.overflow || code == CURLE_FILESIZE_EXCEEDED) {
      throw HttpFetchError(url + ": more than " + std::to_string(maxBytes) + " bytes");
    }
    if (code != CURLE_OK) throw HttpFetchError(url + ": " + curl_easy_strerror(code));
    return std::move(body.bytes);
  }
};

}  // namespace

std::unique_ptr<HttpFetch> CreateHttpFetch() { return std::make_unique<CurlFetch>(); }

}  // namespace platform
