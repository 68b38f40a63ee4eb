#include "platform/system/system.h"

#include <gtest/gtest.h>

#include <cctype>
#include <set>

namespace {

TEST(SystemTest, RealMachineAnswersWhatUnameSays) {
  std::optional<sys::KernelInfo> kernel = sys::System::real().kernel();
  ASSERT_TRUE(kernel.has_value());
  EXPECT_EQ(kernel->sysname, "Linux");
  EXPECT_FALSE(kernel->release.empty());
  EXPECT_FALSE(kernel->machine.empty());
  // A product name, when the machine has one, carries no surrounding white space.
  if (std::optional<std::string> product = sys::System::real().productName()) {
    ASSERT_FALSE(product->empty());
    EXPECT_FALSE(isspace(static_cast<unsigned char>(product->front())));
    EXPECT_FALSE(isspace(static_cast<unsigned char>(product->back())));
  }
}

TEST(SystemTest, RealInterfacesAreListedOnceEach) {
  std::set<std::string> names;
  for (const sys::NetworkInterface& interface : sys::System::real().networkInterfaces()) {
    EXPECT_TRUE(names.insert(interface.name).second) << interface.name;
    EXPECT_LE(interface.hardwareAddress.size(), 8u);
  }
}

TEST(SystemTest, ScopedSystemsNestAndRestore) {
  sys::FakeSystem outer;
  outer.product = "Outer Model";
  sys::FakeSystem inner;
  inner.kernelInfo = sys::KernelInfo{"Linux", "host", "5.10.0", "#1", "aarch64"};
  EXPECT_EQ(&sys::System::current(), &sys::System::real());
  {
    sys::ScopedSystem installOuter(outer);
    EXPECT_EQ(sys::System::current().productName(), "Outer Model");
    EXPECT_EQ(sys::System::current().kernel(), std::nullopt);
    {
      sys::ScopedSystem installInner(inner);
      EXPECT_EQ(sys::System::current().kernel()->machine, "aarch64");
      EXPECT_EQ(sys::System::current().productName(), std::nullopt);
    }
    EXPECT_EQ(&sys::System::current(), &outer);
  }
  EXPECT_EQ(&sys::System::current(), &sys::System::real());
}

}  // namespace
