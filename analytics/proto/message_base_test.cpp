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

fnd::Value Record(const std::shared_ptr<NANOMessageBase>& message) {
  return fnd::Value(std::static_pointer_cast<fnd::Record>(message));
}

TEST(MessageBaseTest, ItemsSplicedIntoTheEncodingMatchSettingThem) {
  // Events of a few shapes, and their encodings.
  fnd::Array events;
  std::vector<fnd::Data> encoded;
  for (int i = 0; i < 3; ++i) {
    auto event = APMPBEvent::initWithMessageInfo(nullptr);
    NANOSetString(event.get(), APMPBEvent::kName, fnd::Value("e" + std::to_string(i)));
    NANOSetInt64(event.get(), APMPBEvent::kTimestampMillis, 1700000000000 + i);
    auto param = APMPBEventParam::initWithMessageInfo(nullptr);
    NANOSetString(param.get(), APMPBEventParam::kName, fnd::Value("p"));
    NANOSetInt64(param.get(), APMPBEventParam::kIntValue, -i);
    fnd::Array params{Record(param)};
    NANOSetArray(event.get(), APMPBEvent::kParams, &params);
    if (i == 2) NANOSetInt64(event.get(), APMPBEvent::kEventInt64_6, 7);
    events.push_back(Record(event));
    encoded.push_back(*event->protoBuffer());
  }
  auto attribute = APMPBUserAttribute::initWithMessageInfo(nullptr);
  NANOSetString(attribute.get(), APMPBUserAttribute::kName, fnd::Value("_lte"));
  NANOSetInt64(attribute.get(), APMPBUserAttribute::kIntValue, 5);
  fnd::Array attributes{Record(attribute)};

  struct Case {
    const char* name;
    bool formatVersion;  // Tag 1, the one field before the events.
    bool more;           // Fields after them: user properties, scalars, strings.
    size_t eventCount;
  };
  const Case cases[] = {
      {"empty bundle, no events", false, false, 0},
      {"empty bundle, events", false, false, 3},
      {"version only", true, false, 2},
      {"fields after only", false, true, 3},
      {"both sides", true, true, 1},
      {"both sides, no events", true, true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto bundle = APMPBMeasurementBundle::initWithMessageInfo(nullptr);
    if (c.formatVersion) NANOSetInt32(bundle.get(), APMPBMeasurementBundle::kFormatVersion, 1);
    if (c.more) {
      NANOSetArray(bundle.get(), APMPBMeasurementBundle::kUserAttributes, &attributes);
      NANOSetInt64(bundle.get(), APMPBMeasurementBundle::kEndTimestampMillis, 1700000000999);
      NANOSetString(bundle.get(), APMPBMeasurementBundle::kAppId, fnd::Value("1:1:macos:a"));
    }
    const std::vector<fnd::Data> items(encoded.begin(), encoded.begin() + c.eventCount);
    std::optional<fnd::Data> spliced =
        bundle->protoBufferWithItems(APMPBMeasurementBundle::kEvents, items);
    fnd::Array set(events.begin(), events.begin() + c.eventCount);
    NANOSetArray(bundle.get(), APMPBMeasurementBundle::kEvents, &set);
    ASSERT_TRUE(spliced.has_value());
    EXPECT_EQ(Hex(*spliced), Hex(*bundle->protoBuffer()));
    // The field holds items now: refused.
    if (c.eventCount > 0) {
      EXPECT_FALSE(bundle->protoBufferWithItems(APMPBMeasurementBundle::kEvents, items));
    }
    // A batch of such bundles, with a field after its bundles.
    auto batch = APMPBMeasurementBatch::initWithMessageInfo(nullptr);
    NANOSetString(batch.get(), APMPBMeasurementBatch::kUploadSubdomain, fnd::Value("sub"));
    std::optional<fnd::Data> splicedBatch = batch->protoBufferWithItems(
        APMPBMeasurementBatch::kBundles, {*bundle->protoBuffer(), *bundle->protoBuffer()});
    fnd::Array bundles{Record(bundle), Record(bundle)};
    NANOSetArray(batch.get(), APMPBMeasurementBatch::kBundles, &bundles);
    ASSERT_TRUE(splicedBatch.has_value());
    EXPECT_EQ(Hex(*splicedBatch), Hex(*batch->protoBuffer()));
  }
  // Only a repeated message field takes items.
  auto bundle = APMPBMeasurementBundle::initWithMessageInfo(nullptr);
  EXPECT_FALSE(bundle->protoBufferWithItems(APMPBMeasurementBundle::kAppId, encoded));
  EXPECT_FALSE(bundle->protoBufferWithItems(-1, encoded));
  EXPECT_FALSE(bundle->protoBufferWithItems(1000, encoded));
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
