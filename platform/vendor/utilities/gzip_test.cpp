#include "platform/vendor/utilities/gzip.h"

#include <gtest/gtest.h>

#include "platform/security/errors.h"
#include "platform/security/gzip.h"

namespace {

fnd::Data Bytes(const std::string& text) { return fnd::Data(text.begin(), text.end()); }

TEST(GzipTest, InflatesGzipAndPassesPlainDataThrough) {
  const fnd::Data plain = Bytes("experiment response bytes");
  std::optional<fnd::Data> compressed = gul_dataByGzippingData(plain);
  ASSERT_TRUE(compressed);
  EXPECT_TRUE(security::IsGzipped(*compressed));
  EXPECT_EQ(gul_dataByInflatingGzippedData(*compressed), plain);
  // Data that is not gzip is taken as it is, also when empty.
  EXPECT_EQ(gul_dataByInflatingGzippedData(plain), plain);
  EXPECT_EQ(gul_dataByInflatingGzippedData(fnd::Data()), fnd::Data());
}

TEST(GzipTest, RefusesCorruptAndOversizedStreams) {
  std::optional<fnd::Data> compressed = gul_dataByGzippingData(fnd::Data(4096, 'a'));
  ASSERT_TRUE(compressed);

  fnd::Error error;
  EXPECT_FALSE(gul_dataByInflatingGzippedData(*compressed, &error, 4095));
  EXPECT_EQ(error.domain(), security::kErrorDomain);
  EXPECT_EQ(error.code(), security::kErrorSizeLimit);

  fnd::Data truncated(compressed->begin(), compressed->begin() + compressed->size() / 2);
  EXPECT_FALSE(gul_dataByInflatingGzippedData(truncated, &error));
  EXPECT_EQ(error.code(), security::kErrorTruncatedData);
}

}  // namespace
