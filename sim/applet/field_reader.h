#pragma once

// Strict reading of the applet's own records and of request payloads: every item must lie inside
// its sequence, every tag must be one the record expects, and no tag may appear twice. Failures
// are AppletError carrying the ErrorMessage code the reply will show.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kilnsim {

// A request the applet refuses; becomes an ErrorMessage reply with this code and text.
class AppletError : public std::runtime_error {
 public:
  AppletError(uint16_t errorCode, const std::string& text)
      : std::runtime_error(text), code(errorCode) {}
  uint16_t Code() const { return code; }

 private:
  uint16_t code;
};

struct TlvItem {
  uint16_t tag;
  std::span<const uint8_t> value;
};

// The items of one sequence in wire order. Throws AppletError(errorCode) when an item runs past
// the end, the sequence ends in a fragment, or it holds more than maxItems items.
std::vector<TlvItem> SplitTlv(std::span<const uint8_t> sequence, size_t maxItems,
                              uint16_t errorCode, std::string_view what);

// The fields of one record, checked against the tags it may hold.
class FieldReader {
 public:
  // Throws AppletError(errorCode) naming the record for framing errors, unexpected tags and
  // repeated tags.
  FieldReader(std::span<const uint8_t> sequence, std::string_view recordName, uint16_t errorCode,
              std::initializer_list<uint16_t> allowedTags);

  bool Has(uint16_t tag) const { return fields.count(tag) != 0; }
  // Required fields throw AppletError when absent; the Optional forms return the fallback.
  std::span<const uint8_t> Bytes(uint16_t tag) const;
  std::span<const uint8_t> OptionalBytes(uint16_t tag) const;
  // A string of 1 to maxLength bytes (0 allowed when allowEmpty).
  std::string Text(uint16_t tag, size_t maxLength, bool allowEmpty = false) const;
  // An integer of 0 to 4 bytes, big-endian, zero-extended.
  uint32_t Uint(uint16_t tag) const;
  uint32_t OptionalUint(uint16_t tag, uint32_t fallback) const;
  // An integer that must be 0 or 1.
  bool OptionalFlag(uint16_t tag, bool fallback) const;
  // Exactly 8 bytes, big-endian.
  uint64_t Time(uint16_t tag) const;

  [[noreturn]] void Fail(const std::string& text) const;

 private:
  std::span<const uint8_t> Find(uint16_t tag) const;

  std::string record;
  uint16_t code;
  std::map<uint16_t, std::span<const uint8_t>> fields;
};

// The values of the element items of a container, each of which must carry elementTag.
// Throws AppletError(errorCode) for other tags or more than maxElements elements.
std::vector<std::span<const uint8_t>> ListElements(std::span<const uint8_t> container,
                                                   uint16_t elementTag, size_t maxElements,
                                                   uint16_t errorCode, std::string_view what);

// Text checks for names that end up in file names, registry keys and log lines.
// Letters, digits, '_' and '-', 1 to 64 characters.
bool IsIdentifier(std::string_view text);
// "S-1-" followed by decimal groups separated by single '-', at most 184 characters.
bool IsSid(std::string_view text);
// Bytes 0x20 to 0x7E and UTF-8 sequences (any byte >= 0x80); no control characters.
bool IsPrintable(std::string_view text);

// Big-endian helpers of the applet's own formats.
void PutBe32(std::vector<uint8_t>& out, uint32_t value);
void PutBe64(std::vector<uint8_t>& out, uint64_t value);
uint32_t GetBe32(const uint8_t* p);
uint64_t GetBe64(const uint8_t* p);

}  // namespace kilnsim
