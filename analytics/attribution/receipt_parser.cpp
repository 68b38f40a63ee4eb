#include "analytics/attribution/receipt_parser.h"

#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <cctype>
#include <mutex>

#include "analytics/engine/measurement.h"
#include "analytics/foundation/aeu.h"
#include "analytics/foundation/monitor.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/file_system.h"
#include "platform/foundation/text.h"
#include "platform/security/digest.h"

namespace {

// Receipt attribute types and ASN.1 tags of the patterns.
constexpr int kTypeBundleIdentifier = 2;  // B
constexpr int kTypeOpaqueValue = 4;       // O
constexpr int kTypeHash = 5;              // H
constexpr int kTypeOriginalVersion = 19;  // V
constexpr int kTagUTF8String = 12;
constexpr int kTagIA5String = 22;
constexpr int kTagInteger = 2;

ZIVBytePattern AttributePattern(int type) {
  return {48, kZIVAnyByte, 2, 1, type, 2, 1, kZIVAnyByte, 4, kZIVAnyByte};
}

const ZIVBytePattern& InAppRecordPattern() {
  static const ZIVBytePattern pattern = {2, 1, 17, 2, 1, kZIVAnyByte, 4};
  return pattern;
}

ZIVBytePattern FieldPattern(int lowByte, int innerTag) {
  return {2, 2, 6, lowByte, 2, 1, kZIVAnyByte, 4, kZIVAnyByte, innerTag, kZIVAnyByte};
}

// The fields of an in-app purchase record, in the order they are tried.
enum class Field {
  kProductID,
  kTransactionID,
  kOriginalTransactionID,
  kExpiration,
  kPurchaseDate,
  kOriginalPurchaseDate,
  kCancellation,
  kWebOrderLineItemID,
  kPurchaseType,
  kFreeTrial,
  kIntroductoryOffer,
  kCount
};

struct FieldSpec {
  Field field;
  ZIVBytePattern pattern;
};

const std::vector<FieldSpec>& FieldSpecs() {
  static const std::vector<FieldSpec> specs = {
      {Field::kProductID, FieldPattern(166, kTagUTF8String)},              // 1702
      {Field::kTransactionID, FieldPattern(167, kTagUTF8String)},          // 1703
      {Field::kOriginalTransactionID, FieldPattern(169, kTagUTF8String)},  // 1705
      {Field::kExpiration, FieldPattern(172, kTagIA5String)},              // 1708
      {Field::kPurchaseDate, FieldPattern(168, kTagIA5String)},            // 1704
      {Field::kOriginalPurchaseDate, FieldPattern(170, kTagIA5String)},    // 1706
      {Field::kCancellation, FieldPattern(176, kTagIA5String)},            // 1712
      {Field::kWebOrderLineItemID, FieldPattern(175, kTagInteger)},        // 1711
      {Field::kPurchaseType, FieldPattern(171, kTagInteger)},              // 1707
      {Field::kFreeTrial, FieldPattern(177, kTagInteger)},                 // 1713
      {Field::kIntroductoryOffer, FieldPattern(183, kTagInteger)},         // 1719
  };
  return specs;
}

std::shared_ptr<ZIVMonitor> MonitorOr(const std::shared_ptr<ZIVMonitor>& monitor) {
  return monitor ? monitor : ZIVMeasurement::monitor();
}

std::optional<std::string> UTF8Text(const fnd::Data& bytes) {
  std::string text(bytes.begin(), bytes.end());
  if (!fnd::IsValidUTF8(text)) return std::nullopt;
  return text;
}

std::optional<std::string> ASCIIText(const fnd::Data& bytes) {
  for (uint8_t byte : bytes) {
    if (byte > 127) return std::nullopt;
  }
  return std::string(bytes.begin(), bytes.end());
}

ZIVReceiptEnvironment Complete(ZIVReceiptEnvironment environment) {
  if (!environment.isSimulator) environment.isSimulator = [] { return APMAEU::isNOD(); };
  if (!environment.isSandboxReceipt) environment.isSandboxReceipt = [] { return APMAEU::isASRS(); };
  if (!environment.receiptData) {
    environment.receiptData = []() -> std::optional<fnd::Data> {
      std::optional<std::string> path = APMAEU::appStoreRURL();
      if (!path) return std::nullopt;
      return fnd::ReadFileData(*path);
    };
  }
  if (!environment.deviceIdentifier) {
    environment.deviceIdentifier = [] { return ZIVHardwareAddressOfInterface("en0"); };
  }
  if (!environment.bundleIdentifier) {
    environment.bundleIdentifier = [] {
      auto value = fnd::Bundle::mainBundle().objectForInfoDictionaryKey("CFBundleIdentifier");
      return value && value->isString() ? value->asString() : std::string();
    };
  }
  if (!environment.shortVersionString) {
    environment.shortVersionString = []() -> std::optional<std::string> {
      auto value =
          fnd::Bundle::mainBundle().objectForInfoDictionaryKey("CFBundleShortVersionString");
      if (value && value->isString()) return value->asString();
      return std::nullopt;
    };
  }
  environment.monitor = MonitorOr(environment.monitor);
  return environment;
}

}  // namespace

std::optional<fnd::Data> ZIVMatchByteSequence(const ZIVBytePattern& pattern, const fnd::Data& data,
                                              int32_t offset) {
  if (offset < 0 || data.empty() || pattern.empty()) return std::nullopt;
  const size_t start = static_cast<size_t>(offset);
  if (start + pattern.size() >= data.size()) return std::nullopt;
  std::optional<uint8_t> lastCaptured;
  for (size_t i = 0; i < pattern.size(); ++i) {
    const uint8_t byte = data[start + i];
    if (pattern[i] == kZIVAnyByte) {
      lastCaptured = byte;
    } else if (pattern[i] != byte) {
      return std::nullopt;
    }
  }
  if (!lastCaptured || *lastCaptured == 0) return std::nullopt;
  const size_t length = *lastCaptured;
  const size_t valueStart = start + pattern.size();
  if (data.size() < valueStart + length) return std::nullopt;
  if (length >= 128) ZIVMeasurement::monitor()->logWithLevel(5, 39027, "Data is longer than 127");
  return fnd::Data(data.begin() + static_cast<std::ptrdiff_t>(valueStart),
                   data.begin() + static_cast<std::ptrdiff_t>(valueStart + length));
}

std::optional<fnd::Data> ZIVMatchIWithData(const fnd::Data& data, int32_t offset) {
  return ZIVMatchByteSequence(InAppRecordPattern(), data, offset);
}

fnd::Data ZIVReceiptPayload(const fnd::Data& receipt) {
  if (receipt.empty() || receipt.size() > static_cast<size_t>(INT32_MAX)) return receipt;
  const unsigned char* cursor = receipt.data();
  PKCS7* container = d2i_PKCS7(nullptr, &cursor, static_cast<long>(receipt.size()));
  if (container == nullptr) return receipt;
  fnd::Data payload = receipt;
  if (PKCS7_type_is_signed(container) && container->d.sign != nullptr &&
      container->d.sign->contents != nullptr && PKCS7_type_is_data(container->d.sign->contents) &&
      container->d.sign->contents->d.data != nullptr) {
    const ASN1_OCTET_STRING* content = container->d.sign->contents->d.data;
    const unsigned char* bytes = ASN1_STRING_get0_data(content);
    const int length = ASN1_STRING_length(content);
    if (bytes != nullptr && length > 0) payload.assign(bytes, bytes + length);
  }
  PKCS7_free(container);
  return payload;
}

std::optional<std::vector<ZIVInAppPurchaseItemPtr>> ZIVParsePurchaseItems(
    const fnd::Data& receipt) {
  if (receipt.empty()) return std::nullopt;
  const fnd::Data data = ZIVReceiptPayload(receipt);
  // Offsets are 32-bit in the matcher; a larger payload is scanned up to that bound.
  const size_t limit = std::min(data.size(), static_cast<size_t>(INT32_MAX));
  std::vector<ZIVInAppPurchaseItemPtr> items;
  ZIVInAppPurchaseItemPtr current;
  bool found[static_cast<size_t>(Field::kCount)] = {};
  auto monitor = ZIVMeasurement::monitor();

  for (size_t offset = 0; offset < limit; ++offset) {
    const int32_t at = static_cast<int32_t>(offset);
    if (auto header = ZIVMatchIWithData(data, at)) {
      if (current && current->productID) items.push_back(current);
      current = std::make_shared<ZIVInAppPurchaseItem>();
      std::fill(std::begin(found), std::end(found), false);
      offset += header->size();
      continue;
    }
    if (!current) continue;
    for (const FieldSpec& spec : FieldSpecs()) {
      const size_t index = static_cast<size_t>(spec.field);
      if (found[index]) continue;
      std::optional<fnd::Data> value = ZIVMatchByteSequence(spec.pattern, data, at);
      if (!value) continue;
      found[index] = true;
      bool advance = true;
      switch (spec.field) {
        case Field::kProductID:
          current->productID = UTF8Text(*value);
          break;
        case Field::kTransactionID:
          current->transactionID = UTF8Text(*value);
          break;
        case Field::kOriginalTransactionID:
          current->originalTransactionID = UTF8Text(*value);
          break;
        case Field::kPurchaseDate:
          current->purchaseDateIA5String = ASCIIText(*value);
          break;
        case Field::kOriginalPurchaseDate:
          current->originalPurchaseDateIA5String = ASCIIText(*value);
          break;
        case Field::kExpiration:
          current->subscriptionExpirationDateIA5String = ASCIIText(*value);
          break;
        case Field::kCancellation:
          current->cancellationDateIA5String = ASCIIText(*value);
          break;
        case Field::kWebOrderLineItemID: {
          uint64_t number = 0;
          const size_t count = std::min<size_t>(value->size(), 8);
          for (size_t i = value->size() - count; i < value->size(); ++i) {
            number = (number << 8) | (*value)[i];
          }
          if (number != 0) current->webOrderLineItemID = number;
          break;
        }
        case Field::kPurchaseType:
          if (value->size() == 1) {
            current->purchaseType = (*value)[0];
          } else {
            advance = false;
          }
          break;
        case Field::kFreeTrial:
        case Field::kIntroductoryOffer: {
          if (value->size() != 1) {
            advance = false;
            break;
          }
          const uint8_t flag = (*value)[0];
          const bool isTrial = spec.field == Field::kFreeTrial;
          if (flag > 1) {
            monitor->logWithLevel(
                5, isTrial ? 39025 : 39028,
                isTrial ? "Subdata FT unexpected value" : "Subdata IO unexpected value",
                fnd::Value::Int64(flag));
          }
          (isTrial ? current->freeTrial : current->introductoryOffer) = flag == 1;
          break;
        }
        case Field::kCount:
          break;
      }
      if (advance) {
        offset += value->size();
        break;
      }
    }
  }
  if (current && (items.empty() || items.back() != current)) items.push_back(current);
  return items;
}

bool ZIVParseDataWithEnvironment(const ZIVReceiptEnvironment& given) {
  const ZIVReceiptEnvironment environment = Complete(given);
  ZIVMonitor& monitor = *environment.monitor;
  if (environment.isSimulator()) {
    monitor.logWithLevel(5, 39000, "Parsed data is on simulator");
    return false;
  }
  if (environment.isSandboxReceipt()) {
    monitor.logWithLevel(5, 39001, "Parsed data is sandbox");
    return false;
  }
  std::optional<fnd::Data> receipt = environment.receiptData();
  if (!receipt) {
    monitor.logWithLevel(5, 39009, "Parsed data is nil");
    return false;
  }
  if (receipt->empty()) {
    monitor.logWithLevel(5, 39011, "Parsed data is empty");
    return false;
  }
  const fnd::Data deviceID = environment.deviceIdentifier();
  if (deviceID.empty()) {
    monitor.logWithLevel(5, 39013, "Device ID data is nil");
    return false;
  }
  const fnd::Data data = ZIVReceiptPayload(*receipt);
  const size_t limit = std::min(data.size(), static_cast<size_t>(INT32_MAX));
  std::optional<fnd::Data> opaque, bundle, hash, inApp;
  const ZIVBytePattern opaquePattern = AttributePattern(kTypeOpaqueValue);
  const ZIVBytePattern bundlePattern = AttributePattern(kTypeBundleIdentifier);
  const ZIVBytePattern hashPattern = AttributePattern(kTypeHash);
  for (size_t offset = 0; offset < limit && !(opaque && bundle && hash && inApp); ++offset) {
    const int32_t at = static_cast<int32_t>(offset);
    if (!opaque) opaque = ZIVMatchByteSequence(opaquePattern, data, at);
    if (!bundle) {
      bundle = ZIVMatchByteSequence(bundlePattern, data, at);
      if (bundle) {
        const fnd::Data& b = *bundle;
        if (b.size() <= 2) {
          monitor.logWithLevel(5, 39019, "B data is too short. Length",
                               fnd::Value::Int64(static_cast<int64_t>(b.size())));
        } else if (b[0] != kTagUTF8String) {
          monitor.logWithLevel(5, 39020, "B data byte 0 is wrong. Value", fnd::Value::Int64(b[0]));
        } else if (b[1] != b.size() - 2) {
          monitor.logWithLevel(5, 39021, "B data byte 1 is wrong. Value, expected value",
                               fnd::Value::Int64(b[1]),
                               fnd::Value::Int64(static_cast<int64_t>(b.size() - 2)));
        } else if (std::string(b.begin() + 2, b.end()) != environment.bundleIdentifier()) {
          monitor.logWithLevel(5, 39022, "B data does not match actual string");
        }
      }
    }
    if (!hash) hash = ZIVMatchByteSequence(hashPattern, data, at);
    if (!inApp) inApp = ZIVMatchIWithData(data, at);
  }
  if (!inApp) {
    monitor.logWithLevel(5, 39014, "I data is missing");
    return false;
  }
  if (!opaque) {
    monitor.logWithLevel(5, 39015, "O data is missing");
    return false;
  }
  if (!bundle) {
    monitor.logWithLevel(5, 39016, "B data is missing");
    return false;
  }
  if (!hash) {
    monitor.logWithLevel(5, 39017, "H data is missing");
    return false;
  }
  fnd::Data input = deviceID;
  input.insert(input.end(), opaque->begin(), opaque->end());
  input.insert(input.end(), bundle->begin(), bundle->end());
  if (security::SHA1(input) == *hash || security::SHA256(input) == *hash) return true;
  monitor.logWithLevel(5, 39018, "H data does not match");
  return false;
}

bool ZIVParseVersionWithEnvironment(const ZIVReceiptEnvironment& given) {
  const ZIVReceiptEnvironment environment = Complete(given);
  ZIVMonitor& monitor = *environment.monitor;
  if (environment.isSimulator() || environment.isSandboxReceipt()) return true;
  std::optional<fnd::Data> receipt = environment.receiptData();
  if (!receipt) {
    monitor.logWithLevel(5, 39002, "Version data is nil");
    return false;
  }
  if (receipt->empty()) {
    monitor.logWithLevel(5, 39004, "Version data is empty");
    return false;
  }
  const fnd::Data data = ZIVReceiptPayload(*receipt);
  const size_t limit = std::min(data.size(), static_cast<size_t>(INT32_MAX));
  const ZIVBytePattern pattern = AttributePattern(kTypeOriginalVersion);
  std::optional<fnd::Data> version;
  for (size_t offset = 0; offset < limit && !version; ++offset) {
    version = ZIVMatchByteSequence(pattern, data, static_cast<int32_t>(offset));
  }
  if (!version || version->size() <= 2) {
    monitor.logWithLevel(5, 39006, "V data is too short. Length",
                         fnd::Value::Int64(version ? static_cast<int64_t>(version->size()) : 0));
    return false;
  }
  const fnd::Data& v = *version;
  if (v[0] != kTagUTF8String) {
    monitor.logWithLevel(5, 39007, "V data byte 0 is wrong. Value", fnd::Value::Int64(v[0]));
  }
  if (v[1] != v.size() - 2) {
    monitor.logWithLevel(5, 39008, "V data byte 1 is wrong. Value, expected",
                         fnd::Value::Int64(v[1]),
                         fnd::Value::Int64(static_cast<int64_t>(v.size() - 2)));
  }
  std::optional<std::string> running = environment.shortVersionString();
  return running && *running == std::string(v.begin() + 2, v.end());
}

bool ZIVParseData() {
  static const bool answer = ZIVParseDataWithEnvironment({});
  return answer;
}

bool ZIVParseVersion() {
  static const bool answer = ZIVParseVersionWithEnvironment({});
  return answer;
}

bool ZIVIsValidTransactionDeviceVerification(const fnd::Data& deviceVerification,
                                             const std::optional<std::string>& deviceUUID,
                                             const std::string& nonce) {
  if (!deviceUUID) return false;
  const std::string text = fnd::ToLower(nonce) + fnd::ToLower(*deviceUUID);
  return security::SHA384(std::string_view(text)) == deviceVerification;
}

fnd::Data ZIVHardwareAddressOfInterface(const std::string& interfaceName) {
  if (interfaceName.empty() || interfaceName.find('/') != std::string::npos) return {};
  std::optional<fnd::Data> text = fnd::ReadFileData("/sys/class/net/" + interfaceName + "/address");
  if (!text) return {};
  fnd::Data address;
  int nibbles = 0;
  uint8_t byte = 0;
  for (uint8_t c : *text) {
    if (std::isxdigit(c)) {
      byte = static_cast<uint8_t>((byte << 4) |
                                  (std::isdigit(c) ? c - '0' : std::tolower(c) - 'a' + 10));
      if (++nibbles == 2) {
        address.push_back(byte);
        nibbles = 0;
        byte = 0;
      }
    }
  }
  bool allZero = std::all_of(address.begin(), address.end(), [](uint8_t b) { return b == 0; });
  return allZero ? fnd::Data() : address;
}
