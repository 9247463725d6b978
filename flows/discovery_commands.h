#pragma once

// Discovery: what the administrator's policy asks of a user, answered from the registry mirror
// without the applet. A client picks the question by kind (GetDiscoveryInfoRpc) and gets one TLV
// record; how the mirror's fields map onto the records' tags is in docs/discovery.md.
//
//   kind 0  the factor sets of an action and the user's state of each factor
//           (ActionFactorDiscoveryData)
//   kind 1  the policy's factors and which of them the user has enrolled (FactorDiscovery)
//   kind 2  the stored enrollment values of one factor of the user (0x7B58 items)
//   kind 3  the mirrored users (UsersDiscovery)
//   kind 4  a factor's enrollment parameters (GetFactorEnrollmentParametersResponse)
//   other   an empty reply
//
// Each command reads the mirror in one hold of the policy-mirror lock. Thread-safe as far as the
// mirror and the user records are. Throws PolicyNotSetException "Policy Not Set" when a command
// needs the policy and none is mirrored, InvalidParamException "Invalid action" for an action the
// policy lacks, InvalidApiCallException for a factor it lacks, ReadMirrorDataException when the
// mirror cannot be read.

#include <cstdint>
#include <span>
#include <string>

#include "tlv/tlv.h"

namespace mfab {

class AuthenticateDataMirroring;
class IUserRecords;

class PolicyActionDiscoveryCommand {
 public:
  explicit PolicyActionDiscoveryCommand(AuthenticateDataMirroring& mirror) : mirroring(mirror) {}
  Bytes Discover(const std::string& action, const std::string& user);

 private:
  AuthenticateDataMirroring& mirroring;
};

class PolicyDiscoveryCommand {
 public:
  explicit PolicyDiscoveryCommand(AuthenticateDataMirroring& mirror) : mirroring(mirror) {}
  Bytes Discover(const std::string& user);

 private:
  AuthenticateDataMirroring& mirroring;
};

class FactorEnrollmentDiscoveryCommand {
 public:
  explicit FactorEnrollmentDiscoveryCommand(AuthenticateDataMirroring& mirror)
      : mirroring(mirror) {}
  Bytes Discover(const std::string& user, const std::string& factor);

 private:
  AuthenticateDataMirroring& mirroring;
};

class FactorEnrollmentParametersCommand {
 public:
  explicit FactorEnrollmentParametersCommand(AuthenticateDataMirroring& mirror)
      : mirroring(mirror) {}
  Bytes Discover(const std::string& factor);

 private:
  AuthenticateDataMirroring& mirroring;
};

// The discovery kinds of GetDiscoveryInfoRpc. The one instance the service owns; its
// collaborators are borrowed and must outlive it.
class DiscoveryCommands {
 public:
  DiscoveryCommands(AuthenticateDataMirroring& mirroring, IUserRecords& userRecords);

  // The reply record of one kind: data is the action (kind 0) or the factor identifier (kinds 2
  // and 4) as a narrow string, first the user's SID (kinds 0 to 2); second is not used.
  Bytes Discover(int16_t kind, std::span<const uint8_t> data, const std::string& first,
                 const std::string& second);

 private:
  AuthenticateDataMirroring& mirroring;
  IUserRecords& records;
};

}  // namespace mfab
