#include "platform/http_fetch.h"

#include <curl/curl.h>

#include <map>
#include <memory>
#include <string>

#include "common/mutex.h"
#include "platform/shared_library.h"

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

// libcurl and the dozens of libraries it links (TLS, Kerberos, LDAP...) would cost the engine
// megabytes of memory and part of its start for downloads that most runs never make: it is
// loaded at the first download.
struct CurlApi {
  explicit CurlApi(const SharedLibrary& library) {
    decltype(&curl_global_init) globalInit = nullptr;
    library.Resolve(globalInit, "curl_global_init");
    library.Resolve(easyInit, "curl_easy_init");
    library.Resolve(easyCleanup, "curl_easy_cleanup");
    library.Resolve(easySetopt, "curl_easy_setopt");
    library.Resolve(easyPerform, "curl_easy_perform");
    library.Resolve(easyStrerror, "curl_easy_strerror");
    if (globalInit(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
      throw SharedLibraryError(library.Path() + ": curl_global_init failed");
    }
  }

  decltype(&curl_easy_init) easyInit = nullptr;
  decltype(&curl_easy_cleanup) easyCleanup = nullptr;
  decltype(&curl_easy_setopt) easySetopt = nullptr;
  decltype(&curl_easy_perform) easyPerform = nullptr;
  decltype(&curl_easy_strerror) easyStrerror = nullptr;
};

// The library's functions, initialized once per library for the whole process (curl_global_init
// must not run twice at once, and its state must outlive every transfer).
const CurlApi& Curl(const std::string& libraryName) {
  struct Initialized {
    keystone::Mutex mutex;  // Guards the member below.
    std::map<std::string, std::unique_ptr<const CurlApi>> apis GUARDED_BY(mutex);
  };
  static Initialized& initialized = *new Initialized;  // as the library: never destroyed
  keystone::MutexLock lock(initialized.mutex);
  std::unique_ptr<const CurlApi>& api = initialized.apis[libraryName];
  try {
    if (!api) api = std::make_unique<const CurlApi>(ResidentLibrary(libraryName));
  } catch (const SharedLibraryError& e) {
    throw HttpFetchError(std::string("no HTTP downloads: ") + e.what());
  }
  return *api;
}

class CurlFetch : public HttpFetch {
 public:
  explicit CurlFetch(std::string library) : libraryName(std::move(library)) {}

  std::vector<uint8_t> Get(const std::string& url, std::chrono::milliseconds limit,
                           size_t maxBytes) override {
    if (url.rfind("http://", 0) != 0) throw HttpFetchError("not an http:// URL: " + url);
    const CurlApi& api = Curl(libraryName);
    std::unique_ptr<CURL, void (*)(CURL*)> curl(api.easyInit(), api.easyCleanup);
    if (!curl) throw HttpFetchError("curl_easy_init failed");
    Body body;
    body.maxBytes = maxBytes;
    CURL* c = curl.get();
    const auto set = api.easySetopt;
    set(c, CURLOPT_URL, url.c_str());
    set(c, CURLOPT_PROTOCOLS_STR, "http");
    set(c, CURLOPT_REDIR_PROTOCOLS_STR, "http");
    set(c, CURLOPT_FOLLOWLOCATION, 1L);
    set(c, CURLOPT_MAXREDIRS, 3L);
    // The whole transfer, name resolution included (the threaded resolver is abandoned at the
    // limit), and no signals: the engine's threads do not expect SIGALRM.
    set(c, CURLOPT_TIMEOUT_MS, static_cast<long>(limit.count()));
    set(c, CURLOPT_NOSIGNAL, 1L);
    set(c, CURLOPT_FAILONERROR, 1L);
    set(c, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(maxBytes));
    set(c, CURLOPT_WRITEFUNCTION, Append);
    set(c, CURLOPT_WRITEDATA, &body);
    const CURLcode code = api.easyPerform(c);
    if (body.overflow || code == CURLE_FILESIZE_EXCEEDED) {
      throw HttpFetchError(url + ": more than " + std::to_string(maxBytes) + " bytes");
    }
    if (code != CURLE_OK) throw HttpFetchError(url + ": " + api.easyStrerror(code));
    return std::move(body.bytes);
  }

 private:
  const std::string libraryName;
};

}  // namespace

std::unique_ptr<HttpFetch> CreateHttpFetch() { return CreateHttpFetch(KEYSTONE_CURL_LIBRARY); }

std::unique_ptr<HttpFetch> CreateHttpFetch(const std::string& curlLibrary) {
  return std::make_unique<CurlFetch>(curlLibrary);
}

}  // namespace platform
