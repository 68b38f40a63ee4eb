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

TEST(MessageBaseTest, ItemsKeptAsTheirElementsSpliceBackToTheSameBytes) {
  fnd::Array events;
  for (int i = 0; i < 3; ++i) {
    auto event = APMPBEvent::initWithMessageInfo(nullptr);
    NANOSetString(event.get(), APMPBEvent::kName, fnd::Value(i == 1 ? "_f" : "e"));
    auto param = APMPBEventParam::initWithMessageInfo(nullptr);
    NANOSetString(param.get(), APMPBEventParam::kName, fnd::Value("p"));
    NANOSetInt64(param.get(), APMPBEventParam::kIntValue, -i);
    fnd::Array params{Record(param)};
    NANOSetArray(event.get(), APMPBEvent::kParams, &params);
    events.push_back(Record(event));
  }
  struct Case {
    const char* name;
    bool before;  // Tag 1, the one field before the events.
    bool after;   // Fields after them.
    size_t eventCount;
  };
  const Case cases[] = {
      {"empty", false, false, 0},      {"events only", false, false, 3},
      {"before only", true, false, 2}, {"after only", false, true, 3},
      {"both sides", true, true, 1},   {"both sides, no events", true, true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto whole = APMPBMeasurementBundle::initWithMessageInfo(nullptr);
    if (c.before) NANOSetInt32(whole.get(), APMPBMeasurementBundle::kFormatVersion, 1);
    if (c.after) {
      NANOSetString(whole.get(), APMPBMeasurementBundle::kAppId, fnd::Value("1:1:macos:a"));
      NANOSetInt64(whole.get(), APMPBMeasurementBundle::kBundleFingerprint, -3);
    }
    fnd::Array set(events.begin(), events.begin() + c.eventCount);
    NANOSetArray(whole.get(), APMPBMeasurementBundle::kEvents, &set);
    const fnd::Data bytes = *whole->protoBuffer();

    NanoLogCapture log;
    fnd::Data elements = {1, 2, 3};
    auto kept = APMPBMeasurementBundle::initWithBufferKeepingElements(
        bytes, APMPBMeasurementBundle::kEvents, &elements);
    ASSERT_NE(kept, nullptr);
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(NANOGetArray(kept.get(), APMPBMeasurementBundle::kEvents, &APMPBEvent::messageClass())
                  ->size(),
              0u);
    // The elements are the events' own bytes: alone, they decode as a bundle of those events.
    auto onlyEvents = APMPBMeasurementBundle::initWithBuffer(elements);
    ASSERT_NE(onlyEvents, nullptr);
    EXPECT_EQ(
        NANOGetArray(onlyEvents.get(), APMPBMeasurementBundle::kEvents, &APMPBEvent::messageClass())
            ->size(),
        c.eventCount);
    EXPECT_EQ(Hex(*kept->protoBufferWithElements(APMPBMeasurementBundle::kEvents, elements)),
              Hex(bytes));
    // A changed field of the bundle's own lands where the full encode puts it.
    NANOSetInt64(kept.get(), APMPBMeasurementBundle::kUploadTimestampMillis, 1700000000001);
    NANOSetInt64(whole.get(), APMPBMeasurementBundle::kUploadTimestampMillis, 1700000000001);
    EXPECT_EQ(Hex(*kept->protoBufferWithElements(APMPBMeasurementBundle::kEvents, elements)),
              Hex(*whole->protoBuffer()));
  }
  // Bytes that do not encode back to themselves, or a field that is not a repeated message
  // field: nothing, and nothing logged.
  NanoLogCapture log;
  fnd::Data elements;
  const fnd::Data unordered = Bytes({0x72, 0x01, 'a', 0x12, 0x00});  // App id, then an event.
  EXPECT_NE(APMPBMeasurementBundle::initWithBuffer(unordered), nullptr);
  EXPECT_EQ(APMPBMeasurementBundle::initWithBufferKeepingElements(
                unordered, APMPBMeasurementBundle::kEvents, &elements),
            nullptr);
  EXPECT_EQ(APMPBMeasurementBundle::initWithBufferKeepingElements(
                Bytes({0x12, 0x02, 0x0a, 0x05}), APMPBMeasurementBundle::kEvents, &elements),
            nullptr);
  EXPECT_EQ(APMPBMeasurementBundle::initWithBufferKeepingElements(
                Bytes({0x72, 0x01, 'a'}), APMPBMeasurementBundle::kAppId, &elements),
            nullptr);
  EXPECT_TRUE(log.lines().empty());
}

TEST(MessageBaseTest, ElementsOfATagAreVisitedInOrder) {
  // Event: a param, the name, a timestamp, and another param.
  const fnd::Data bytes = Bytes({0x0a, 0x01, 'x', 0x12, 0x01, 'n', 0x18, 0x05, 0x0a, 0x00});
  std::vector<std::string> seen;
  auto collect = [&](const uint8_t* content, size_t size) {
    seen.emplace_back(reinterpret_cast<const char*>(content), size);
    return true;
  };
  EXPECT_TRUE(APMPForEachElement(bytes.data(), bytes.size(), 1, collect));
  EXPECT_EQ(seen, (std::vector<std::string>{"x", ""}));
  seen.clear();
  EXPECT_TRUE(APMPForEachElement(bytes.data(), bytes.size(), 3, collect));  // Not delimited.
  EXPECT_TRUE(seen.empty());
  EXPECT_FALSE(APMPForEachElement(bytes.data(), 5, 2, collect));  // Cut inside the name.
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
