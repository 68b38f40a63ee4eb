#include "platform/system/system.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netpacket/packet.h>
#include <sys/socket.h>
#include <sys/utsname.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iterator>

namespace sys {

namespace {

// Where the kernel publishes the firmware's product name.
constexpr const char* kProductNamePath = "/sys/devices/virtual/dmi/id/product_name";

std::string TrimSpace(const std::string& text) {
  const char* space = " \t\r\n\v\f";
  const size_t first = text.find_first_not_of(space);
  if (first == std::string::npos) return "";
  const size_t last = text.find_last_not_of(space);
  return text.substr(first, last - first + 1);
}

class RealSystem : public System {
 public:
  std::optional<KernelInfo> kernel() const override {
    utsname u;
    if (uname(&u) != 0) return std::nullopt;
    return KernelInfo{u.sysname, u.nodename, u.release, u.version, u.machine};
  }

  std::optional<std::string> productName() const override {
    std::ifstream in(kProductNamePath, std::ios::binary);
    if (!in) return std::nullopt;
    // The file is one short line; read no more than a page of it.
    std::string text(4096, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    std::string name = TrimSpace(text);
    if (name.empty()) return std::nullopt;
    return name;
  }

  std::vector<NetworkInterface> networkInterfaces() const override {
    std::vector<NetworkInterface> found;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return found;
    for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
      if (!entry->ifa_addr || !entry->ifa_name || entry->ifa_addr->sa_family != AF_PACKET) {
        continue;
      }
      const auto* link = reinterpret_cast<const sockaddr_ll*>(entry->ifa_addr);
      const size_t length = std::min<size_t>(link->sll_halen, sizeof link->sll_addr);
      NetworkInterface interface;
      interface.name = entry->ifa_name;
      interface.hardwareAddress.assign(link->sll_addr, link->sll_addr + length);
      interface.loopback = (entry->ifa_flags & IFF_LOOPBACK) != 0;
      const bool seen = std::any_of(found.begin(), found.end(), [&](const NetworkInterface& i) {
        return i.name == interface.name;
      });
      if (!seen) found.push_back(std::move(interface));
    }
    freeifaddrs(list);
    return found;
  }
};

std::atomic<System*>& Installed() {
  static std::atomic<System*> installed{nullptr};
  return installed;
}

}  // namespace

System::~System() = default;

System& System::real() {
  static RealSystem* system = new RealSystem();  // Never destroyed: read until the process ends.
  return *system;
}

System& System::current() {
  System* installed = Installed().load(std::memory_order_acquire);
  return installed ? *installed : real();
}

ScopedSystem::ScopedSystem(System& system)
    : previous_(Installed().exchange(&system, std::memory_order_acq_rel)) {}

ScopedSystem::~ScopedSystem() { Installed().store(previous_, std::memory_order_release); }

}  // namespace sys
