// keystonectl backup, support, discover and record: the registry mirror's triggers, the factor
// support status, discovery and the user records, by what they do, decoded (keystonectl rpc calls
// the same operations by their parameters).

#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/status.h"
#include "rpc/client/client.h"
#include "tlv/applet_tags.h"
#include "tlv/discovery_messages.h"
#include "tlv/host_messages.h"
#include "tlv/tlv.h"
#include "tools/keystonectl/command.h"
#include "tools/keystonectl/hex.h"
#include "tools/keystonectl/status_text.h"

namespace keystonectl {
namespace {

using Bytes = std::vector<uint8_t>;

// Large enough for any discovery record (each is one TLV sequence of at most 32 KiB).
constexpr int32_t kReplyCapacity = 65536;

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Prints a failing status; true when the status is success.
bool Succeeded(int32_t result) {
  const auto status = static_cast<uint32_t>(result);
  if (status == keystone::kStatusSuccess) return true;
  std::printf("status=0x%08X (%s)\n", status, StatusName(status));
  return false;
}

// Options every command takes; positional arguments are left in order.
struct Arguments {
  std::string socket;
  std::string user;
  bool raw = false;
  std::vector<std::string> positional;
};

Arguments Parse(const std::vector<std::string>& args, bool takesUser) {
  Arguments parsed;
  for (size_t i = 0; i < args.size(); ++i) {
    const bool hasValue = i + 1 < args.size();
    if (args[i] == "--socket" && hasValue) {
      parsed.socket = args[++i];
    } else if (takesUser && args[i] == "--user" && hasValue) {
      parsed.user = args[++i];
    } else if (args[i] == "--raw") {
      parsed.raw = true;
    } else if (args[i].starts_with("--")) {
      throw UsageError("unknown or incomplete option '" + args[i] + "'");
    } else {
      parsed.positional.push_back(args[i]);
    }
  }
  return parsed;
}

std::unique_ptr<rpc::Client> MakeClient(const Arguments& args) {
  return args.socket.empty() ? std::make_unique<rpc::Client>()
                             : std::make_unique<rpc::Client>(args.socket);
}

template <typename Body>
int Guarded(Body body) {
  try {
    return body();
  } catch (const UsageError& e) {
    return Fail(kExitUsage, e.what());
  } catch (const rpc::TransportError& e) {
    return Fail(kExitFailure, std::string("cannot reach the engine: ") + e.what());
  } catch (const mfab::TlvException& e) {
    return Fail(kExitFailure, std::string("the reply does not decode: ") + e.what());
  }
}

// ---- backup ----------------------------------------------------------------------------------

int RunBackup(const std::vector<std::string>& raw) {
  return Guarded([&] {
    const Arguments args = Parse(raw, false);
    const std::vector<std::string>& p = args.positional;
    int16_t mode = 0;
    std::string user;
    if (p.size() == 1 && p[0] == "clear") {
      mode = 0;
    } else if (p.size() == 2 && p[0] == "user") {
      mode = 1;
      user = p[1];
    } else if (p.size() == 1 && p[0] == "all") {
      mode = 2;
    } else {
      throw UsageError("backup needs clear, user SID or all");
    }
    const int32_t result = MakeClient(args)->TriggerDataBackupRpc(mode, user.c_str(), 0, nullptr);
    if (!Succeeded(result)) return kExitFailure;
    std::printf("status=0 (success)\n");
    return kExitOk;
  });
}

// ---- support ---------------------------------------------------------------------------------

int RunSupport(const std::vector<std::string>& raw) {
  return Guarded([&] {
    const Arguments args = Parse(raw, false);
    mfab::ExternalFactorsSupport support;
    for (const std::string& id : args.positional) {
      mfab::ExternalFactorsSupport::Factor factor;
      factor.factorId = id;
      support.factors.push_back(factor);
    }
    const Bytes bytes = support.Serialize();
    const int32_t result = MakeClient(args)->MirrorFactorSupportedStatusRpc(
        static_cast<int32_t>(bytes.size()), bytes.data());
    if (!Succeeded(result)) return kExitFailure;
    std::printf("status=0 (success): %zu factor(s) supported outside the applet\n",
                support.factors.size());
    return kExitOk;
  });
}

// ---- discover --------------------------------------------------------------------------------

void PrintFactor(const mfab::FactorDiscoveryFactorData& factor, const char* indent) {
  namespace field = mfab::discovery_field;
  const auto flag = [&factor](int32_t bit) { return (factor.value3F & bit) != 0 ? "yes" : "no"; };
  std::printf("%sfactor %s \"%s\" type=%d enrolled=%s supported=%s continuous=%s ui=%s "
              "hardened=%s\n",
              indent, factor.factorId.c_str(), factor.text04.c_str(), factor.value3E,
              flag(field::kEnrolled), flag(field::kSupported), flag(field::kContinuous),
              flag(field::kUi), flag(field::kHardened));
}

// The name-value items of a sequence (enrollment values or enrollment parameters).
void PrintPairs(const Bytes& bytes, uint16_t itemTag, uint16_t nameTag, uint16_t valueTag) {
  const uint8_t* end = bytes.data() + bytes.size();
  mfab::ParseTlv(bytes);  // validates the whole sequence before the walk
  for (const uint8_t* item = bytes.data(); item != end; item = mfab::TlvNext(item)) {
    if (mfab::TlvTag(item) != itemTag) continue;
    const mfab::TlvIndex fields = mfab::ParseTlv(mfab::TlvValueBegin(item), mfab::TlvValueEnd(item));
    std::printf("  %s=%s\n", mfab::TlvToString(mfab::GetTlv(fields, nameTag)).c_str(),
                mfab::TlvToString(mfab::GetTlv(fields, valueTag)).c_str());
  }
}

void PrintDiscovery(int16_t kind, const Bytes& reply) {
  if (reply.empty()) {
    std::printf("(empty reply)\n");
    return;
  }
  switch (kind) {
    case 0: {
      mfab::GetPolicyActionFactorsDataResponse::ActionFactorDiscoveryData data;
      data.Deserialize(reply);
      std::printf("action %s for %s: %d set(s), %d factor(s), first set the user has enrolled: ",
                  data.action.text56.c_str(), data.user.c_str(), data.action.value4C,
                  data.action.value55);
      data.action.value4D == 0 ? std::printf("none\n") : std::printf("%d\n", data.action.value4D);
      for (size_t i = 0; i < data.action.sets.size(); ++i) {
        std::printf("  set %zu: %s\n", i + 1, data.action.sets[i].factorId.c_str());
      }
      const Bytes factors(data.action.text57.begin(), data.action.text57.end());
      for (const auto& factor : mfab::ReadTlvListElements<mfab::FactorDiscoveryFactorData>(
               factors.data(), factors.data() + factors.size(),
               mfab::discovery_tag::kFactorData)) {
        PrintFactor(factor, "  ");
      }
      return;
    }
    case 1: {
      FactorDiscovery data;
      data.Deserialize(reply);
      std::printf("policy for %s: %zu factor(s)\n", data.user.c_str(), data.factors.size());
      for (const auto& factor : data.factors) PrintFactor(factor, "  ");
      return;
    }
    case 2:
      std::printf("enrollment values:\n");
      PrintPairs(reply, mfab::discovery_tag::kEnrollmentValue, mfab::discovery_tag::kValueName,
                 mfab::discovery_tag::kValueText);
      return;
    case 3: {
      UsersDiscovery data;
      data.Deserialize(reply);
      std::string users = data.users;
      for (char& c : users) {
        if (c == mfab::discovery_field::kListSeparator) c = '\n';
      }
      std::printf("users:\n%s\n", users.c_str());
      return;
    }
    case 4: {
      mfab::GetFactorEnrollmentParametersResponse data;
      data.Deserialize(reply);
      const mfab::TlvIndex fields = mfab::ParseTlv(reply);
      std::printf("factor %s \"%s\" enrollment parameters:\n",
                  mfab::TlvToString(mfab::GetTlv(fields, mfab::discovery_tag::kParametersFactorId)).c_str(),
                  mfab::TlvToString(mfab::GetTlv(fields, mfab::discovery_tag::kParametersFactorName))
                      .c_str());
      PrintPairs(data.parameters, mfab::applet_tag::kNameValue, mfab::applet_tag::kName,
                 mfab::applet_tag::kValue);
      return;
    }
    default:
      std::printf("%s\n", ToHex(reply).c_str());
  }
}

int RunDiscover(const std::vector<std::string>& raw) {
  return Guarded([&] {
    const Arguments args = Parse(raw, true);
    const std::vector<std::string>& p = args.positional;
    if (p.empty()) throw UsageError("discover needs a kind");
    int16_t kind = -1;
    std::string data;
    if (p[0] == "action" && p.size() == 2) {
      kind = 0;
      data = p[1];
    } else if (p[0] == "policy" && p.size() == 1) {
      kind = 1;
    } else if (p[0] == "enrollment" && p.size() == 2) {
      kind = 2;
      data = p[1];
    } else if (p[0] == "users" && p.size() == 1) {
      kind = 3;
    } else if (p[0] == "parameters" && p.size() == 2) {
      kind = 4;
      data = p[1];
    } else {
      throw UsageError("discover needs action ID, policy, enrollment FACTOR, users or "
                       "parameters FACTOR");
    }
    Bytes out(kReplyCapacity);
    int32_t size = kReplyCapacity;
    const Bytes bytes(data.begin(), data.end());
    const int32_t result = MakeClient(args)->GetDiscoveryInfoRpc(
        kind, static_cast<int32_t>(bytes.size()), bytes.empty() ? nullptr : bytes.data(),
        args.user.c_str(), "", &size, out.data());
    if (!Succeeded(result)) return kExitFailure;
    out.resize(static_cast<size_t>(size));
    if (args.raw) {
      std::printf("%s\n", ToHex(out).c_str());
    } else {
      PrintDiscovery(kind, out);
    }
    return kExitOk;
  });
}

// ---- record ----------------------------------------------------------------------------------

int RunRecord(const std::vector<std::string>& raw) {
  return Guarded([&] {
    const Arguments args = Parse(raw, false);
    if (args.positional.size() != 1) throw UsageError("record needs the user's SID");
    Bytes out(kReplyCapacity);
    int32_t size = kReplyCapacity;
    const int32_t result =
        MakeClient(args)->GetUserRecordsRpc(args.positional[0].c_str(), &size, out.data());
    if (!Succeeded(result)) return kExitFailure;
    out.resize(static_cast<size_t>(size));
    mfab::UserRecordResponse record;
    record.Deserialize(out);
    std::printf("DisplayName=%s\n", record.displayName.c_str());
    return kExitOk;
  });
}

constexpr const char* kBackupUsage =
    "usage: keystonectl backup clear | user SID | all [--socket PATH]\n"
    "\n"
    "Tells the engine that the applet's data changed (TriggerDataBackupRpc), so it rewrites its\n"
    "registry mirror: clear (mode 0) drops the mirror and the devices' user state; user (mode\n"
    "1) mirrors one user's data and refreshes the user records; all (mode 2) mirrors the policy\n"
    "and every user. Exit 0 on status 0, else 1.";

constexpr const char* kSupportUsage =
    "usage: keystonectl support [FACTOR ...] [--socket PATH]\n"
    "\n"
    "Reports the factors supported outside the applet (MirrorFactorSupportedStatusRpc with an\n"
    "ExternalFactorsSupport record); the mirror's IsSupported becomes 1 for these, 0 for the\n"
    "others. Status 0xA0000050 while no policy is mirrored.";

constexpr const char* kDiscoverUsage =
    "usage: keystonectl discover action ACTION --user SID\n"
    "       keystonectl discover policy --user SID\n"
    "       keystonectl discover enrollment FACTOR --user SID\n"
    "       keystonectl discover users\n"
    "       keystonectl discover parameters FACTOR\n"
    "       (each also takes --socket PATH and --raw)\n"
    "\n"
    "Asks the engine what the policy says (GetDiscoveryInfoRpc kinds 0 to 4), answered from the\n"
    "registry mirror, and prints the record decoded (--raw: in hex): the action's factor sets\n"
    "and the user's state of each factor; the policy's factors; the stored values of one\n"
    "enrolled factor; the mirrored users; a factor's enrollment parameters.";

constexpr const char* kRecordUsage =
    "usage: keystonectl record SID [--socket PATH]\n"
    "\n"
    "Prints the display name the engine resolved for the user (GetUserRecordsRpc); empty when it\n"
    "resolved none.";

const RegisterCommand kRegisterBackup({"backup", "tell the engine to rewrite its registry mirror",
                                       kBackupUsage, RunBackup});
const RegisterCommand kRegisterSupport({"support", "report the factors supported outside the applet",
                                        kSupportUsage, RunSupport});
const RegisterCommand kRegisterDiscover({"discover", "ask what the policy asks of a user",
                                         kDiscoverUsage, RunDiscover});
const RegisterCommand kRegisterRecord({"record", "show a user's display name",
                                       kRecordUsage, RunRecord});

}  // namespace
}  // namespace keystonectl
