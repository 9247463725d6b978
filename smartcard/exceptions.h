#pragma once

// The failures of the smart-card certificate handling; each carries the status a flow reports.

#include <stdexcept>
#include <string>

#include "common/exceptions.h"
#include "common/status.h"

namespace CertificateStore {

class SmartCardNotAvailableException : public mfab::MfaException {
 public:
  using MfaException::MfaException;
  int32_t ErrorCode() const override {
    return static_cast<int32_t>(keystone::kStatusSmartCardNotAvailable);
  }
};

class SmartCardReaderNotAvailableException : public mfab::MfaException {
 public:
  using MfaException::MfaException;
  int32_t ErrorCode() const override {
    return static_cast<int32_t>(keystone::kStatusSmartCardReaderNotAvailable);
  }
};

// Shares the reader's code: a certificate that fails the policy looks to the caller like no
// usable reader.
class SmartCardCertificateVerificationException : public mfab::MfaException {
 public:
  using MfaException::MfaException;
  int32_t ErrorCode() const override {
    return static_cast<int32_t>(keystone::kStatusSmartCardReaderNotAvailable);
  }
};

class SmartCardCertificateUnavailable : public mfab::MfaException {
 public:
  using MfaException::MfaException;
  int32_t ErrorCode() const override {
    return static_cast<int32_t>(keystone::kStatusCertificateUnavailable);
  }
};

class SmartCardGeneralError : public mfab::MfaException {
 public:
  using MfaException::MfaException;
  int32_t ErrorCode() const override {
    return static_cast<int32_t>(keystone::kStatusSmartCardGeneralError);
  }
};

class InvalidInputException : public mfab::MfaException {
 public:
  using MfaException::MfaException;
  int32_t ErrorCode() const override {
    return static_cast<int32_t>(keystone::kStatusInvalidParameter);
  }
};

// The card refused the PIN. Carries no status: the flow asks for the PIN again.
class SmartPinError : public std::exception {
 public:
  explicit SmartPinError(std::string text = "wrong PIN") : message(std::move(text)) {}
  const char* what() const noexcept override { return message.c_str(); }

 private:
  std::string message;
};

}  // namespace CertificateStore
