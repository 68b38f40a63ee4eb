// Reading the application's store receipt: a PKCS#7 signed-data container whose content is a set
// of ASN.1 receipt attributes. The container is opened with libcrypto; its content is then
// scanned byte by byte for fixed attribute headers (ZIVMatchByteSequence), so a receipt that is
// not a container, or is damaged, is still scanned as it is and only yields less.
//
// What the receipt tells only labels analytics: whether it belongs to this device (ZIVParseData),
// whether the installed version is the one originally bought (ZIVParseVersion) and which in-app
// purchases it lists (ZIVParsePurchaseItems). Every failure is an answer (NO, or a shorter list)
// plus a level-5 monitor line with a code 39000 to 39028; nothing here throws or aborts, whatever
// the bytes.
//
// Thread safety: every function may be called from any thread. ZIVParseData() and
// ZIVParseVersion() compute their answer once per process.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analytics/attribution/in_app_purchase_item.h"
#include "platform/foundation/value.h"

class ZIVMonitor;

// What the device and version checks read from their surroundings; empty members take the
// process's own (in brackets).
struct ZIVReceiptEnvironment {
  // [APMAEU::isNOD()]
  std::function<bool()> isSimulator;
  // [APMAEU::isASRS()]
  std::function<bool()> isSandboxReceipt;
  // The receipt file's bytes, nullopt when there is none [the file at APMAEU::appStoreRURL()].
  std::function<std::optional<fnd::Data>()> receiptData;
  // The hardware address of the interface "en0" [/sys/class/net/en0/address], empty when unknown.
  std::function<fnd::Data()> deviceIdentifier;
  // [the main bundle's identifier and "CFBundleShortVersionString"]
  std::function<std::string()> bundleIdentifier;
  std::function<std::optional<std::string>()> shortVersionString;
  // [ZIVMeasurement::monitor()]
  std::shared_ptr<ZIVMonitor> monitor;
};

// Byte patterns: a value 0..255 must match; kZIVAnyByte matches any byte and captures it.
inline constexpr int kZIVAnyByte = 255;
using ZIVBytePattern = std::vector<int>;

// The value bytes that follow `pattern` at `offset`; their count is the last captured byte. Null
// for a negative offset, an empty pattern or data, a pattern that does not fit before the end,
// a mismatch, no capture, a count of 0 or a count running past the end. A count of 128 or more
// logs 39027 and is still taken.
std::optional<fnd::Data> ZIVMatchByteSequence(const ZIVBytePattern& pattern, const fnd::Data& data,
                                              int32_t offset);
// The bytes after an in-app purchase record header at `offset`, or null.
std::optional<fnd::Data> ZIVMatchIWithData(const fnd::Data& data, int32_t offset);

// The bytes to scan: the content of a PKCS#7 signed-data container, or the bytes themselves when
// they are not one (or its content is detached or empty).
fnd::Data ZIVReceiptPayload(const fnd::Data& receipt);

// The in-app purchases of a receipt, in receipt order; null for empty bytes. A record without a
// product ID is dropped when the next record starts; the last record is kept in any case.
std::optional<std::vector<ZIVInAppPurchaseItemPtr>> ZIVParsePurchaseItems(const fnd::Data& receipt);

// Whether the receipt belongs to this device: SHA-1 or SHA-256 of (device ID, opaque value,
// bundle identifier value) equals the receipt's hash. Once per process.
bool ZIVParseData();
// Whether the receipt's original application version equals the running version (YES on a
// simulator or with a sandbox receipt). Once per process.
bool ZIVParseVersion();
// The same computations, made afresh with the given surroundings.
bool ZIVParseDataWithEnvironment(const ZIVReceiptEnvironment& environment);
bool ZIVParseVersionWithEnvironment(const ZIVReceiptEnvironment& environment);

// YES exactly when `deviceVerification` equals SHA-384(lower-cased nonce + lower-cased UUID);
// NO without hashing for a missing UUID.
bool ZIVIsValidTransactionDeviceVerification(const fnd::Data& deviceVerification,
                                             const std::optional<std::string>& deviceUUID,
                                             const std::string& nonce);

// The hardware address of a network interface by name, from /sys/class/net; empty when unknown.
fnd::Data ZIVHardwareAddressOfInterface(const std::string& interfaceName);
