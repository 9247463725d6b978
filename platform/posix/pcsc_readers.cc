#include <PCSC/winscard.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/smart_card_readers.h"

namespace platform {
namespace {

std::string Hex(LONG rv) {
  char text[24];
  std::snprintf(text, sizeof text, "%lx", static_cast<unsigned long>(rv));
  return text;
}

// One PC/SC context for one listing; released on every path.
class Context {
 public:
  Context() {
    const LONG rv = ::SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &handle);
    if (rv != SCARD_S_SUCCESS) {
      throw SmartCardServiceError("SCardEstablishContext: " + Hex(rv), static_cast<uint32_t>(rv));
    }
  }
  ~Context() { ::SCardReleaseContext(handle); }
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;

  SCARDCONTEXT handle = 0;
};

class PcscReaders : public SmartCardReaders {
 public:
  std::vector<std::string> ListReaders() override {
    Context context;
    LPSTR names = nullptr;
    DWORD length = SCARD_AUTOALLOCATE;
    const LONG rv = ::SCardListReaders(context.handle, nullptr,
                                       reinterpret_cast<LPSTR>(&names), &length);
    if (rv != SCARD_S_SUCCESS) {
      throw SmartCardListError("SCardListReaders: " + Hex(rv), static_cast<uint32_t>(rv));
    }
    // A multi-string: names each ended by a NUL, then one more NUL; length counts them all.
    std::vector<std::string> readers;
    size_t at = 0;
    while (at < length && names[at] != '\0' && readers.size() < kMaxReaders) {
      size_t end = at;
      while (end < length && names[end] != '\0') ++end;
      if (end - at <= kMaxReaderName) readers.emplace_back(names + at, end - at);
      at = end + 1;
    }
    ::SCardFreeMemory(context.handle, names);
    if (readers.empty()) throw SmartCardListError("SCardListReaders: no reader", 0);
    return readers;
  }
};

}  // namespace

std::unique_ptr<SmartCardReaders> CreateSmartCardReaders() {
  return std::make_unique<PcscReaders>();
}

}  // namespace platform
