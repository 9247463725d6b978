#pragma once

// The tag-length-value encoding of every buffer exchanged with the applet.
// An item is a 2-byte big-endian tag, a 2-byte big-endian length and that many value bytes;
// items are laid end to end with no outer header. The writer never emits a length above 32767.
// Integers are 4-byte big-endian two's complement (the reader takes 0 to 4 bytes, zero-extended),
// times 8-byte big-endian unsigned, strings and byte arrays raw, nested objects a TLV sequence.

#include <cstdint>
#include <memory>
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

// The items of one sequence in arrival order, each as its tag and the position of its header in
// the caller's buffer; a lookup gives a tag's first item. Holds positions only: the buffer must
// outlive the index. Up to kInlineItems items are held inside the object, so indexing the short
// sequences of message classes does not allocate. Not thread-safe; copyable.
class TlvIndex {
 public:
  struct Entry {
    const uint8_t* item;
    uint16_t tag;
  };

  TlvIndex() = default;
  TlvIndex(const TlvIndex& other);
  TlvIndex& operator=(const TlvIndex& other);
  TlvIndex(TlvIndex&& other) noexcept;
  TlvIndex& operator=(TlvIndex&& other) noexcept;
  ~TlvIndex() = default;

  // The first item with this tag, or null.
  const uint8_t* Find(uint16_t tag) const noexcept;
  // As Find, for a reader that looks tags up in about the order they were written: when no tag
  // repeats, the search starts at hint (which then moves past the item found).
  const uint8_t* Find(uint16_t tag, size_t& hint) const noexcept;
  // The first item with this tag; throws std::out_of_range when absent.
  const uint8_t* at(uint16_t tag) const;
  size_t count(uint16_t tag) const noexcept { return Find(tag) != nullptr ? 1 : 0; }
  // The number of distinct tags.
  size_t size() const;
  bool empty() const noexcept { return itemCount == 0; }
  // Every item in arrival order, repeated tags included.
  std::span<const Entry> Items() const noexcept { return {Data(), itemCount}; }
  // The arrival position of the first item with this tag, or Items().size() when absent.
  size_t FirstPosition(uint16_t tag) const noexcept;

 private:
  friend TlvIndex ParseTlv(const uint8_t* begin, const uint8_t* end);

  static constexpr size_t kInlineItems = 16;

  const Entry* Data() const noexcept { return heapEntries ? heapEntries.get() : inlineEntries; }
  Entry* Data() noexcept { return heapEntries ? heapEntries.get() : inlineEntries; }
  void CopyFrom(const TlvIndex& other);
  void Grow();
  // Called once the last item is in; settles whether a tag may repeat.
  void Finish() noexcept;

  Entry inlineEntries[kInlineItems];  // only [0, itemCount) is ever read
  std::unique_ptr<Entry[]> heapEntries;
  size_t itemCount = 0;
  size_t capacity = kInlineItems;
  // Every tag so far was greater than the one before: lookups may bisect and no tag repeats.
  bool ascending = true;
  // Some tag may occur twice (false when that is ruled out); set by Finish.
  bool mayRepeat = false;
};

// Indexes the sequence [begin, end). Throws TlvException when an item runs past end or the
// buffer ends in a fragment shorter than a header; nothing outside the range is read.
TlvIndex ParseTlv(const uint8_t* begin, const uint8_t* end);
inline TlvIndex ParseTlv(std::span<const uint8_t> bytes) {
  return ParseTlv(bytes.data(), bytes.data() + bytes.size());
}

// The item with this tag; throws TlvException "Requested TLV (0xtttt) not found." when absent.
const uint8_t* GetTlv(const TlvIndex& index, uint16_t tag);
inline bool HasTlv(const TlvIndex& index, uint16_t tag) { return index.Find(tag) != nullptr; }
// Throws the TlvException GetTlv throws for an absent tag.
[[noreturn]] void ThrowTlvNotFound(uint16_t tag);

// Fields of an item whose header starts at item (a position from an index or a walk).
inline uint16_t TlvTag(const uint8_t* item) {
  return static_cast<uint16_t>((item[0] << 8) | item[1]);
}
inline uint16_t TlvLength(const uint8_t* item) {
  return static_cast<uint16_t>((item[2] << 8) | item[3]);
}
inline const uint8_t* TlvValueBegin(const uint8_t* item) { return item + kTlvHeaderSize; }
inline const uint8_t* TlvValueEnd(const uint8_t* item) { return item + kTlvHeaderSize + TlvLength(item); }
inline std::span<const uint8_t> TlvValue(const uint8_t* item) {
  return {TlvValueBegin(item), TlvLength(item)};
}
// The header of the item after this one.
inline const uint8_t* TlvNext(const uint8_t* item) { return TlvValueEnd(item); }

// Value readers. TlvToInt throws "Not an integer value." for a value over 4 bytes;
// TlvToTime throws "Not an time value." unless the value is exactly 8 bytes.
[[noreturn]] void ThrowNotAnInteger();
[[noreturn]] void ThrowNotATime();
inline int32_t TlvToInt(const uint8_t* item) {
  const uint16_t length = TlvLength(item);
  const uint8_t* value = TlvValueBegin(item);
  if (length == 4) {  // what every writer emits; the shifts compile to one load and a byte swap
    return static_cast<int32_t>((uint32_t{value[0]} << 24) | (uint32_t{value[1]} << 16) |
                                (uint32_t{value[2]} << 8) | uint32_t{value[3]});
  }
  if (length > 4) ThrowNotAnInteger();
  uint32_t v = 0;
  for (uint16_t i = 0; i < length; ++i) v = (v << 8) | value[i];
  return static_cast<int32_t>(v);
}
inline uint64_t TlvToTime(const uint8_t* item) {
  if (TlvLength(item) != 8) ThrowNotATime();
  const uint8_t* value = TlvValueBegin(item);
  return (uint64_t{value[0]} << 56) | (uint64_t{value[1]} << 48) | (uint64_t{value[2]} << 40) |
         (uint64_t{value[3]} << 32) | (uint64_t{value[4]} << 24) | (uint64_t{value[5]} << 16) |
         (uint64_t{value[6]} << 8) | uint64_t{value[7]};
}
std::string TlvToString(const uint8_t* item);
Bytes TlvToBytes(const uint8_t* item);

// The checked conversion every written length passes through: throws std::overflow_error
// "Error converting value N to unsigned short (max value: 32767)." above 32767.
uint16_t CheckedTlvLength(size_t size);

// Raw writers for a caller that has the room: each writes at p and returns the position after.
inline uint8_t* PutTlvHeader(uint8_t* p, uint16_t tag, uint16_t length) {
  p[0] = static_cast<uint8_t>(tag >> 8);
  p[1] = static_cast<uint8_t>(tag);
  p[2] = static_cast<uint8_t>(length >> 8);
  p[3] = static_cast<uint8_t>(length);
  return p + kTlvHeaderSize;
}
// An integer item: the header and 4 bytes.
inline uint8_t* PutTlvUint(uint8_t* p, uint16_t tag, uint32_t value) {
  p = PutTlvHeader(p, tag, 4);
  p[0] = static_cast<uint8_t>(value >> 24);
  p[1] = static_cast<uint8_t>(value >> 16);
  p[2] = static_cast<uint8_t>(value >> 8);
  p[3] = static_cast<uint8_t>(value);
  return p + 4;
}

// Writers; each appends one whole item or, on failure, nothing.
void AppendTlv(Bytes& out, uint16_t tag, std::span<const uint8_t> value);
void AppendTlv(Bytes& out, uint16_t tag, std::string_view value);
// Appends a header alone; the caller appends exactly length value bytes after it.
void AppendTlvHeader(Bytes& out, uint16_t tag, uint16_t length);
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
  const std::span<const TlvIndex::Entry> items = index.Items();
  const size_t first = index.FirstPosition(elementTag);
  if (first == items.size()) return elements;
  elements.reserve(items.size() - first);
  for (const TlvIndex::Entry& entry : items.subspan(first)) {
    elements.emplace_back().Deserialize(TlvValueBegin(entry.item), TlvValueEnd(entry.item));
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
