// Feeds arbitrary bytes to the store-receipt reader as a receipt: the PKCS#7 container, the
// attribute scan, the purchase items, the device and version checks and the pattern matcher
// must answer without a crash, a leak or undefined behaviour, whatever the bytes.
#include <cstddef>
#include <cstdint>

#include "analytics/attribution/receipt_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  const fnd::Data data(bytes, bytes + size);
  (void)ZIVParsePurchaseItems(data);

  ZIVReceiptEnvironment environment;
  environment.isSimulator = [] { return false; };
  environment.isSandboxReceipt = [] { return false; };
  environment.receiptData = [&data]() -> std::optional<fnd::Data> { return data; };
  environment.deviceIdentifier = [] { return fnd::Data{0x00, 0x11, 0x22, 0x33, 0x44, 0x55}; };
  environment.bundleIdentifier = [] { return std::string("com.example.quellmark"); };
  environment.shortVersionString = []() -> std::optional<std::string> { return "1.0"; };
  (void)ZIVParseDataWithEnvironment(environment);
  (void)ZIVParseVersionWithEnvironment(environment);

  // A pattern and an offset taken from the input itself.
  if (size >= 3) {
    ZIVBytePattern pattern;
    for (size_t i = 0; i < bytes[0] % 12 && 3 + i < size; ++i) pattern.push_back(bytes[3 + i]);
    const int32_t offset = static_cast<int32_t>((bytes[1] << 8) | bytes[2]) - 16;
    (void)ZIVMatchByteSequence(pattern, data, offset);
  }
  return 0;
}
