#include "analytics/proto/message_base.h"

#include <gtest/gtest.h>

#include "analytics/proto/messages.h"
#include "analytics/proto/test_support.h"

namespace {

TEST(MessageBaseTest, BufferConstructor) {
  struct Case {
    const char* name;
    std::optional<fnd::Data> bytes;  // nullopt: no data at all.
    bool decodes;
  };
  const Case cases[] = {
      {"no data", std::nullopt, true},
      {"zero bytes", fnd::Data(), true},
      {"a name", Bytes({0x12, 0x01, 'e'}), true},
      {"garbage", Bytes({0xff, 0xff, 0xff}), false},
      {"truncated string", Bytes({0x12, 0x09, 'e'}), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NanoLogCapture log;
    auto event = APMPBEvent::initWithBuffer(c.bytes ? &*c.bytes : nullptr);
    if (!c.decodes) {
      EXPECT_EQ(event, nullptr);
      EXPECT_FALSE(log.lines().empty());
      continue;
    }
    ASSERT_NE(event, nullptr);
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(event->protoBuffer(), c.bytes.value_or(fnd::Data()));
  }
}

TEST(MessageBaseTest, EmptyMessageEncodesToEmptyData) {
  auto batch = APMPBMeasurementBatch::initWithMessageInfo(nullptr);
  ASSERT_NE(batch, nullptr);
  std::optional<fnd::Data> bytes = batch->protoBuffer();
  ASSERT_TRUE(bytes.has_value());
  EXPECT_TRUE(bytes->empty());
}

TEST(MessageBaseTest, RecordConstructorCopiesARecordOfItsOwnType) {
  NanoMessageInfo record;
  ASSERT_TRUE(apmpb_init_event(&record));
  nano_set_uint64(&record.slots[APMPBEvent::kTimestampMillis], 1000);

  auto event = APMPBEvent::initWithMessageInfo(&record);
  ASSERT_NE(event, nullptr);
  EXPECT_NE(event->messageInfo(), &record);
  EXPECT_EQ(NANOGetInt64(event.get(), APMPBEvent::kTimestampMillis), 1000);

  // Changing the wrapper leaves the record as it was.
  NANOSetInt64(event.get(), APMPBEvent::kTimestampMillis, 2000);
  EXPECT_EQ(*record.field(APMPBEvent::kTimestampMillis)->cell(), 1000u);

  // A record of another type, or one never initialised, gives nothing.
  EXPECT_EQ(APMPBEventParam::initWithMessageInfo(&record), nullptr);
  NanoMessageInfo blank;
  EXPECT_EQ(APMPBEvent::initWithMessageInfo(&blank), nullptr);
}

TEST(MessageBaseTest, ProtocolMembers) {
  auto event = APMPBEvent::initWithMessageInfo(nullptr);
  EXPECT_STREQ(event->messageID(), "Event");
  EXPECT_STREQ(APMPBEventMessageId, "Event");
  EXPECT_EQ(event->initMessageInfoFn(), &apmpb_init_event);
  EXPECT_EQ(event->deallocMessageFieldFn(), &apmpb_free_event_field);
  EXPECT_EQ(event->copyMessageInfoFn(), &apmpb_copy_event);
  EXPECT_EQ(event->messageInfo()->descriptor, &apmpb_event_descriptor);
  EXPECT_EQ(event->typeName(), "APMPBEvent");
  EXPECT_STREQ(APMPBEvent::messageClass().name, "APMPBEvent");
}

TEST(MessageBaseTest, MessagesInValuesCompareByTheirBytes) {
  auto a = APMPBFlag::initWithMessageInfo(nullptr);
  auto b = APMPBFlag::initWithMessageInfo(nullptr);
  NANOSetString(a.get(), APMPBFlag::kName, "f");
  NANOSetString(b.get(), APMPBFlag::kName, "f");
  fnd::Value va{std::shared_ptr<fnd::Record>(a)};
  fnd::Value vb{std::shared_ptr<fnd::Record>(b)};
  EXPECT_EQ(va, vb);
  EXPECT_EQ(va.hash(), vb.hash());
  NANOSetInt64(b.get(), APMPBFlag::kIntValue, 1);
  EXPECT_NE(va, vb);
  // Same bytes, other message type: not equal.
  auto c = APMPBCustomProperty::initWithMessageInfo(nullptr);
  NANOSetString(c.get(), APMPBCustomProperty::kKey, "f");
  EXPECT_NE(va, fnd::Value(std::shared_ptr<fnd::Record>(c)));
}

}  // namespace
