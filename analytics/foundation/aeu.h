// APMAEU: what kind of build and machine the engine runs on, from the main bundle and the
// executable. Class methods only.
//
// The store receipt of a bundle is "_MASReceipt/receipt" inside the bundle folder, or
// "_MASReceipt/sandboxReceipt" when only that one is there. An ELF executable carries no
// encryption load command, so the executable is never encrypted here.
//
// Thread safety: every method may be called from any thread.
#pragma once

#include <optional>
#include <string>

class APMAEU {
 public:
  // The main bundle's store receipt path, or nullopt when the Info.plist holds
  // "ZudiroruAppStoreReceiptURLCheckEnabled" as a number that is false.
  static std::optional<std::string> appStoreRURL();
  // True when the receipt's last path component is "sandboxReceipt".
  static bool isASRS();
  // Whether the process runs in a simulator: never.
  static bool isNOD();
  // Whether this is a store-distributed build; decided once per process (see isFASWith()).
  static bool isFAS();
  // True when the main bundle's path ends in ".appex".
  static bool isAEX();
  // The machine's model (its firmware's product name, else the kernel's machine type, else "";
  // both from sys::System::current()) and the operating system's version ("major.minor.patch").
  static std::string deviceModel();
  static std::string systemVersion();

  // The store-build rule: false when isNOD or isASRS; true when the bundle holds "SC_Info";
  // false when the executable is not encrypted; else true exactly when the bundle has no
  // "embedded.mobileprovision".
  static bool isFASWith(bool isNOD, bool isASRS, bool hasSCInfo, bool executableEncrypted,
                        bool hasMobileProvision);
};
