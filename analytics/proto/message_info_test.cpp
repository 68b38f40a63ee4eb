#include "analytics/proto/message_info.h"

#include <gtest/gtest.h>

#include <utility>

namespace {

// The slot array keeps each field through growth past the inline slots, shrinking and moves.
TEST(NanoSlotsTest, KeepsFieldsAcrossGrowthShrinkAndMove) {
  struct Case {
    const char* name;
    size_t first;   // Slots at the start, each holding its index as a cell.
    size_t second;  // Size after a resize.
  };
  const Case cases[] = {
      {"inline to inline", 3, 8}, {"inline to heap", 8, 9},         {"heap to larger heap", 20, 56},
      {"heap shrinks", 56, 4},    {"inline shrinks to none", 5, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NanoSlots slots;
    slots.resize(c.first);
    for (size_t i = 0; i < c.first; ++i) slots[i] = std::make_unique<NanoField>(uint64_t{i});
    slots.resize(c.second);
    ASSERT_EQ(slots.size(), c.second);
    for (size_t i = 0; i < c.second; ++i) {
      if (i < c.first) {
        ASSERT_NE(slots[i], nullptr);
        EXPECT_EQ(*slots[i]->cell(), i);
      } else {
        EXPECT_EQ(slots[i], nullptr);
      }
    }
    NanoSlots moved(std::move(slots));
    EXPECT_EQ(slots.size(), 0u);
    ASSERT_EQ(moved.size(), c.second);
    size_t present = 0;
    for (const auto& slot : moved) present += slot ? 1 : 0;
    EXPECT_EQ(present, std::min(c.first, c.second));
    NanoSlots assigned;
    assigned.resize(2);
    assigned[1] = std::make_unique<NanoField>(uint64_t{99});
    assigned = std::move(moved);
    EXPECT_EQ(assigned.size(), c.second);
    assigned.clear();
    EXPECT_TRUE(assigned.empty());
  }
}

}  // namespace
