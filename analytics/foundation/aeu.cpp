#include "analytics/foundation/aeu.h"

#include "platform/foundation/bundle.h"
#include "platform/foundation/file_system.h"
#include "platform/foundation/process_info.h"
#include "platform/system/system.h"

namespace {

constexpr const char* kReceiptCheckKey = "ZudiroruAppStoreReceiptURLCheckEnabled";

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

std::optional<std::string> APMAEU::appStoreRURL() {
  fnd::Bundle& bundle = fnd::Bundle::mainBundle();
  std::optional<fnd::Value> check = bundle.objectForInfoDictionaryKey(kReceiptCheckKey);
  if (check && (check->isNumber() || check->isBool()) && !check->asBool()) return std::nullopt;
  const std::string folder = fnd::JoinPath(bundle.bundlePath(), "_MASReceipt");
  const std::string receipt = fnd::JoinPath(folder, "receipt");
  const std::string sandboxReceipt = fnd::JoinPath(folder, "sandboxReceipt");
  if (!fnd::FileExists(receipt) && fnd::FileExists(sandboxReceipt)) return sandboxReceipt;
  return receipt;
}

bool APMAEU::isASRS() {
  std::optional<std::string> url = appStoreRURL();
  return url && fnd::BaseName(*url) == "sandboxReceipt";
}

bool APMAEU::isNOD() { return false; }

bool APMAEU::isFASWith(bool isNOD, bool isASRS, bool hasSCInfo, bool executableEncrypted,
                       bool hasMobileProvision) {
  if (isNOD || isASRS) return false;
  if (hasSCInfo) return true;
  if (!executableEncrypted) return false;
  return !hasMobileProvision;
}

bool APMAEU::isFAS() {
  // An ELF executable has no encryption load command: never encrypted.
  static const bool executableEncrypted = false;
  static const bool result = [] {
    const fnd::Bundle& bundle = fnd::Bundle::mainBundle();
    const bool hasSCInfo = fnd::FileExists(fnd::JoinPath(bundle.bundlePath(), "SC_Info"));
    const bool hasMobileProvision =
        bundle.pathForResource("embedded", "mobileprovision").has_value();
    return isFASWith(isNOD(), isASRS(), hasSCInfo, executableEncrypted, hasMobileProvision);
  }();
  return result;
}

bool APMAEU::isAEX() { return EndsWith(fnd::Bundle::mainBundle().bundlePath(), ".appex"); }

std::string APMAEU::deviceModel() {
  const sys::System& system = sys::System::current();
  if (std::optional<std::string> product = system.productName()) return *product;
  if (std::optional<sys::KernelInfo> kernel = system.kernel()) return kernel->machine;
  return "";
}

std::string APMAEU::systemVersion() {
  fnd::OperatingSystemVersion v = fnd::ProcessInfo::processInfo().operatingSystemVersion();
  return std::to_string(v.majorVersion) + "." + std::to_string(v.minorVersion) + "." +
         std::to_string(v.patchVersion);
}
