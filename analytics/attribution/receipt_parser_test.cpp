#include "analytics/attribution/receipt_parser.h"

#include <gtest/gtest.h>

#include "analytics/attribution/receipt_test_support.h"
#include "analytics/foundation/test_support.h"

namespace {

using namespace receipt_test;

const Bytes kDeviceID = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};

Purchase FullPurchase() {
  Purchase p;
  p.productID = "com.example.gems";
  p.transactionID = "1000000123";
  p.originalTransactionID = "1000000100";
  p.purchaseDate = "2026-03-05T07:08:09Z";
  p.originalPurchaseDate = "2026-02-05T07:08:09Z";
  p.expirationDate = "2026-04-05T07:08:09Z";
  p.cancellationDate = "2026-03-20T00:00:00Z";
  p.webOrderLineItemID = IntegerContents(0x1122334455ULL);
  p.purchaseType = Bytes{3};
  p.freeTrial = Bytes{1};
  p.introductoryOffer = Bytes{0};
  return p;
}

class ReceiptParserTest : public ZIVFoundationTest {
 protected:
  // Surroundings of the device and version checks over the given receipt bytes.
  ZIVReceiptEnvironment Environment(std::optional<Bytes> receipt) {
    ZIVReceiptEnvironment e;
    e.isSimulator = [] { return false; };
    e.isSandboxReceipt = [this] { return sandbox_; };
    e.receiptData = [receipt] { return receipt; };
    e.deviceIdentifier = [this] { return deviceID_; };
    e.bundleIdentifier = [] { return std::string("com.example.quellmark"); };
    e.shortVersionString = [this] { return version_; };
    return e;
  }

  bool sandbox_ = false;
  Bytes deviceID_ = kDeviceID;
  std::optional<std::string> version_ = "1.0";
};

TEST_F(ReceiptParserTest, ParsesEveryFieldOfASignedReceipt) {
  Receipt r;
  r.purchases = {FullPurchase()};
  Bytes receipt = SignedContainer(ReceiptPayload(r));
  ASSERT_FALSE(receipt.empty());

  auto items = ZIVParsePurchaseItems(receipt);
  ASSERT_TRUE(items);
  ASSERT_EQ(items->size(), 1u);
  const ZIVInAppPurchaseItem& item = *(*items)[0];
  EXPECT_EQ(item.productID, "com.example.gems");
  EXPECT_EQ(item.transactionID, "1000000123");
  EXPECT_EQ(item.originalTransactionID, "1000000100");
  EXPECT_EQ(item.purchaseDateIA5String, "2026-03-05T07:08:09Z");
  EXPECT_EQ(item.originalPurchaseDateIA5String, "2026-02-05T07:08:09Z");
  EXPECT_EQ(item.subscriptionExpirationDateIA5String, "2026-04-05T07:08:09Z");
  EXPECT_EQ(item.cancellationDateIA5String, "2026-03-20T00:00:00Z");
  EXPECT_EQ(item.webOrderLineItemID, 0x1122334455ULL);
  EXPECT_EQ(item.purchaseType, 3);
  EXPECT_TRUE(item.isFreeTrial());
  EXPECT_FALSE(item.isIntroductoryOffer());
}

TEST_F(ReceiptParserTest, RecordsWithoutProductAndLeadingAttributes) {
  Receipt r;
  Purchase noProduct;
  noProduct.transactionID = "t-1";
  Purchase second;
  second.productID = "p2";
  Purchase lastWithoutProduct;
  lastWithoutProduct.transactionID = "t-3";
  // A product-ID field outside any record is not an item.
  r.leading = {Attribute(1702, UTF8("outside"))};
  r.purchases = {noProduct, second, lastWithoutProduct};
  auto items = ZIVParsePurchaseItems(ReceiptPayload(r));
  ASSERT_TRUE(items);
  ASSERT_EQ(items->size(), 2u);
  EXPECT_EQ((*items)[0]->productID, "p2");
  EXPECT_EQ((*items)[1]->productID, std::nullopt);
  EXPECT_EQ((*items)[1]->transactionID, "t-3");
}

TEST_F(ReceiptParserTest, FieldValuesAtTheirEdges) {
  Receipt r;
  Purchase p;
  p.productID = "p";
  p.webOrderLineItemID = Bytes{0};    // 0 leaves the field empty.
  p.freeTrial = Bytes{2};             // Neither 0 nor 1: NO and a log line.
  p.introductoryOffer = Bytes{0, 1};  // Two bytes: not taken.
  p.purchaseType = Bytes{1};
  r.purchases = {p};
  auto items = ZIVParsePurchaseItems(ReceiptPayload(r));
  ASSERT_TRUE(items);
  ASSERT_EQ(items->size(), 1u);
  EXPECT_EQ((*items)[0]->webOrderLineItemID, std::nullopt);
  EXPECT_FALSE((*items)[0]->isFreeTrial());
  EXPECT_FALSE((*items)[0]->isIntroductoryOffer());
  EXPECT_EQ((*items)[0]->purchaseType, 1);
  ExpectLogged(sharedLog_, 5, 39025, "Subdata FT unexpected value");
}

TEST_F(ReceiptParserTest, EmptyAndRecordlessReceipts) {
  EXPECT_EQ(ZIVParsePurchaseItems({}), std::nullopt);
  Receipt r;
  r.hash = Digest(EVP_sha1(), HashInput(kDeviceID, r));
  Bytes receipt = SignedContainer(ReceiptPayload(r));
  auto items = ZIVParsePurchaseItems(receipt);
  ASSERT_TRUE(items);
  EXPECT_TRUE(items->empty());
  EXPECT_FALSE(ZIVParseDataWithEnvironment(Environment(receipt)));
  ExpectLogged(sharedLog_, 5, 39014, "I data is missing");
}

TEST_F(ReceiptParserTest, DeviceHashChecks) {
  struct Case {
    const char* name;
    std::function<std::optional<Bytes>(const Receipt&)> hash;
    bool expected;
    int64_t code;  // The failure's code, 0 for none.
  };
  const Bytes input = HashInput(kDeviceID, Receipt());
  const std::vector<Case> cases = {
      {"sha1", [&](const Receipt&) { return Digest(EVP_sha1(), input); }, true, 0},
      {"sha256", [&](const Receipt&) { return Digest(EVP_sha256(), input); }, true, 0},
      {"sha1 truncated to 19",
       [&](const Receipt&) {
         Bytes h = Digest(EVP_sha1(), input);
         h.pop_back();
         return h;
       },
       false, 39018},
      {"sha256 of other device",
       [&](const Receipt& r) {
         return Digest(EVP_sha256(), HashInput(Bytes{9, 9, 9, 9, 9, 9}, r));
       },
       false, 39018},
      {"sha384", [&](const Receipt&) { return Digest(EVP_sha384(), input); }, false, 39018},
      {"missing", [&](const Receipt&) { return std::nullopt; }, false, 39017},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sharedLog_.clear();
    Receipt r;
    r.purchases = {FullPurchase()};
    r.hash = c.hash(r);
    EXPECT_EQ(ZIVParseDataWithEnvironment(Environment(SignedContainer(ReceiptPayload(r)))),
              c.expected);
    if (c.code != 0) {
      EXPECT_EQ(sharedLog_.withCode(c.code).size(), 1u);
    }
  }
}

TEST_F(ReceiptParserTest, ForeignBundleIdentifierOnlyLogs) {
  Receipt r;
  r.bundleID = "com.example.other";
  r.purchases = {FullPurchase()};
  r.hash = Digest(EVP_sha1(), HashInput(kDeviceID, r));
  EXPECT_TRUE(ZIVParseDataWithEnvironment(Environment(ReceiptPayload(r))));
  ExpectLogged(sharedLog_, 5, 39022, "B data does not match actual string");
}

TEST_F(ReceiptParserTest, DeviceCheckRefusals) {
  Receipt r;
  r.purchases = {FullPurchase()};
  r.hash = Digest(EVP_sha1(), HashInput(kDeviceID, r));
  const Bytes good = ReceiptPayload(r);

  EXPECT_FALSE(ZIVParseDataWithEnvironment(Environment(std::nullopt)));
  ExpectLogged(sharedLog_, 5, 39009, "Parsed data is nil");
  EXPECT_FALSE(ZIVParseDataWithEnvironment(Environment(Bytes{})));
  ExpectLogged(sharedLog_, 5, 39011, "Parsed data is empty");
  deviceID_.clear();
  EXPECT_FALSE(ZIVParseDataWithEnvironment(Environment(good)));
  ExpectLogged(sharedLog_, 5, 39013, "Device ID data is nil");
  deviceID_ = kDeviceID;
  sandbox_ = true;
  EXPECT_FALSE(ZIVParseDataWithEnvironment(Environment(good)));
  ExpectLogged(sharedLog_, 5, 39001, "Parsed data is sandbox");
  EXPECT_TRUE(ZIVParseVersionWithEnvironment(Environment(std::nullopt)));
  sandbox_ = false;
  Receipt noOpaque = r;
  noOpaque.includeOpaque = false;
  EXPECT_FALSE(ZIVParseDataWithEnvironment(Environment(ReceiptPayload(noOpaque))));
  ExpectLogged(sharedLog_, 5, 39015, "O data is missing");
}

TEST_F(ReceiptParserTest, VersionComparesTextsExactly) {
  struct Case {
    std::optional<std::string> running;
    bool expected;
  } cases[] = {{"1.0", true}, {"1.0.0", false}, {"1.1", false}, {std::nullopt, false}};
  Receipt r;
  const Bytes receipt = SignedContainer(ReceiptPayload(r));
  for (const auto& c : cases) {
    version_ = c.running;
    EXPECT_EQ(ZIVParseVersionWithEnvironment(Environment(receipt)), c.expected)
        << c.running.value_or("(none)");
  }
  EXPECT_FALSE(ZIVParseVersionWithEnvironment(Environment(Bytes{1, 2, 3})));
  ExpectLogged(sharedLog_, 5, 39006, "V data is too short. Length");
}

TEST_F(ReceiptParserTest, MatchByteSequenceBounds) {
  const ZIVBytePattern pattern = {1, kZIVAnyByte};
  EXPECT_EQ(ZIVMatchByteSequence(pattern, Bytes{1, 2, 7, 8}, 0), (Bytes{7, 8}));
  EXPECT_EQ(ZIVMatchByteSequence(pattern, Bytes{1, 2, 7}, 0), std::nullopt);  // Runs past.
  EXPECT_EQ(ZIVMatchByteSequence(pattern, Bytes{1, 0, 7}, 0), std::nullopt);  // Length 0.
  EXPECT_EQ(ZIVMatchByteSequence(pattern, Bytes{1, 1}, 0), std::nullopt);     // No room.
  EXPECT_EQ(ZIVMatchByteSequence(pattern, Bytes{1, 1, 5}, -1), std::nullopt);
  EXPECT_EQ(ZIVMatchByteSequence({}, Bytes{1, 1, 5}, 0), std::nullopt);
  EXPECT_EQ(ZIVMatchByteSequence(pattern, Bytes{1, 1, 5}, INT32_MAX), std::nullopt);
  Bytes longValue = {1, 200};
  longValue.resize(202, 0xab);
  EXPECT_EQ(ZIVMatchByteSequence(pattern, longValue, 0)->size(), 200u);
  ExpectLogged(sharedLog_, 5, 39027, "Data is longer than 127");
}

TEST_F(ReceiptParserTest, EveryTruncationOfAReceiptParsesWithoutHarm) {
  Receipt r;
  r.purchases = {FullPurchase(), FullPurchase()};
  r.hash = Digest(EVP_sha1(), HashInput(kDeviceID, r));
  const Bytes receipt = SignedContainer(ReceiptPayload(r));
  for (size_t n = 0; n <= receipt.size(); n += 7) {
    Bytes cut(receipt.begin(), receipt.begin() + static_cast<std::ptrdiff_t>(n));
    auto items = ZIVParsePurchaseItems(cut);
    EXPECT_LE(items ? items->size() : 0, 2u);
    (void)ZIVParseDataWithEnvironment(Environment(cut));
  }
}

TEST_F(ReceiptParserTest, DeviceVerification) {
  const std::string nonce = "AbCd-Nonce";
  const std::string uuid = "5F0E2B9C-0000-4000-8000-00000000ABCD";
  const Bytes expected =
      Digest(EVP_sha384(), Text("abcd-nonce5f0e2b9c-0000-4000-8000-00000000abcd"));
  EXPECT_TRUE(ZIVIsValidTransactionDeviceVerification(expected, uuid, nonce));
  EXPECT_FALSE(ZIVIsValidTransactionDeviceVerification(expected, std::nullopt, nonce));
  EXPECT_FALSE(ZIVIsValidTransactionDeviceVerification(expected, uuid, "other"));
}

}  // namespace
