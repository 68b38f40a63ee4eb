// sys::System: the facts of the operating system that the program reads (the kernel's names and
// version, the machine's model, the network interfaces' hardware addresses), behind one
// replaceable interface, so that a test decides what the machine looks like.
//
// System::current() is the process-wide source, the real machine unless a test has installed
// another with ScopedSystem. Code that reads a fact asks current() at the time it reads; a value
// it caches stays what it was.
//
// Thread safety: every method may be called from any thread. An installed System must stay alive
// (and answer from any thread) until its ScopedSystem ends.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sys {

// What uname(2) answers.
struct KernelInfo {
  std::string sysname;   // "Linux"
  std::string nodename;  // The host's network name.
  std::string release;   // "6.1.0-18-amd64"
  std::string version;   // "#1 SMP PREEMPT_DYNAMIC Debian 6.1.76-1 (2024-02-01)"
  std::string machine;   // "x86_64"
  bool operator==(const KernelInfo&) const = default;
};

// One network interface that has a link-layer address.
struct NetworkInterface {
  std::string name;                      // "eth0", "lo"
  std::vector<uint8_t> hardwareAddress;  // Six bytes for Ethernet; empty when it has none.
  bool loopback = false;
  bool operator==(const NetworkInterface&) const = default;
};

class System {
 public:
  System() = default;
  System(const System&) = delete;
  System& operator=(const System&) = delete;
  virtual ~System();

  // The kernel's names and version; nullopt when uname fails.
  virtual std::optional<KernelInfo> kernel() const = 0;

  // The machine's product name as its firmware reports it (DMI), without surrounding white
  // space; nullopt when there is none or it cannot be read (containers, most virtual machines).
  virtual std::optional<std::string> productName() const = 0;

  // Every interface with a link-layer address, in the order the kernel lists them, each once.
  virtual std::vector<NetworkInterface> networkInterfaces() const = 0;

  // The real machine, alive for the whole process.
  static System& real();

  // The System installed by the innermost live ScopedSystem, else real().
  static System& current();
};

// A System whose facts are plain fields, for tests. What is left unset answers nothing.
class FakeSystem : public System {
 public:
  std::optional<KernelInfo> kernel() const override { return kernelInfo; }
  std::optional<std::string> productName() const override { return product; }
  std::vector<NetworkInterface> networkInterfaces() const override { return interfaces; }

  // Set before installing; not guarded against concurrent change.
  std::optional<KernelInfo> kernelInfo;
  std::optional<std::string> product;
  std::vector<NetworkInterface> interfaces;
};

// Installs a System as System::current() for its lifetime and puts the previous one back when it
// ends. Guards must end in reverse order of creation (as scopes do). For tests.
class ScopedSystem {
 public:
  explicit ScopedSystem(System& system);
  ~ScopedSystem();
  ScopedSystem(const ScopedSystem&) = delete;
  ScopedSystem& operator=(const ScopedSystem&) = delete;

 private:
  System* previous_;
};

}  // namespace sys
