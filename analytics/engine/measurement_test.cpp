#include "analytics/engine/measurement.h"

#include <gtest/gtest.h>

#include "analytics/foundation/monitor.h"
#include "platform/foundation/test_home.h"

namespace {

TEST(MeasurementTest, SharedMonitorIsMadeOnceWithTheLibraryVersion) {
  fnd::ScopedTestHome home;
  const std::shared_ptr<ZIVMonitor>& monitor = ZIVMeasurement::monitor();
  ASSERT_NE(monitor, nullptr);
  EXPECT_EQ(monitor.get(), ZIVMeasurement::monitor().get());
  EXPECT_EQ(ZIVMeasurement::libraryVersion(), 120500);
  EXPECT_EQ(monitor->libraryVersion(), 120500);
  EXPECT_EQ(monitor->logTag(), "<DuvUdiredururo>");
  monitor->flush();
}

}  // namespace
