#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "common/status.h"

namespace mfab {

// Base of the engine's own failures. Carries a message, an error code (the status a
// client or a flow result receives) and two optional narrow context strings.
class MfaException : public std::runtime_error {
 public:
  explicit MfaException(const std::string& message, std::string contextText = {},
                        std::string detailText = {})
      : std::runtime_error(message),
        context(std::move(contextText)),
        detail(std::move(detailText)) {}

  virtual int32_t ErrorCode() const { return static_cast<int32_t>(keystone::kStatusGeneralFailure); }
  const std::string& Context() const { return context; }
  const std::string& Detail() const { return detail; }

 private:
  std::string context;
  std::string detail;
};

// The applet answered with an error reply.
class TEEException : public MfaException {
 public:
  using MfaException::MfaException;
};

class GeneralException : public MfaException {
 public:
  using MfaException::MfaException;
};

// Applet error replies that the engine tells apart.
class FactorNotSupportedException : public TEEException {
 public:
  using TEEException::TEEException;
};
class AlreadyEnrolledException : public TEEException {
 public:
  using TEEException::TEEException;
  int32_t ErrorCode() const override { return static_cast<int32_t>(keystone::kStatusAlreadyEnrolled); }
};
class CannotEnrollException : public TEEException {
 public:
  using TEEException::TEEException;
};
class EnrollmentError : public TEEException {
 public:
  using TEEException::TEEException;
  int32_t ErrorCode() const override { return static_cast<int32_t>(keystone::kStatusEnrollmentError); }
};

// Bad input from a caller.
class InvalidInputException : public MfaException {
 public:
  using MfaException::MfaException;
  int32_t ErrorCode() const override { return static_cast<int32_t>(keystone::kStatusInvalidParameter); }
};
class InvalidParamException : public MfaException {
 public:
  using MfaException::MfaException;
  int32_t ErrorCode() const override { return static_cast<int32_t>(keystone::kStatusInvalidParameter); }
};
class InvalidApiCallException : public MfaException {
 public:
  using MfaException::MfaException;
  int32_t ErrorCode() const override { return static_cast<int32_t>(keystone::kStatusInvalidParameter); }
};

class PolicyNotSetException : public MfaException {
 public:
  using MfaException::MfaException;
  int32_t ErrorCode() const override { return static_cast<int32_t>(keystone::kStatusPolicyNotSet); }
};
class AuthenticationErrorException : public TEEException {
 public:
  using TEEException::TEEException;
  int32_t ErrorCode() const override {
    return static_cast<int32_t>(keystone::kStatusAuthenticationError);
  }
};
class UnsupportedFactorException : public TEEException {
 public:
  using TEEException::TEEException;
  int32_t ErrorCode() const override {
    return static_cast<int32_t>(keystone::kStatusFactorNotSupported);
  }
};

// The attestation client could not be started.
class GenericException : public MfaException {
 public:
  using MfaException::MfaException;
  int32_t ErrorCode() const override {
    return static_cast<int32_t>(keystone::kStatusAttestationFailure);
  }
};

// Refusals of the applet channel; the RPC layer maps each to its own call status.
class AppletCurrentlyBusyException : public MfaException {
 public:
  using MfaException::MfaException;
};
class ApiCurrentlyBusyException : public MfaException {
 public:
  ApiCurrentlyBusyException() : MfaException("API currently busy") {}
  using MfaException::MfaException;
};
class InvalidApiException : public MfaException {
 public:
  InvalidApiException() : MfaException("Invalid API call") {}
  using MfaException::MfaException;
};
class NotElevatedException : public MfaException {
 public:
  NotElevatedException() : MfaException("Insufficient privileges") {}
  using MfaException::MfaException;
};
class SVNUpgradeException : public MfaException {
 public:
  using MfaException::MfaException;
};
class ConnectedStandByException : public MfaException {
 public:
  using MfaException::MfaException;
};
class ClearDiskException : public MfaException {
 public:
  ClearDiskException() : MfaException("Couldn't delete all SDS files") {}
  using MfaException::MfaException;
};

// Registry mirroring failures.
class ReadMirrorDataException : public MfaException {
 public:
  using MfaException::MfaException;
};
class WriteMirrorDataException : public MfaException {
 public:
  using MfaException::MfaException;
};

}  // namespace mfab
