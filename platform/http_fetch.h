#pragma once

// Plain HTTP downloads of public documents (certificate revocation lists), bounded in time and
// size. Nothing is authenticated here: callers check what they get.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace platform {

// The document could not be had: a refused URL, no answer within the limit, an HTTP error, or
// more bytes than allowed.
class HttpFetchError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Thread-safe; calls share nothing.
class HttpFetch {
 public:
  virtual ~HttpFetch() = default;

  // The body of a GET of an http:// URL (other schemes are refused). Blocks at most limit,
  // name resolution included. Throws HttpFetchError.
  virtual std::vector<uint8_t> Get(const std::string& url, std::chrono::milliseconds limit,
                                   size_t maxBytes) = 0;
};

// Downloads through libcurl, loaded at the first download; a failure to load it makes each
// download throw HttpFetchError saying so. The second form names the library to load.
std::unique_ptr<HttpFetch> CreateHttpFetch();
std::unique_ptr<HttpFetch> CreateHttpFetch(const std::string& curlLibrary);

}  // namespace platform
