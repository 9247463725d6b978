#include "storage/user_records.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>

#include "platform/accounts.h"
#include "platform/registry.h"
#include "storage/mirror_records.h"
#include "tests/fakes/log_capture.h"
#include "tests/fakes/memory_registry.h"
#include "tlv/host_messages.h"

namespace mfab {
namespace {

using namespace std::chrono_literals;
namespace records = ::AuthenticateDataMirroring;

constexpr char kLocal[] = "S-1-5-21-1-2-3-1001";
constexpr char kDomain[] = "S-1-5-21-7-8-9-1105";
constexpr char kGone[] = "S-1-5-21-1-2-3-4242";

// Accounts by SID, local full names, and a directory that answers or not.
class FakeAccountNames : public platform::AccountNames {
 public:
  platform::SidLookup LookupSid(const std::string& sid, platform::SidAccount& account) override {
    if (!platform::IsSidText(sid)) return platform::SidLookup::kNotASid;
    auto found = accounts.find(sid);
    if (found == accounts.end()) return platform::SidLookup::kNotFound;
    account = found->second;
    return platform::SidLookup::kFound;
  }
  std::string ComputerName() override { return "desk01"; }
  std::string LocalUserFullName(const std::string& account) override {
    auto found = fullNames.find(account);
    if (found == fullNames.end()) throw std::system_error(ENOENT, std::generic_category());
    return found->second;
  }
  bool DirectoryReachable(std::chrono::milliseconds limit) override {
    askedLimit = limit;
    return directoryUp;
  }
  std::optional<std::string> DirectoryDisplayName(const std::string& domain,
                                                  const std::string& account) override {
    auto found = directory.find(domain + "\\" + account);
    if (found == directory.end()) return std::nullopt;
    return found->second;
  }

  std::map<std::string, platform::SidAccount> accounts{
      {kLocal, {"alice", "DESK01"}}, {kDomain, {"bob", "CORP"}}};
  std::map<std::string, std::string> fullNames{{"alice", "Alice Archer"}};
  std::map<std::string, std::string> directory{{"CORP\\bob", "Bob Builder"},
                                               {"DESK01\\alice", "Alice in the directory"}};
  bool directoryUp = false;
  std::chrono::milliseconds askedLimit{0};
};

class UserRecordsTest : public ::testing::Test {
 protected:
  ~UserRecordsTest() override { capture->Uninstall(); }

  void MirrorUser(const std::string& sid) {
    registry.CreateKey(records::MirrorPath(records::kUsersKey) + "\\" + sid + "\\pin",
                       platform::reg_access::kWrite);
  }
  std::string Saved(const std::string& sid) {
    UserRecordResponse response;
    response.Deserialize(records.getSavedDisplayName(sid));
    return response.displayName;
  }

  std::shared_ptr<keystone::testing::LogCapture> capture = keystone::testing::LogCapture::Install();
  keystone::testing::MemoryRegistry registry;
  FakeAccountNames accounts;
  UserRecords records{registry, accounts, UserRecordsOptions{20ms}};
};

TEST_F(UserRecordsTest, DisplayNamePrefersTheDirectory) {
  const struct {
    const char* name;
    std::string sid;
    bool directoryUp;
    std::string expected;
    std::string line;
  } cases[] = {
      {"not a SID", "S-1-5-x", true, "", "failed to convert stringSID to SID"},
      {"unknown SID", kGone, true, "", "failed to LookupAccountSid"},
      {"directory name", kDomain, true, "Bob Builder", "can resolve principal - about to TranslateName"},
      {"domain user, no directory", kDomain, false, "", "Failed to resolve principal"},
      {"directory first for a local user", kLocal, true, "Alice in the directory",
       "SIdToUserData succesed account: alice domain: DESK01"},
      {"local full name, no directory", kLocal, false, "Alice Archer", "The user is local"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    capture->Clear();
    accounts.directoryUp = c.directoryUp;
    EXPECT_EQ(records.sidToDisplayName(c.sid), c.expected);
    EXPECT_TRUE(capture->Has(c.line));
  }
  EXPECT_EQ(accounts.askedLimit, 20ms);

  // The directory has no name and the full name cannot be read: empty, logged.
  accounts.directoryUp = true;
  accounts.directory.clear();
  accounts.fullNames.clear();
  EXPECT_EQ(records.sidToDisplayName(kLocal), "");
  EXPECT_TRUE(capture->Has("Failed to resolve user display name from legacy account name"));
  EXPECT_TRUE(capture->Has("NetUserGetinfo failed with error: 2 "));
}

TEST_F(UserRecordsTest, UpdateStoresEachMirroredUsersNameForTheClients) {
  MirrorUser(kLocal);
  MirrorUser(kGone);
  EXPECT_EQ(records.LoadUserList(), (std::vector<std::string>{kLocal, kGone}));
  records.updateUserRecord();
  EXPECT_EQ(Saved(kLocal), "Alice Archer");
  EXPECT_EQ(Saved(kGone), "");  // stored empty: it no longer resolves
  EXPECT_TRUE(registry.OpenKey(records::MirrorPath(records::kUsersKey) + "\\" + kGone,
                               platform::reg_access::kRead)
                  ->QueryValue(records::kDisplayNameValue));

  // A user whose key went meanwhile is skipped.
  records.saveUserRecord({{kDomain, "Bob"}});
  EXPECT_TRUE(capture->Has("failed open key"));
  EXPECT_EQ(records.LoadUserList().size(), 2u);
}

TEST_F(UserRecordsTest, SavedNameIsEmptyUnlessAFittingTextIsStored) {
  MirrorUser(kLocal);
  const std::string key = records::MirrorPath(records::kUsersKey) + "\\" + kLocal;
  const struct {
    const char* name;
    std::optional<platform::RegValue> value;
    std::string sid;
    std::string expected;
  } cases[] = {
      {"no subkey", std::nullopt, kDomain, ""},
      {"no value", std::nullopt, kLocal, ""},
      {"text", platform::RegValue::String("Alice"), kLocal, "Alice"},
      {"expandable text", platform::RegValue::String("Al", platform::RegType::kExpandSz), kLocal,
       "Al"},
      {"stops at a NUL", platform::RegValue{platform::RegType::kSz, {'A', 0, 'B', 0}}, kLocal, "A"},
      {"another type", platform::RegValue::Dword(1), kLocal, ""},
      {"over 520 bytes", platform::RegValue::String(std::string(520, 'x')), kLocal, ""},
      {"empty SID", platform::RegValue::String("Alice"), "", ""},
      {"SID naming a path", platform::RegValue::String("Alice"), std::string(kLocal) + "\\..", ""},
  };
  for (const auto& c : cases) {
    if (c.value) platform::WriteRegistryValue(registry, key, records::kDisplayNameValue, *c.value);
    EXPECT_EQ(Saved(c.sid), c.expected) << c.name;
  }
}

// The machine's own passwd database: root's SID resolves to root's GECOS full name.
TEST(UserRecordsLocalTest, RootResolvesThroughThePasswdDatabase) {
  platform::MachineSidAuthorities machine;
  try {
    machine = platform::posix::ThisMachineSidAuthorities();
  } catch (const std::runtime_error&) {
    GTEST_SKIP() << "no machine id: local SIDs cannot be formed here";
  }
  std::ifstream passwd("/etc/passwd");
  std::string gecos;
  for (std::string line; std::getline(passwd, line);) {
    std::istringstream in(line);
    std::string fields[5];  // name, password, uid, gid, GECOS
    for (std::string& field : fields) std::getline(in, field, ':');
    if (fields[0] == "root") gecos = fields[4];
  }
  keystone::testing::MemoryRegistry registry;
  const std::unique_ptr<platform::AccountNames> names = platform::CreateSystemAccountNames();
  UserRecords records(registry, *names, UserRecordsOptions{100ms});
  const std::string sid = platform::LocalAccountSid(machine, 0);
  EXPECT_EQ(records.sidToDisplayName(sid), gecos.substr(0, gecos.find(',')));
  platform::SidAccount account;
  ASSERT_EQ(names->LookupSid(sid, account), platform::SidLookup::kFound);
  EXPECT_EQ(account.account, "root");
  EXPECT_EQ(account.domain, names->ComputerName());
  EXPECT_EQ(names->LookupSid("S-1-5-21-1-2-3-0x", account), platform::SidLookup::kNotASid);
}

// Whether an LDAP configuration names a server of its own (a "URI" line).
bool ConfiguresUri(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("URI", 0) == 0) return true;
  }
  return false;
}

// The directory test connects to the configured LDAP server: unconfigured, the library's default
// ldap://localhost:389, where a listening socket stands in for the server. (The library reads
// its configuration once per process, so the server cannot be moved for the test.)
TEST(SystemAccountNamesTest, DirectoryIsReachableExactlyWhileItsServerListens) {
  if (std::getenv("LDAPURI") != nullptr || ConfiguresUri("/etc/ldap/ldap.conf")) {
    GTEST_SKIP() << "this machine names a directory server of its own";
  }
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(listener, 0);
  const int reuse = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(389);
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener, 4) != 0) {
    ::close(listener);
    GTEST_SKIP() << "port 389 cannot be listened on here: " << std::strerror(errno);
  }
  const std::unique_ptr<platform::AccountNames> names = platform::CreateSystemAccountNames();
  EXPECT_TRUE(names->DirectoryReachable(2s));
  ::close(listener);
  EXPECT_FALSE(names->DirectoryReachable(2s));
}

}  // namespace
}  // namespace mfab
