#pragma once

// A hierarchical configuration store with the semantics of the Windows registry:
// keys and value names are case-insensitive and case-preserving; values are typed;
// keys are addressed by paths such as "HKLM\SOFTWARE\Ostra\Ostra Keystone\Engine".
// Accepted hive names: HKLM / HKEY_LOCAL_MACHINE, HKU / HKEY_USERS, HKCU / HKEY_CURRENT_USER.
//
// Value data layout (narrow UTF-8 text where Windows keeps UTF-16):
//   kSz, kExpandSz  the text and one NUL
//   kMultiSz        each string followed by a NUL, then one more NUL
//   kDword, kQword  4 or 8 bytes, little-endian
//   kBinary         the bytes as given

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace platform {

enum class RegType : uint32_t {
  kNone = 0,
  kSz = 1,
  kExpandSz = 2,
  kBinary = 3,
  kDword = 4,
  kMultiSz = 7,
  kQword = 11,
};

// Failures of the store, numbered as the Windows error codes they stand for.
enum class RegistryErrc {
  kNotFound = 2,            // key or value does not exist
  kAccessDenied = 5,        // the handle lacks the right, or the store is read-only to us
  kInvalidParameter = 87,   // malformed path, name or data
  kKeyDeleted = 1018,       // the key behind an open handle was deleted
  kIoFailed = 1016,         // the backing store failed
  kKeyHasChildren = 1020,   // DeleteKey on a key with subkeys
  kTypeMismatch = 1629,     // a typed read of a value of another type
  kTransactionFailed = 6700 // commit failed or the transaction was already ended
};
const std::error_category& RegistryCategory();
inline std::error_code make_error_code(RegistryErrc e) { return {static_cast<int>(e), RegistryCategory()}; }

// Thrown by every registry operation; code() is a RegistryErrc.
class RegistryError : public std::system_error {
 public:
  RegistryError(RegistryErrc code, const std::string& what)
      : std::system_error(make_error_code(code), what) {}
};

// Access rights, as on Windows.
namespace reg_access {
inline constexpr uint32_t kQueryValue = 0x0001;
inline constexpr uint32_t kSetValue = 0x0002;
inline constexpr uint32_t kCreateSubKey = 0x0004;
inline constexpr uint32_t kEnumerateSubKeys = 0x0008;
inline constexpr uint32_t kNotify = 0x0010;
inline constexpr uint32_t kWow64_32Key = 0x0200;  // accepted and ignored: one view only
inline constexpr uint32_t kDelete = 0x10000;
inline constexpr uint32_t kRead = 0x20019;
inline constexpr uint32_t kWrite = 0x20006;
inline constexpr uint32_t kReadWrite = 0x2001F;
inline constexpr uint32_t kAllAccess = 0xF003F;
}  // namespace reg_access

// A typed value. The factories and readers convert between C++ values and the data layout above.
struct RegValue {
  RegType type = RegType::kNone;
  std::vector<uint8_t> data;

  static RegValue String(std::string_view text, RegType type = RegType::kSz);
  static RegValue MultiString(const std::vector<std::string>& strings);
  static RegValue Dword(uint32_t value);
  static RegValue Qword(uint64_t value);
  static RegValue Binary(std::vector<uint8_t> bytes);

  // Each throws RegistryError(kTypeMismatch) when the type differs (AsString accepts kSz and
  // kExpandSz) and RegistryError(kInvalidParameter) when the data is malformed for its type.
  std::string AsString() const;
  std::vector<std::string> AsMultiString() const;
  uint32_t AsDword() const;
  uint64_t AsQword() const;

  bool operator==(const RegValue&) const = default;
};

// Name of a type as written by tools ("REG_SZ", ...); ParseRegType accepts those names
// case-insensitively and returns nullopt for anything else.
const char* RegTypeName(RegType type);
std::optional<RegType> ParseRegType(std::string_view name);

class RegistryTransaction;

// An open key. Thread-compatible: one handle is used by one thread at a time, but any number of
// handles may be open on the same key from many threads and processes.
class RegistryKey {
 public:
  virtual ~RegistryKey() = default;

  // The full path of the key with the stored case of every component.
  virtual std::string Path() const = 0;

  // The name of the index-th subkey or value in a stable order (case-insensitive name order);
  // nullopt past the end. Needs kEnumerateSubKeys / kQueryValue.
  virtual std::optional<std::string> EnumKey(uint32_t index) = 0;
  virtual std::optional<std::string> EnumValue(uint32_t index) = 0;

  // The value with this name ("" is the key's default value); nullopt when absent. Needs
  // kQueryValue.
  virtual std::optional<RegValue> QueryValue(std::string_view name) = 0;
  // Creates or replaces the value. Needs kSetValue.
  virtual void SetValue(std::string_view name, const RegValue& value) = 0;
  // Returns false when there was no such value. Needs kSetValue.
  virtual bool DeleteValue(std::string_view name) = 0;

  // Makes every change made so far through this handle durable before returning.
  virtual void Flush() = 0;
};

// A group of changes that becomes visible to others all at once, or not at all.
// Destroying an uncommitted transaction rolls it back. Its handles see its own changes on top
// of the store; it locks nothing until Commit, which applies the changes to the store as it is
// then and fails whole when one of them has lost its key (deleted by someone else meanwhile, or
// a key to delete that got subkeys). After Commit or Rollback its handles throw
// kTransactionFailed.
class RegistryTransaction {
 public:
  virtual ~RegistryTransaction() = default;
  // Throws RegistryError(kTransactionFailed) when the changes could not be committed.
  virtual void Commit() = 0;
  virtual void Rollback() = 0;
};

// The store. Thread-safe; several processes may use the same store at once. A process killed in
// the middle of a change leaves the store as it was before that change (or transaction).
class Registry {
 public:
  virtual ~Registry() = default;

  // Opens an existing key with the given rights; nullptr when it does not exist. Throws
  // RegistryError for a malformed path or a failing store. With a transaction, the handle's reads
  // and writes belong to it.
  virtual std::unique_ptr<RegistryKey> OpenKey(std::string_view path, uint32_t access,
                                               RegistryTransaction* transaction = nullptr) = 0;
  // Opens the key, creating it and its missing parents first.
  virtual std::unique_ptr<RegistryKey> CreateKey(std::string_view path, uint32_t access,
                                                 RegistryTransaction* transaction = nullptr) = 0;
  // Deletes a key that has no subkeys (its values go with it). Throws kNotFound or
  // kKeyHasChildren. A hive root cannot be deleted (kAccessDenied).
  virtual void DeleteKey(std::string_view path, RegistryTransaction* transaction = nullptr) = 0;
  // Deletes the key and everything beneath it. Throws kNotFound.
  virtual void DeleteTree(std::string_view path, RegistryTransaction* transaction = nullptr) = 0;

  virtual std::unique_ptr<RegistryTransaction> BeginTransaction() = 0;
};

// Opens the engine's store at $KEYSTONE_STATE_DIR/registry.db. Throws RegistryError when it
// cannot be opened.
std::unique_ptr<Registry> OpenSystemRegistry();

// Opens a store backed by the database file at path (created when missing).
std::unique_ptr<Registry> OpenRegistry(const std::string& databasePath);

// Conveniences over Registry for the common single-value reads and writes. The readers return
// nullopt when the key or value is absent and throw kTypeMismatch on a value of another type.
std::optional<std::string> ReadRegistryString(Registry& registry, std::string_view keyPath,
                                              std::string_view valueName);
std::optional<uint32_t> ReadRegistryDword(Registry& registry, std::string_view keyPath,
                                          std::string_view valueName);
// Creates the key when needed.
void WriteRegistryValue(Registry& registry, std::string_view keyPath, std::string_view valueName,
                        const RegValue& value);

}  // namespace platform

template <>
struct std::is_error_code_enum<platform::RegistryErrc> : std::true_type {};
