#include "platform/security/digest.h"

#include <openssl/evp.h>

#include <cstring>
#include <string>

#include "platform/security/errors.h"
#include "platform/security/openssl_init.h"

namespace security {
namespace {

const EVP_MD* MessageDigest(DigestAlgorithm algorithm) {
  EnsureOpenSSLInitialized();
  switch (algorithm) {
    case DigestAlgorithm::kMD5:
      return EVP_md5();
    case DigestAlgorithm::kSHA1:
      return EVP_sha1();
    case DigestAlgorithm::kSHA256:
      return EVP_sha256();
    case DigestAlgorithm::kSHA384:
      return EVP_sha384();
  }
  return nullptr;
}

std::span<const uint8_t> Bytes(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

std::string Operation(DigestAlgorithm algorithm) {
  return std::string(DigestName(algorithm)) + " digest";
}

unsigned char* DigestInto(DigestAlgorithm algorithm, const void* data, uint32_t len,
                          unsigned char* md) {
  fnd::Data digest;
  std::span<const uint8_t> bytes(static_cast<const uint8_t*>(data), data == nullptr ? 0 : len);
  if (!Digest(algorithm, bytes, &digest)) {
    std::memset(md, 0, DigestLength(algorithm));
    return nullptr;
  }
  std::memcpy(md, digest.data(), digest.size());
  return md;
}

}  // namespace

size_t DigestLength(DigestAlgorithm algorithm) {
  switch (algorithm) {
    case DigestAlgorithm::kMD5:
      return CC_MD5_DIGEST_LENGTH;
    case DigestAlgorithm::kSHA1:
      return CC_SHA1_DIGEST_LENGTH;
    case DigestAlgorithm::kSHA256:
      return CC_SHA256_DIGEST_LENGTH;
    case DigestAlgorithm::kSHA384:
      return CC_SHA384_DIGEST_LENGTH;
  }
  return 0;
}

const char* DigestName(DigestAlgorithm algorithm) {
  switch (algorithm) {
    case DigestAlgorithm::kMD5:
      return "MD5";
    case DigestAlgorithm::kSHA1:
      return "SHA-1";
    case DigestAlgorithm::kSHA256:
      return "SHA-256";
    case DigestAlgorithm::kSHA384:
      return "SHA-384";
  }
  return "unknown";
}

bool Digest(DigestAlgorithm algorithm, std::span<const uint8_t> bytes, fnd::Data* out,
            fnd::Error* error) {
  out->clear();
  const EVP_MD* md = MessageDigest(algorithm);
  if (md == nullptr) {
    return fnd::SetError(error, SecurityError(kErrorInvalidArgument, "Unknown digest algorithm"));
  }
  fnd::Data digest(DigestLength(algorithm));
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, md, nullptr) != 1 ||
      length != digest.size()) {
    return fnd::SetError(error, OpenSSLError(kErrorInternal, Operation(algorithm)));
  }
  *out = std::move(digest);
  return true;
}

fnd::Data Digest(DigestAlgorithm algorithm, std::span<const uint8_t> bytes) {
  fnd::Data out;
  // Failure is reported as empty data, as the header promises.
  (void)Digest(algorithm, bytes, &out);
  return out;
}

fnd::Data Digest(DigestAlgorithm algorithm, std::string_view text) {
  return Digest(algorithm, Bytes(text));
}

unsigned char* CC_MD5(const void* data, uint32_t len, unsigned char* md) {
  return DigestInto(DigestAlgorithm::kMD5, data, len, md);
}
unsigned char* CC_SHA1(const void* data, uint32_t len, unsigned char* md) {
  return DigestInto(DigestAlgorithm::kSHA1, data, len, md);
}
unsigned char* CC_SHA256(const void* data, uint32_t len, unsigned char* md) {
  return DigestInto(DigestAlgorithm::kSHA256, data, len, md);
}
unsigned char* CC_SHA384(const void* data, uint32_t len, unsigned char* md) {
  return DigestInto(DigestAlgorithm::kSHA384, data, len, md);
}

struct DigestContext::State {
  struct Free {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
  };
  std::unique_ptr<EVP_MD_CTX, Free> ctx;
  // False once a libcrypto call failed; finish() then reports `failure`.
  bool ok = true;
  fnd::Error failure;

  void fail(DigestAlgorithm algorithm) {
    if (ok) failure = OpenSSLError(kErrorInternal, Operation(algorithm));
    ok = false;
  }
  void reset(DigestAlgorithm algorithm) {
    ok = true;
    failure = fnd::Error();
    if (!ctx) {
      ctx.reset(EVP_MD_CTX_new());
      if (!ctx) return fail(algorithm);
    }
    const EVP_MD* md = MessageDigest(algorithm);
    if (md == nullptr) {
      ok = false;
      failure = SecurityError(kErrorInvalidArgument, "Unknown digest algorithm");
      return;
    }
    if (EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1) fail(algorithm);
  }
};

DigestContext::DigestContext(DigestAlgorithm algorithm)
    : algorithm_(algorithm), state_(std::make_unique<State>()) {
  state_->reset(algorithm_);
}

DigestContext::~DigestContext() = default;

void DigestContext::update(std::span<const uint8_t> bytes) {
  if (!state_->ok || bytes.empty()) return;
  if (EVP_DigestUpdate(state_->ctx.get(), bytes.data(), bytes.size()) != 1) {
    state_->fail(algorithm_);
  }
}

void DigestContext::update(std::string_view text) { update(Bytes(text)); }

bool DigestContext::finish(fnd::Data* out, fnd::Error* error) {
  out->clear();
  bool ok = state_->ok;
  fnd::Error failure = state_->failure;
  if (ok) {
    fnd::Data digest(DigestLength(algorithm_));
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(state_->ctx.get(), digest.data(), &length) == 1 &&
        length == digest.size()) {
      *out = std::move(digest);
    } else {
      ok = false;
      failure = OpenSSLError(kErrorInternal, Operation(algorithm_));
    }
  }
  state_->reset(algorithm_);
  if (!ok) return fnd::SetError(error, std::move(failure));
  return true;
}

}  // namespace security
