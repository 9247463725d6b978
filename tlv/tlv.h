#pragma once

// The tag-length-value encoding of every buffer exchanged with the applet.
// An item is a 2-byte big-endian tag, a 2-byte big-endian length and that many value bytes;
// items are laid end to end with no outer header. The writer never emits a length above 32767.
// Integers are 4-byte big-endian two's complement (the reader takes 0 to 4 bytes, zero-extended),
// times 8-byte big-endian unsigned, strings and byte arrays raw, nested objects a TLV sequence.

#include <cstdint>
#include <map>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace mfab {

using Bytes = std::vector<uint8_t>;

inline constexpr size_t kTlvHeaderSize = 4;
inline constexpr size_t kMaxTlvLength = 32767;

// A malformed or incomplete TLV buffer.
class TlvException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Ordered map from tag to the position of that tag's first item header in the caller's buffer.
// Holds positions only: the buffer must outlive the index.
using TlvIndex = std::map<uint16_t, const uint8_t*>;

// Indexes the sequence [begin, end). Throws TlvException when an item runs past end or the
// buffer ends in a fragment shorter than a header; nothing outside the range is read.
TlvIndex ParseTlv(const uint8_t* begin, const uint8_t* end);
inline TlvIndex ParseTlv(std::span<const uint8_t> bytes) {
  return ParseTlv(bytes.data(), bytes.data() + bytes.size());
}

// The item with this tag; throws TlvException "Requested TLV (0xtttt) not found." when absent.
const uint8_t* GetTlv(const TlvIndex& index, uint16_t tag);
inline bool HasTlv(const TlvIndex& index, uint16_t tag) { return index.count(tag) != 0; }

// Fields of an item whose header starts at item (a position from an index or a walk).
uint16_t TlvTag(const uint8_t* item);
uint16_t TlvLength(const uint8_t* item);
inline const uint8_t* TlvValueBegin(const uint8_t* item) { return item + kTlvHeaderSize; }
inline const uint8_t* TlvValueEnd(const uint8_t* item) { return item + kTlvHeaderSize + TlvLength(item); }
inline std::span<const uint8_t> TlvValue(const uint8_t* item) {
  return {TlvValueBegin(item), TlvLength(item)};
}
// The header of the item after this one.
inline const uint8_t* TlvNext(const uint8_t* item) { return TlvValueEnd(item); }

// Value readers. TlvToInt throws "Not an integer value." for a value over 4 bytes;
// TlvToTime throws "Not an time value." unless the value is exactly 8 bytes.
int32_t TlvToInt(const uint8_t* item);
uint64_t TlvToTime(const uint8_t* item);
std::string TlvToString(const uint8_t* item);
Bytes TlvToBytes(const uint8_t* item);

// The checked conversion every written length passes through: throws std::overflow_error
// "Error converting value N to unsigned short (max value: 32767)." above 32767.
uint16_t CheckedTlvLength(size_t size);

// Writers; each appends one whole item or, on failure, nothing.
void AppendTlv(Bytes& out, uint16_t tag, std::span<const uint8_t> value);
void AppendTlv(Bytes& out, uint16_t tag, std::string_view value);
void AppendTlvInt(Bytes& out, uint16_t tag, int32_t value);
inline void AppendTlvUint(Bytes& out, uint16_t tag, uint32_t value) {
  AppendTlvInt(out, tag, static_cast<int32_t>(value));
}
inline void AppendTlvBool(Bytes& out, uint16_t tag, bool value) { AppendTlvInt(out, tag, value ? 1 : 0); }
void AppendTlvTime(Bytes& out, uint16_t tag, uint64_t value);

// Every message class: fills itself from one TLV sequence and writes itself as one.
class Serializable {
 public:
  virtual ~Serializable() = default;
  // Fills the object from [begin, end). Throws TlvException for missing required tags or
  // malformed values.
  virtual void Deserialize(const uint8_t* begin, const uint8_t* end) = 0;
  virtual Bytes Serialize() const = 0;

  void Deserialize(std::span<const uint8_t> bytes) {
    Deserialize(bytes.data(), bytes.data() + bytes.size());
  }
};

// Lists. A list item's value is a sequence of element items, all with one element tag; every
// element's value is one serialized element object. Reading starts at the first element-tag item
// and takes every item from there to the end of the range as an element.
template <typename T>
std::vector<T> ReadTlvListElements(const uint8_t* begin, const uint8_t* end, uint16_t elementTag) {
  std::vector<T> elements;
  const TlvIndex index = ParseTlv(begin, end);
  auto first = index.find(elementTag);
  if (first == index.end()) return elements;
  for (const uint8_t* item = first->second; item != end; item = TlvNext(item)) {
    T element;
    element.Deserialize(TlvValueBegin(item), TlvValueEnd(item));
    elements.push_back(std::move(element));
  }
  return elements;
}

// Reads the list held in the value of a container item.
template <typename T>
std::vector<T> ReadTlvList(const uint8_t* containerItem, uint16_t elementTag) {
  return ReadTlvListElements<T>(TlvValueBegin(containerItem), TlvValueEnd(containerItem),
                                elementTag);
}

// Appends one element item per object (a top-level list).
template <typename T>
void AppendTlvListElements(Bytes& out, uint16_t elementTag, const std::vector<T>& elements) {
  Bytes body;
  for (const T& element : elements) AppendTlv(body, elementTag, element.Serialize());
  out.insert(out.end(), body.begin(), body.end());
}

// Appends a container item holding one element item per object.
template <typename T>
void AppendTlvList(Bytes& out, uint16_t containerTag, uint16_t elementTag,
                   const std::vector<T>& elements) {
  Bytes body;
  AppendTlvListElements(body, elementTag, elements);
  AppendTlv(out, containerTag, body);
}

}  // namespace mfab
