#include "platform/security/digest.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/security/hex.h"

namespace security {
namespace {

constexpr const char* k448Bits = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";

struct Vector {
  DigestAlgorithm algorithm;
  std::string message;
  const char* digest;
};

// Test vectors of RFC 1321 (MD5) and FIPS 180 (SHA family).
const std::vector<Vector>& KnownAnswers() {
  static const std::vector<Vector> vectors = {
      {DigestAlgorithm::kMD5, "", "d41d8cd98f00b204e9800998ecf8427e"},
      {DigestAlgorithm::kMD5, "a", "0cc175b9c0f1b6a831c399e269772661"},
      {DigestAlgorithm::kMD5, "abc", "900150983cd24fb0d6963f7d28e17f72"},
      {DigestAlgorithm::kMD5, "message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {DigestAlgorithm::kMD5, "abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {DigestAlgorithm::kMD5,
       "12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
      {DigestAlgorithm::kSHA1, "", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {DigestAlgorithm::kSHA1, "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {DigestAlgorithm::kSHA1, k448Bits, "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {DigestAlgorithm::kSHA256, "",
       "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {DigestAlgorithm::kSHA256, "abc",
       "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {DigestAlgorithm::kSHA256, k448Bits,
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {DigestAlgorithm::kSHA384, "",
       "38b060a751ac96384cd9327eb1b1e36a21fdb71114be07434c0cc7bf63f6e1da"
       "274edebfe76f65fbd51ad2f14898b95b"},
      {DigestAlgorithm::kSHA384, "abc",
       "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed"
       "8086072ba1e7cc2358baeca134c825a7"},
      {DigestAlgorithm::kSHA384, k448Bits,
       "3391fdddfc8dc7393707a65b1b4709397cf8b1d162af05abfe8f450de5f36bc6"
       "b0455a8520bc4e6f5fe95b1fe3c8452b"},
  };
  return vectors;
}

TEST(DigestTest, KnownAnswers) {
  for (const Vector& v : KnownAnswers()) {
    SCOPED_TRACE(std::string(DigestName(v.algorithm)) + " of \"" + v.message + "\"");
    fnd::Data digest = Digest(v.algorithm, v.message);
    EXPECT_EQ(digest.size(), DigestLength(v.algorithm));
    EXPECT_EQ(HexString(digest), v.digest);

    fnd::Data bytes(v.message.begin(), v.message.end());
    fnd::Data viaBytes;
    fnd::Error error;
    ASSERT_TRUE(Digest(v.algorithm, bytes, &viaBytes, &error)) << error.description();
    EXPECT_EQ(viaBytes, digest);
  }
}

TEST(DigestTest, NamedFunctionsPickTheirAlgorithm) {
  EXPECT_EQ(HexString(MD5("abc")), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(HexString(SHA1("abc")), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(HexString(SHA256("abc")),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(SHA384("abc"), Digest(DigestAlgorithm::kSHA384, "abc"));
  fnd::Data bytes = {'a', 'b', 'c'};
  EXPECT_EQ(MD5(bytes), MD5("abc"));
  EXPECT_EQ(SHA256(bytes), SHA256("abc"));
}

TEST(DigestTest, CommonCryptoShapeWritesIntoTheCallersBuffer) {
  struct Case {
    unsigned char* (*function)(const void*, uint32_t, unsigned char*);
    DigestAlgorithm algorithm;
    size_t length;
  };
  const Case cases[] = {
      {CC_MD5, DigestAlgorithm::kMD5, CC_MD5_DIGEST_LENGTH},
      {CC_SHA1, DigestAlgorithm::kSHA1, CC_SHA1_DIGEST_LENGTH},
      {CC_SHA256, DigestAlgorithm::kSHA256, CC_SHA256_DIGEST_LENGTH},
      {CC_SHA384, DigestAlgorithm::kSHA384, CC_SHA384_DIGEST_LENGTH},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(DigestName(c.algorithm));
    // One guard byte past the digest must stay untouched.
    std::vector<unsigned char> md(c.length + 1, 0xee);
    EXPECT_EQ(c.function("abc", 3, md.data()), md.data());
    EXPECT_EQ(fnd::Data(md.begin(), md.end() - 1), Digest(c.algorithm, "abc"));
    EXPECT_EQ(md.back(), 0xee);

    EXPECT_EQ(c.function(nullptr, 0, md.data()), md.data());
    EXPECT_EQ(fnd::Data(md.begin(), md.end() - 1), Digest(c.algorithm, ""));
  }
  EXPECT_EQ(CC_MD5_DIGEST_LENGTH, 16u);
  EXPECT_EQ(CC_SHA1_DIGEST_LENGTH, 20u);
  EXPECT_EQ(CC_SHA256_DIGEST_LENGTH, 32u);
  EXPECT_EQ(CC_SHA384_DIGEST_LENGTH, 48u);
}

TEST(DigestTest, IncrementalMatchesOneShotAtEverySplit) {
  const std::string message = std::string(k448Bits) + std::string("\x00\xff tail", 7);
  for (DigestAlgorithm algorithm : {DigestAlgorithm::kMD5, DigestAlgorithm::kSHA1,
                                    DigestAlgorithm::kSHA256, DigestAlgorithm::kSHA384}) {
    SCOPED_TRACE(DigestName(algorithm));
    const fnd::Data expected = Digest(algorithm, message);
    DigestContext context(algorithm);
    for (size_t split = 0; split <= message.size(); ++split) {
      context.update(std::string_view(message).substr(0, split));
      context.update(std::string_view(message).substr(split));
      fnd::Data digest;
      ASSERT_TRUE(context.finish(&digest));  // Also resets the context for the next split.
      EXPECT_EQ(digest, expected) << "split at " << split;
    }
  }
}

// The "one million times 'a'" vectors of RFC 1321's test suite and FIPS 180, fed in pieces.
TEST(DigestTest, MillionAsInPieces) {
  struct Case {
    DigestAlgorithm algorithm;
    const char* digest;
  };
  const Case cases[] = {
      {DigestAlgorithm::kMD5, "7707d6ae4e027c70eea2a935c2296f21"},
      {DigestAlgorithm::kSHA1, "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
      {DigestAlgorithm::kSHA256,
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      {DigestAlgorithm::kSHA384,
       "9d0e1809716474cb086e834e310a4a1ced149e9c00f248527972cec5704c2a5b"
       "07b8b3dc38ecc4ebae97ddd87f3d8985"},
  };
  const fnd::Data piece(1000, 'a');
  for (const Case& c : cases) {
    SCOPED_TRACE(DigestName(c.algorithm));
    DigestContext context(c.algorithm);
    for (int i = 0; i < 1000; ++i) context.update(piece);
    fnd::Data digest;
    fnd::Error error;
    ASSERT_TRUE(context.finish(&digest, &error)) << error.description();
    EXPECT_EQ(HexString(digest), c.digest);
  }
}

}  // namespace
}  // namespace security
