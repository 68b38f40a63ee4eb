#include "platform/security/random.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/security/errors.h"

namespace security {
namespace {

TEST(RandomTest, DrawsTheRequestedNumberOfBytes) {
  for (size_t count : {size_t{0}, size_t{1}, size_t{16}, size_t{100000}}) {
    fnd::Data bytes = {1, 2, 3};
    fnd::Error error;
    ASSERT_TRUE(RandomBytes(count, &bytes, &error)) << error.description();
    EXPECT_EQ(bytes.size(), count);
  }
}

TEST(RandomTest, DrawsDiffer) {
  // Two equal 32-byte draws from a working generator have probability 2^-256.
  fnd::Data a, b;
  ASSERT_TRUE(RandomBytes(32, &a));
  ASSERT_TRUE(RandomBytes(32, &b));
  EXPECT_NE(a, b);
  EXPECT_NE(a, fnd::Data(32, 0));
}

TEST(RandomTest, SecRandomCopyBytesFillsTheBuffer) {
  {
    ScopedRandomOverride pattern(fnd::Data{0xab});
    std::vector<uint8_t> buffer(8, 0);
    EXPECT_EQ(SecRandomCopyBytes(kSecRandomDefault, buffer.size(), buffer.data()), errSecSuccess);
    EXPECT_EQ(buffer, std::vector<uint8_t>(8, 0xab));
  }
  uint8_t byte = 0;
  EXPECT_EQ(SecRandomCopyBytes(kSecRandomDefault, 1, &byte), errSecSuccess);
}

TEST(RandomTest, PatternOverrideCyclesAcrossDraws) {
  ScopedRandomOverride pattern(fnd::Data{1, 2, 3});
  fnd::Data bytes;
  ASSERT_TRUE(RandomBytes(2, &bytes));
  EXPECT_EQ(bytes, (fnd::Data{1, 2}));
  ASSERT_TRUE(RandomBytes(4, &bytes));
  EXPECT_EQ(bytes, (fnd::Data{3, 1, 2, 3}));
  uint8_t buffer[2];
  ASSERT_EQ(SecRandomCopyBytes(kSecRandomDefault, 2, buffer), errSecSuccess);
  EXPECT_EQ(buffer[0], 1);
  EXPECT_EQ(buffer[1], 2);
}

TEST(RandomTest, OverridesNestAndRestore) {
  fnd::Data bytes;
  {
    ScopedRandomOverride outer(fnd::Data{7});
    {
      ScopedRandomOverride inner(fnd::Data{9});
      ASSERT_TRUE(RandomBytes(3, &bytes));
      EXPECT_EQ(bytes, fnd::Data(3, 9));
    }
    ASSERT_TRUE(RandomBytes(3, &bytes));
    EXPECT_EQ(bytes, fnd::Data(3, 7));
  }
  // Back on the real generator: 64 bytes of one value would be a miracle.
  ASSERT_TRUE(RandomBytes(64, &bytes));
  EXPECT_NE(bytes, fnd::Data(64, 7));
}

TEST(RandomTest, FailingSourceReportsAnError) {
  struct Case {
    const char* name;
    RandomSource source;
    int64_t code;
  };
  const fnd::Error custom = SecurityError(kErrorInternal, "entropy pool unavailable");
  const std::vector<Case> cases = {
      {"silent failure", [](uint8_t*, size_t, fnd::Error*) { return false; }, kErrorRandomFailed},
      {"failure with its own error",
       [custom](uint8_t*, size_t, fnd::Error* error) { return fnd::SetError(error, custom); },
       kErrorInternal},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedRandomOverride failing(c.source);
    fnd::Data bytes = {1};
    fnd::Error error;
    EXPECT_FALSE(RandomBytes(4, &bytes, &error));
    EXPECT_TRUE(bytes.empty());
    EXPECT_EQ(error.domain(), kErrorDomain);
    EXPECT_EQ(error.code(), c.code);
    uint8_t buffer[4];
    EXPECT_NE(SecRandomCopyBytes(kSecRandomDefault, sizeof(buffer), buffer), errSecSuccess);
  }
  ScopedRandomOverride empty(fnd::Data{});
  fnd::Error error;
  fnd::Data bytes;
  EXPECT_FALSE(RandomBytes(1, &bytes, &error));
  EXPECT_EQ(error.code(), kErrorRandomFailed);
}

}  // namespace
}  // namespace security
