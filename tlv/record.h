#pragma once

// Field tables: every message class declares its fields once, as a table of (tag, kind, name,
// presence) entries bound to its data members, and that table drives Serialize, Deserialize
// (through the class's base, Base<Class>) and the field-by-name printing of tools. Kinds follow the
// member type:
//   int32_t, uint32_t, uint16_t, uint8_t, bool  integer item, always written as 4 bytes; narrower
//                                               members are truncated on reading
//   uint64_t                                    time item, exactly 8 bytes
//   std::string                                 string item, raw bytes
//   std::string_view                            string item, read as a view into the buffer
//                                               read: that buffer must outlive the object
//   Bytes                                       byte item, raw bytes
//   a Serializable class                        nested item holding the object's sequence
//   std::vector of a Serializable class         list (List: in a container item; TopLevelList:
//                                               element items directly in the sequence)
// Reading indexes the sequence once and takes each field in table order: a required tag that is
// absent throws TlvException "Requested TLV (0xtttt) not found."; an optional tag that is absent
// leaves the member as it was. Lists whose element tag is absent read as empty. Strings and byte
// arrays are assigned from the buffer in place.
// A sequence whose items stand exactly in table order (absent optional fields aside, no other
// items, no top-level list) is read in one walk without an index; anything else takes the indexed
// path, which gives the same result and the same exceptions (tables never repeat a tag). When
// reading throws, the object may hold some of the buffer's fields.
// Writing sizes the whole object first (which checks every length against the writer's limit, so
// a refused object appends nothing) and then fills one buffer of exactly that size.

#include <concepts>
#include <cstdint>
#include <iterator>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "tlv/tlv.h"

namespace mfab::record {

enum class Kind : uint8_t { kInt, kTime, kString, kBytes, kNested, kList, kTopLevelList };
enum class Presence : uint8_t { kRequired, kOptional };
// kWriteOnly: written by Serialize, never read by Deserialize.
enum class Access : uint8_t { kReadWrite, kWriteOnly };

struct FieldInfo;
using SchemaFunction = std::vector<FieldInfo> (*)();

// The type-free part of a field: enough to build or check a wire buffer without the class.
struct FieldInfo {
  uint16_t tag;         // the field's item; for a top-level list, the element tag
  uint16_t elementTag;  // lists only: the tag of every element item
  const char* name;
  Kind kind;
  Presence presence;
  Access access;
  SchemaFunction elementSchema;  // nested objects and lists: the element's fields; else null
  uint8_t bits = 0;              // ints: the member's width (1 for a boolean, 8, 16 or 32)
};

// One field of an object, rendered for people.
struct FieldValue {
  uint16_t tag = 0;
  std::string name;
  Kind kind = Kind::kInt;
  Access access = Access::kReadWrite;
  std::string text;                               // scalars; a count for lists
  std::vector<std::vector<FieldValue>> elements;  // nested object: one; list: one per element
};

template <class C>
struct Field : FieldInfo {
  // Appends the field's item (or a top-level list's items); throws std::overflow_error for a
  // value over the writer's limit.
  void (*write)(const C& object, const FieldInfo& info, Bytes& out);
  // Reads the field from its item, which the caller found (all kinds but top-level lists).
  void (*readItem)(C& object, const FieldInfo& info, const uint8_t* item);
  // Top-level lists only: reads the elements from the object's indexed sequence.
  void (*readList)(C& object, const FieldInfo& info, const TlvIndex& index);
  void (*describe)(const C& object, const FieldInfo& info, FieldValue& value);
  // The bytes write appends; throws what write would throw, before anything is written.
  size_t (*size)(const C& object, const FieldInfo& info);
};

// Renderings shared by every field.
std::string IntText(int64_t value, unsigned width);
std::string TimeText(uint64_t value);
std::string StringText(std::string_view value);
std::string BytesText(std::span<const uint8_t> value);

template <class C>
std::vector<FieldValue> Describe(const C& object, std::span<const Field<C>> fields) {
  std::vector<FieldValue> values;
  values.reserve(fields.size());
  for (const Field<C>& field : fields) {
    FieldValue& value = values.emplace_back();
    value.tag = field.tag;
    value.name = field.name;
    value.kind = field.kind;
    value.access = field.access;
    field.describe(object, field, value);
  }
  return values;
}

namespace detail {

inline constexpr size_t kMaxInOrderFields = 24;

// Finds the field's item; null when an optional field is absent.
inline const uint8_t* FindItem(const FieldInfo& info, const TlvIndex& index, size_t& hint) {
  const uint8_t* item = index.Find(info.tag, hint);
  if (item == nullptr && info.presence == Presence::kRequired) ThrowTlvNotFound(info.tag);
  return item;
}

// What the in-order walk needs of a table, worked out once per class.
struct InOrderPlan {
  const void* table = nullptr;  // the table this plan was made from
  bool usable = false;  // short enough, and no top-level list (reading one always assigns it)
  uint8_t count = 0;
  int32_t tags[kMaxInOrderFields] = {};  // -1 for a write-only field: no item matches it
  uint32_t skippable = 0;                // bit i: field i may be absent (optional, write-only)
};

InOrderPlan MakeInOrderPlan(std::span<const FieldInfo> fields);

template <class C>
const InOrderPlan& InOrderPlanOf() {
  static const InOrderPlan plan = [] {
    const std::span<const Field<C>> fields = C::Fields();
    FieldInfo infos[kMaxInOrderFields];
    if (fields.size() > kMaxInOrderFields) return InOrderPlan{};
    for (size_t i = 0; i < fields.size(); ++i) infos[i] = fields[i];
    InOrderPlan made = MakeInOrderPlan({infos, fields.size()});
    made.table = fields.data();
    return made;
  }();
  return plan;
}

// Reads a well-formed sequence whose items are the table's readable fields in table order
// (optional ones may be missing) in one walk, each field as its item comes. False for anything
// else, including a malformed sequence, an absent required field or a value that does not
// convert: the caller then reads through the index, which decides what to throw. Fields read
// before that are read again from the same items, since no table repeats a tag.
template <class C>
bool ReadInOrder(C& object, std::span<const Field<C>> fields, const uint8_t* begin,
                 const uint8_t* end) {
  const InOrderPlan& plan = InOrderPlanOf<C>();
  if (!plan.usable || fields.data() != plan.table) return false;
  const size_t count = plan.count;
  size_t next = 0;
  try {
    for (const uint8_t* cursor = begin; cursor != end; cursor = TlvNext(cursor)) {
      const size_t remaining = static_cast<size_t>(end - cursor);
      if (remaining < kTlvHeaderSize) return false;
      // The whole header in one load: tag in the high half, length in the low.
      const uint32_t header = (uint32_t{cursor[0]} << 24) | (uint32_t{cursor[1]} << 16) |
                              (uint32_t{cursor[2]} << 8) | uint32_t{cursor[3]};
      if ((header & 0xFFFF) > remaining - kTlvHeaderSize) return false;
      const int32_t tag = static_cast<int32_t>(header >> 16);
      // Pass over fields that may stay unread until one takes this item.
      for (; next < count && plan.tags[next] != tag; ++next) {
        if ((plan.skippable >> next & 1) == 0) return false;
      }
      if (next == count) return false;
      fields[next].readItem(object, fields[next], cursor);
      ++next;
    }
  } catch (const TlvException&) {
    return false;
  }
  for (; next < count; ++next) {
    if ((plan.skippable >> next & 1) == 0) return false;
  }
  return true;
}

}  // namespace detail

// A class on a hot path may publish its table as a constant expression, after the class:
//   template <> struct ConstantFields<C> { static constexpr const auto& kTable = <its table>; };
// Its in-order walk is then unrolled at compile time, each field's reader called directly.
template <class C>
struct ConstantFields;

namespace detail {

template <class C>
concept HasConstantFields = requires {
  ConstantFields<C>::kTable;
};

// ReadInOrder for a table known at compile time, with the same outcome: each field in turn takes
// the item under the cursor when the tags match, a field that may stay unread lets the item pass
// on to the next one, and an item left over or malformed sends the caller to the index.
template <class C>
bool ReadInOrderUnrolled(C& object, const uint8_t* begin, const uint8_t* end) {
  static constexpr const auto& table = ConstantFields<C>::kTable;
  const uint8_t* cursor = begin;
  auto step = [&]<size_t I>() -> bool {
    constexpr const Field<C>& field = table[I];
    static_assert(field.kind != Kind::kTopLevelList || field.access == Access::kWriteOnly,
                  "a readable top-level list takes the indexed path");
    if constexpr (field.access == Access::kWriteOnly) {
      return true;
    } else {
      constexpr bool skippable = field.presence == Presence::kOptional;
      if (cursor == end) return skippable;
      const size_t remaining = static_cast<size_t>(end - cursor);
      if (remaining < kTlvHeaderSize) return false;
      const uint32_t header = (uint32_t{cursor[0]} << 24) | (uint32_t{cursor[1]} << 16) |
                              (uint32_t{cursor[2]} << 8) | uint32_t{cursor[3]};
      const uint32_t length = header & 0xFFFF;
      if (length > remaining - kTlvHeaderSize) return false;
      if ((header >> 16) != field.tag) return skippable;
      field.readItem(object, field, cursor);
      cursor += kTlvHeaderSize + length;
      return true;
    }
  };
  try {
    const bool matched = [&]<size_t... I>(std::index_sequence<I...>) {
      return (step.template operator()<I>() && ...);
    }
    (std::make_index_sequence<std::size(table)>{});
    return matched && cursor == end;
  } catch (const TlvException&) {
    return false;
  }
}

}  // namespace detail

template <class C>
void Read(C& object, std::span<const Field<C>> fields, const uint8_t* begin, const uint8_t* end) {
  if constexpr (detail::HasConstantFields<C>) {
    if (fields.data() == std::data(ConstantFields<C>::kTable)) {
      if (detail::ReadInOrderUnrolled(object, begin, end)) return;
    } else if (detail::ReadInOrder(object, fields, begin, end)) {
      return;
    }
  } else if (detail::ReadInOrder(object, fields, begin, end)) {
    return;
  }
  const TlvIndex index = ParseTlv(begin, end);
  size_t hint = 0;  // tables list fields in write order, so each lookup usually hits at once
  for (const Field<C>& field : fields) {
    if (field.access == Access::kWriteOnly) continue;
    if (field.kind == Kind::kTopLevelList) {
      field.readList(object, field, index);
    } else if (const uint8_t* item = detail::FindItem(field, index, hint)) {
      field.readItem(object, field, item);
    }
  }
}

// The size of the object's sequence; throws std::overflow_error as Write would.
template <class C>
size_t EncodedSize(const C& object, std::span<const Field<C>> fields) {
  size_t size = 0;
  for (const Field<C>& field : fields) size += field.size(object, field);
  return size;
}

// Appends the object's sequence to out.
template <class C>
void AppendTo(Bytes& out, const C& object, std::span<const Field<C>> fields) {
  for (const Field<C>& field : fields) field.write(object, field, out);
}

template <class C>
Bytes Write(const C& object, std::span<const Field<C>> fields) {
  Bytes out;
  out.reserve(EncodedSize(object, fields));
  AppendTo(out, object, fields);
  return out;
}

// The base of every message class with a field table: reading and writing follow C::Fields(),
// a static function returning the class's table. Same contract as Serializable.
template <class C>
class Base : public Serializable {
 public:
  using Serializable::Deserialize;
  void Deserialize(const uint8_t* begin, const uint8_t* end) override {
    Read<C>(static_cast<C&>(*this), C::Fields(), begin, end);
  }
  Bytes Serialize() const override { return Write<C>(static_cast<const C&>(*this), C::Fields()); }
};

// The type-free copy of a class's table (slices off the accessors on purpose).
template <class C>
std::vector<FieldInfo> Schema() {
  std::vector<FieldInfo> infos;
  for (const Field<C>& field : C::Fields()) infos.push_back(static_cast<const FieldInfo&>(field));
  return infos;
}

namespace detail {

template <class>
struct MemberTraits;
template <class C, class T>
struct MemberTraits<T C::*> {
  using Owner = C;
  using Type = T;
};
template <auto M>
using OwnerOf = typename MemberTraits<decltype(M)>::Owner;
template <auto M>
using TypeOf = typename MemberTraits<decltype(M)>::Type;

template <class T>
concept Record = std::derived_from<T, Serializable> && requires {
  T::Fields();
};

template <class T>
concept IntegerMember = std::same_as<T, int32_t> || std::same_as<T, uint32_t> ||
    std::same_as<T, uint16_t> || std::same_as<T, uint8_t> || std::same_as<T, bool>;

template <class T>
concept StringMember = std::same_as<T, std::string> || std::same_as<T, std::string_view>;

template <class T>
concept ScalarMember =
    IntegerMember<T> || std::same_as<T, uint64_t> || StringMember<T> || std::same_as<T, Bytes>;

template <class T>
constexpr Kind ScalarKind() {
  if constexpr (IntegerMember<T>) return Kind::kInt;
  if constexpr (std::same_as<T, uint64_t>) return Kind::kTime;
  if constexpr (StringMember<T>) return Kind::kString;
  return Kind::kBytes;
}

template <class T>
void WriteScalar(Bytes& out, uint16_t tag, const T& value) {
  if constexpr (std::same_as<T, bool>) {
    AppendTlvBool(out, tag, value);
  } else if constexpr (std::same_as<T, int32_t>) {
    AppendTlvInt(out, tag, value);
  } else if constexpr (IntegerMember<T>) {
    AppendTlvUint(out, tag, value);  // narrower unsigned members zero-extend
  } else if constexpr (std::same_as<T, uint64_t>) {
    AppendTlvTime(out, tag, value);
  } else {
    AppendTlv(out, tag, value);
  }
}

template <class T>
constexpr uint8_t ScalarBits() {
  if constexpr (std::same_as<T, bool>) return 1;
  if constexpr (IntegerMember<T>) return static_cast<uint8_t>(sizeof(T) * 8);
  return 0;
}

template <class T>
size_t ScalarSize(const T& value) {
  if constexpr (IntegerMember<T>) {
    return kTlvHeaderSize + 4;
  } else if constexpr (std::same_as<T, uint64_t>) {
    return kTlvHeaderSize + 8;
  } else {
    return kTlvHeaderSize + CheckedTlvLength(value.size());
  }
}

// Assigns into the member, reusing its storage.
template <class T>
void ReadScalar(const uint8_t* item, T& member) {
  if constexpr (std::same_as<T, bool>) {
    member = TlvToInt(item) != 0;
  } else if constexpr (IntegerMember<T>) {
    member = static_cast<T>(TlvToInt(item));  // truncates to the member's width
  } else if constexpr (std::same_as<T, uint64_t>) {
    member = TlvToTime(item);
  } else if constexpr (std::same_as<T, std::string>) {
    member.assign(reinterpret_cast<const char*>(TlvValueBegin(item)), TlvLength(item));
  } else if constexpr (std::same_as<T, std::string_view>) {
    member = std::string_view(reinterpret_cast<const char*>(TlvValueBegin(item)), TlvLength(item));
  } else {
    member.assign(TlvValueBegin(item), TlvValueEnd(item));
  }
}

template <class T>
std::string ScalarText(const T& value) {
  if constexpr (std::same_as<T, bool>) {
    return value ? "true" : "false";
  } else if constexpr (std::same_as<T, int32_t>) {
    return IntText(value, 8);
  } else if constexpr (IntegerMember<T>) {
    return IntText(static_cast<int64_t>(value), sizeof(T) * 2);
  } else if constexpr (std::same_as<T, uint64_t>) {
    return TimeText(value);
  } else if constexpr (StringMember<T>) {
    return StringText(value);
  } else {
    return BytesText(value);
  }
}

// An item whose value is written after its header: Open appends the header, Close sets its
// length or, over the writer's limit, removes the item again and throws std::overflow_error.
inline size_t OpenItem(Bytes& out, uint16_t tag) {
  const size_t at = out.size();
  AppendTlvHeader(out, tag, 0);
  return at;
}
inline void CloseItem(Bytes& out, size_t at) {
  const size_t length = out.size() - at - kTlvHeaderSize;
  if (length > kMaxTlvLength) out.resize(at);
  const uint16_t checked = CheckedTlvLength(length);
  out[at + 2] = static_cast<uint8_t>(checked >> 8);
  out[at + 3] = static_cast<uint8_t>(checked);
}

// The bytes of one element item per object.
template <class T>
size_t ElementsSize(const std::vector<T>& elements) {
  size_t size = 0;
  for (const T& element : elements) {
    size += kTlvHeaderSize + CheckedTlvLength(EncodedSize<T>(element, T::Fields()));
  }
  return size;
}

template <class T>
void AppendElements(Bytes& out, uint16_t elementTag, const std::vector<T>& elements) {
  for (const T& element : elements) {
    const size_t at = OpenItem(out, elementTag);
    AppendTo<T>(out, element, T::Fields());
    CloseItem(out, at);
  }
}

// Every item from the first one with elementTag to the end of the sequence, read as an element.
template <class T>
std::vector<T> ReadElements(const TlvIndex& index, uint16_t elementTag) {
  std::vector<T> elements;
  const std::span<const TlvIndex::Entry> items = index.Items();
  const size_t first = index.FirstPosition(elementTag);
  if (first == items.size()) return elements;
  const std::span<const TlvIndex::Entry> entries = items.subspan(first);
  const std::span<const Field<T>> fields = T::Fields();
  // Made all at once, then read in place: cheaper than one by one for the many log entries of
  // every applet reply.
  elements.resize(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    Read<T>(elements[i], fields, TlvValueBegin(entries[i].item), TlvValueEnd(entries[i].item));
  }
  return elements;
}

}  // namespace detail

// A scalar or nested-object field bound to member M.
template <auto M>
constexpr Field<detail::OwnerOf<M>> Item(uint16_t tag, const char* name,
                                         Presence presence = Presence::kRequired,
                                         Access access = Access::kReadWrite) {
  using C = detail::OwnerOf<M>;
  using T = detail::TypeOf<M>;
  if constexpr (detail::ScalarMember<T>) {
    return Field<C>{
        {tag, 0, name, detail::ScalarKind<T>(), presence, access, nullptr, detail::ScalarBits<T>()},
        [](const C& o, const FieldInfo& i, Bytes& out) { detail::WriteScalar(out, i.tag, o.*M); },
        [](C& o, const FieldInfo&, const uint8_t* item) { detail::ReadScalar<T>(item, o.*M); },
        nullptr,
        [](const C& o, const FieldInfo&, FieldValue& v) { v.text = detail::ScalarText(o.*M); },
        [](const C& o, const FieldInfo&) { return detail::ScalarSize<T>(o.*M); }};
  } else {
    static_assert(detail::Record<T>, "a nested member must be a message class with a field table");
    return Field<C>{{tag, 0, name, Kind::kNested, presence, access, &Schema<T>},
                    [](const C& o, const FieldInfo& i, Bytes& out) {
                      const size_t at = detail::OpenItem(out, i.tag);
                      AppendTo<T>(out, o.*M, T::Fields());
                      detail::CloseItem(out, at);
                    },
                    [](C& o, const FieldInfo&, const uint8_t* item) {
                      // A fresh object, so absent optional fields take their defaults.
                      T fresh;
                      Read<T>(fresh, T::Fields(), TlvValueBegin(item), TlvValueEnd(item));
                      o.*M = std::move(fresh);
                    },
                    nullptr,
                    [](const C& o, const FieldInfo&, FieldValue& v) {
                      v.elements.push_back(Describe<T>(o.*M, T::Fields()));
                    },
                    [](const C& o, const FieldInfo&) {
                      return kTlvHeaderSize + CheckedTlvLength(EncodedSize<T>(o.*M, T::Fields()));
                    }};
  }
}

// A list in a container item: one element item per object.
template <auto M>
constexpr Field<detail::OwnerOf<M>> List(uint16_t containerTag, uint16_t elementTag,
                                         const char* name,
                                         Presence presence = Presence::kRequired) {
  using C = detail::OwnerOf<M>;
  using T = typename detail::TypeOf<M>::value_type;
  static_assert(detail::Record<T>, "list elements must be message classes with a field table");
  return Field<C>{
      {containerTag, elementTag, name, Kind::kList, presence, Access::kReadWrite, &Schema<T>},
      [](const C& o, const FieldInfo& i, Bytes& out) {
        const size_t at = detail::OpenItem(out, i.tag);
        detail::AppendElements(out, i.elementTag, o.*M);
        detail::CloseItem(out, at);
      },
      [](C& o, const FieldInfo& i, const uint8_t* item) {
        const TlvIndex elements = ParseTlv(TlvValueBegin(item), TlvValueEnd(item));
        o.*M = detail::ReadElements<T>(elements, i.elementTag);
      },
      nullptr,
      [](const C& o, const FieldInfo&, FieldValue& v) {
        v.text = std::to_string((o.*M).size()) + " element(s)";
        for (const T& element : o.*M) v.elements.push_back(Describe<T>(element, T::Fields()));
      },
      [](const C& o, const FieldInfo&) {
        return kTlvHeaderSize + CheckedTlvLength(detail::ElementsSize(o.*M));
      }};
}

// A list whose element items stand directly in the object's sequence. Reading takes every item
// from the first element-tag item to the end of the sequence, whatever its tag.
template <auto M>
constexpr Field<detail::OwnerOf<M>> TopLevelList(uint16_t elementTag, const char* name) {
  using C = detail::OwnerOf<M>;
  using T = typename detail::TypeOf<M>::value_type;
  static_assert(detail::Record<T>, "list elements must be message classes with a field table");
  return Field<C>{{elementTag, elementTag, name, Kind::kTopLevelList, Presence::kOptional,
                   Access::kReadWrite, &Schema<T>},
                  [](const C& o, const FieldInfo& i, Bytes& out) {
                    detail::AppendElements(out, i.elementTag, o.*M);
                  },
                  nullptr,
                  [](C& o, const FieldInfo& i, const TlvIndex& index) {
                    o.*M = detail::ReadElements<T>(index, i.elementTag);
                  },
                  [](const C& o, const FieldInfo&, FieldValue& v) {
                    v.text = std::to_string((o.*M).size()) + " element(s)";
                    for (const T& element : o.*M)
                      v.elements.push_back(Describe<T>(element, T::Fields()));
                  },
                  [](const C& o, const FieldInfo&) { return detail::ElementsSize(o.*M); }};
}

}  // namespace mfab::record
