#include "sim/applet/sealing.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include <cstring>
#include <memory>
#include <string>

#include "sim/applet/field_reader.h"

namespace kilnsim {
namespace {

constexpr uint8_t kMagic[4] = {'K', 'S', 'B', '1'};
constexpr size_t kNonceSize = 12;
constexpr char kSalt[] = "keystone kiln-sim sealing";

struct CipherContextFree {
  void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree>;

CipherContext NewContext() {
  CipherContext context(EVP_CIPHER_CTX_new());
  if (!context) throw std::runtime_error("EVP_CIPHER_CTX_new failed");
  return context;
}

std::vector<uint8_t> AdditionalData(std::span<const uint8_t> header, std::string_view name) {
  std::vector<uint8_t> aad(header.begin(), header.end());
  aad.insert(aad.end(), name.begin(), name.end());
  return aad;
}

int Length(size_t size) {
  if (size > 1u << 30) throw std::runtime_error("sealed record too large");
  return static_cast<int>(size);
}

}  // namespace

SealingKey DeriveSealingKey(const SealingKey& deviceKey, uint32_t svn) {
  EVP_KDF* kdf = EVP_KDF_fetch(nullptr, "HKDF", nullptr);
  if (!kdf) throw std::runtime_error("HKDF is not available");
  EVP_KDF_CTX* context = EVP_KDF_CTX_new(kdf);
  EVP_KDF_free(kdf);
  if (!context) throw std::runtime_error("EVP_KDF_CTX_new failed");
  uint8_t info[7] = {'s',
                     'v',
                     'n',
                     static_cast<uint8_t>(svn >> 24),
                     static_cast<uint8_t>(svn >> 16),
                     static_cast<uint8_t>(svn >> 8),
                     static_cast<uint8_t>(svn)};
  char digest[] = "SHA256";
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, const_cast<uint8_t*>(deviceKey.data()),
                                        deviceKey.size()),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, const_cast<char*>(kSalt),
                                        sizeof(kSalt) - 1),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, info, sizeof(info)),
      OSSL_PARAM_construct_end()};
  SealingKey key{};
  const int ok = EVP_KDF_derive(context, key.data(), key.size(), params);
  EVP_KDF_CTX_free(context);
  if (ok != 1) throw std::runtime_error("HKDF derivation failed");
  return key;
}

void RandomBytes(std::span<uint8_t> out) {
  if (RAND_bytes(out.data(), Length(out.size())) != 1) {
    throw std::runtime_error("RAND_bytes failed");
  }
}

std::vector<uint8_t> SealBlob(const SealingKey& key, std::string_view name, BlobHeader header,
                              std::span<const uint8_t> plaintext) {
  std::vector<uint8_t> blob(std::begin(kMagic), std::end(kMagic));
  PutBe32(blob, header.svn);
  PutBe64(blob, header.version);
  blob.resize(kBlobHeaderSize);
  RandomBytes(std::span<uint8_t>(blob.data() + 16, kNonceSize));
  const std::vector<uint8_t> aad = AdditionalData(blob, name);

  CipherContext context = NewContext();
  int length = 0;
  if (EVP_EncryptInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, key.data(), blob.data() + 16) !=
          1 ||
      EVP_EncryptUpdate(context.get(), nullptr, &length, aad.data(), Length(aad.size())) != 1) {
    throw std::runtime_error("AES-GCM set-up failed");
  }
  blob.resize(kBlobHeaderSize + plaintext.size() + kBlobTagSize);
  uint8_t* cipher = blob.data() + kBlobHeaderSize;
  if (!plaintext.empty() && EVP_EncryptUpdate(context.get(), cipher, &length, plaintext.data(),
                                              Length(plaintext.size())) != 1) {
    throw std::runtime_error("AES-GCM encryption failed");
  }
  int finalLength = 0;
  if (EVP_EncryptFinal_ex(context.get(), cipher + plaintext.size(), &finalLength) != 1 ||
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_GET_TAG, kBlobTagSize,
                          cipher + plaintext.size()) != 1) {
    throw std::runtime_error("AES-GCM finalization failed");
  }
  return blob;
}

BlobHeader PeekBlobHeader(std::span<const uint8_t> blob) {
  if (blob.size() < kBlobOverhead) throw SealError("too short to be a sealed blob");
  if (std::memcmp(blob.data(), kMagic, sizeof(kMagic)) != 0) throw SealError("not a sealed blob");
  return BlobHeader{GetBe32(blob.data() + 4), GetBe64(blob.data() + 8)};
}

std::vector<uint8_t> OpenBlob(const SealingKey& key, std::string_view name,
                              std::span<const uint8_t> blob) {
  PeekBlobHeader(blob);
  const std::vector<uint8_t> aad = AdditionalData(blob.first(kBlobHeaderSize), name);
  const size_t cipherSize = blob.size() - kBlobOverhead;
  const uint8_t* cipher = blob.data() + kBlobHeaderSize;

  CipherContext context = NewContext();
  int length = 0;
  if (EVP_DecryptInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, key.data(), blob.data() + 16) !=
          1 ||
      EVP_DecryptUpdate(context.get(), nullptr, &length, aad.data(), Length(aad.size())) != 1) {
    throw std::runtime_error("AES-GCM set-up failed");
  }
  std::vector<uint8_t> plaintext(cipherSize);
  if (cipherSize > 0 && EVP_DecryptUpdate(context.get(), plaintext.data(), &length, cipher,
                                          Length(cipherSize)) != 1) {
    throw SealError("does not decrypt");
  }
  // The tag buffer is only read by the library despite the non-const parameter.
  if (EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG, kBlobTagSize,
                          const_cast<uint8_t*>(cipher + cipherSize)) != 1) {
    throw std::runtime_error("AES-GCM tag set-up failed");
  }
  int finalLength = 0;
  if (EVP_DecryptFinal_ex(context.get(), plaintext.data() + cipherSize, &finalLength) != 1) {
    throw SealError(
        "authentication failed (altered, bound to another name, or sealed by another device)");
  }
  return plaintext;
}

}  // namespace kilnsim
