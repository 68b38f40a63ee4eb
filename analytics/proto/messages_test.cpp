// The catalogue as a whole: every message round-trips, the tables agree with nanopb's, and golden
// bytes pin the wire format where it is easy to get wrong.
#include "analytics/proto/messages.h"

#include <gtest/gtest.h>
#include <pb_common.h>
#include <pb_decode.h>

#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "analytics/proto/generated/measurement_config.pb.h"
#include "analytics/proto/test_support.h"

namespace {

std::unique_ptr<NanoField> MakeItem(uint32_t kind, const ApmpbMessageDescriptor* sub, uint64_t v,
                                    int depth);

// Fills every field of an initialised record with values derived from `seed`: negative numbers,
// non-ASCII text, two items per repeated field, sub-messages down to `depth` levels.
void Fill(NanoMessageInfo* info, uint64_t seed, int depth) {
  const ApmpbMessageDescriptor& d = *info->descriptor;
  for (int32_t i = 0; i < d.field_count; ++i) {
    uint32_t kind = d.fields_type[i];
    uint64_t v = seed * 100 + static_cast<uint64_t>(i) + 1;
    std::unique_ptr<NanoField>& slot = info->slots[static_cast<size_t>(i)];
    if (kind & kNanoKindRepeated) {
      NanoArray* array = slot->array();
      uint32_t n = (kind & kNanoKindMessage) && depth == 0 ? 0 : 2;
      if (n == 0) continue;
      array->items.emplace(n);
      array->item_count = n;
      for (uint32_t k = 0; k < n; ++k) {
        (*array->items)[k] = MakeItem(kind, d.fields[i].message, v * 10 + k, depth);
      }
    } else {
      slot = MakeItem(kind, d.fields[i].message, v, depth);
    }
  }
}

std::unique_ptr<NanoField> MakeItem(uint32_t kind, const ApmpbMessageDescriptor* sub, uint64_t v,
                                    int depth) {
  if (kind & kNanoKindBool) return std::make_unique<NanoField>(uint64_t{1});
  if (kind & kNanoKindEnum) return std::make_unique<NanoField>(uint64_t{v % 5});
  if (kind & kNanoKindInt32) {
    return std::make_unique<NanoField>(uint64_t{static_cast<uint32_t>(-static_cast<int32_t>(v))});
  }
  if (kind & kNanoKindUInt32) return std::make_unique<NanoField>(uint64_t{v + 0x80000000u});
  if (kind & kNanoKindInt64) {
    return std::make_unique<NanoField>(static_cast<uint64_t>(-static_cast<int64_t>(v) * 1000000));
  }
  if (kind & kNanoKindUInt64) return std::make_unique<NanoField>(v << 40);
  if (kind & kNanoKindFloat) {
    float f = static_cast<float>(v) + 0.5f;
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof(bits));
    return std::make_unique<NanoField>(uint64_t{bits});
  }
  if (kind & kNanoKindDouble) {
    double x = -static_cast<double>(v) - 0.25;
    uint64_t bits;
    std::memcpy(&bits, &x, sizeof(bits));
    return std::make_unique<NanoField>(bits);
  }
  if (kind & (kNanoKindString | kNanoKindBytes)) {
    NanoString s;
    s.bytes = "v\xC3\xA9" + std::to_string(v);
    return std::make_unique<NanoField>(std::move(s));
  }
  if (depth == 0) return nullptr;
  auto message = std::make_unique<NanoMessageInfo>();
  EXPECT_TRUE(sub->init(message.get()));
  Fill(message.get(), v, depth - 1);
  return std::make_unique<NanoField>(std::move(message));
}

// Field-by-field comparison of two records; failures name the path.
void ExpectSameRecord(const NanoMessageInfo& a, const NanoMessageInfo& b, const std::string& path);

void ExpectSameField(const NanoField* a, const NanoField* b, const std::string& path) {
  ASSERT_EQ(a == nullptr, b == nullptr) << path;
  if (!a) return;
  ASSERT_EQ(a->value.index(), b->value.index()) << path;
  if (a->cell()) {
    EXPECT_EQ(*a->cell(), *b->cell()) << path;
  } else if (a->string()) {
    EXPECT_EQ(a->string()->bytes, b->string()->bytes) << path;
  } else if (a->message()) {
    ExpectSameRecord(*a->message(), *b->message(), path);
  } else if (a->array()) {
    ASSERT_EQ(a->array()->item_count, b->array()->item_count) << path;
    for (uint32_t i = 0; i < a->array()->item_count; ++i) {
      ExpectSameField((*a->array()->items)[i].get(), (*b->array()->items)[i].get(),
                      path + "[" + std::to_string(i) + "]");
    }
  }
}

void ExpectSameRecord(const NanoMessageInfo& a, const NanoMessageInfo& b, const std::string& path) {
  ASSERT_EQ(a.descriptor, b.descriptor) << path;
  for (int32_t i = 0; i < a.fieldCount(); ++i) {
    ExpectSameField(a.field(i), b.field(i), path + "." + a.descriptor->fields[i].name);
  }
}

TEST(MessagesTest, CatalogueHasEveryMessageOnceWithItsClass) {
  const std::set<std::string> expected = {"AdCampaignInfo",
                                          "AppProperty",
                                          "Audience",
                                          "AudienceLeafFilterResult",
                                          "ClientProperty",
                                          "ConsentConfig",
                                          "ConsentDefaultEntry",
                                          "ConsentDelegationEntry",
                                          "ConsentInfoExtra",
                                          "CorePlatformServiceEntry",
                                          "CustomProperty",
                                          "DataControl",
                                          "DeepLinkGadParamsEntry",
                                          "DynamicFilterResultTimestamp",
                                          "Event",
                                          "EventConfig",
                                          "EventFilter",
                                          "EventParam",
                                          "Experiment",
                                          "ExperimentRequest",
                                          "ExperimentResponse",
                                          "Filter",
                                          "Flag",
                                          "LimitedDataEntry",
                                          "MarketReferrerGadParamsEntry",
                                          "MeasurementBatch",
                                          "MeasurementBundle",
                                          "MeasurementConfig",
                                          "NumberFilter",
                                          "OgtActivities",
                                          "OgtActivity",
                                          "OnDeviceMeasurementInfo",
                                          "OnDeviceMeasurementValue",
                                          "Program",
                                          "PropertyFilter",
                                          "PsmSetting",
                                          "Region",
                                          "ResultData",
                                          "RuntimeEntity",
                                          "SdkResponse",
                                          "SequenceFilterResultTimestamp",
                                          "Setting",
                                          "SgtmSetting",
                                          "SkAdNetworkConversionValueRequest",
                                          "SkAdNetworkConversionValueResponse",
                                          "Snapshot",
                                          "StringFilter",
                                          "UserAttribute"};
  std::set<std::string> ids;
  for (const ApmpbMessageDescriptor* d : kAPMPBMessageDescriptors) {
    ids.insert(d->message_id);
    EXPECT_EQ(std::string("APMPB") + d->message_id, d->class_name);
    const NANOMessageClass* cls = APMPBMessageClassNamed(d->message_id);
    ASSERT_NE(cls, nullptr) << d->message_id;
    EXPECT_STREQ(cls->name, d->class_name);
  }
  EXPECT_EQ(ids, expected);
  EXPECT_EQ(APMPBMessageClassNamed("Nope"), nullptr);
}

// The kind table, the tag map and nanopb's field table describe the same fields.
TEST(MessagesTest, TablesAgreeWithNanopbFieldTables) {
  for (const ApmpbMessageDescriptor* d : kAPMPBMessageDescriptors) {
    SCOPED_TRACE(d->message_id);
    std::vector<unsigned char> pb(d->nanopb_struct_size + 16);
    pb_field_iter_t iter;
    int count = 0;
    std::set<int32_t> seen;
    ASSERT_TRUE(pb_field_iter_begin(&iter, d->nanopb_fields, pb.data()));
    do {
      ++count;
      int32_t position = d->positionForTag(iter.tag);
      ASSERT_GE(position, 0) << "tag " << iter.tag;
      EXPECT_TRUE(seen.insert(position).second);
      EXPECT_EQ(d->fields[position].tag, iter.tag);
      uint32_t kind = d->fields_type[position];
      EXPECT_EQ(kind, d->fields[position].kind);
      bool repeated = kind & kNanoKindRepeated;
      bool callback = repeated || (kind & (kNanoKindString | kNanoKindBytes | kNanoKindMessage));
      EXPECT_EQ(PB_ATYPE(iter.type) == PB_ATYPE_CALLBACK, callback) << "tag " << iter.tag;
      EXPECT_EQ(PB_HTYPE(iter.type) == PB_HTYPE_REPEATED, repeated) << "tag " << iter.tag;
      EXPECT_EQ((kind & kNanoKindMessage) != 0, d->fields[position].message != nullptr);
    } while (pb_field_iter_next(&iter));
    EXPECT_EQ(count, d->field_count);
  }
}

TEST(MessagesTest, EveryMessageRoundTripsFieldByField) {
  for (const ApmpbMessageDescriptor* d : kAPMPBMessageDescriptors) {
    SCOPED_TRACE(d->message_id);
    auto original = std::make_unique<NanoMessageInfo>();
    ASSERT_TRUE(d->init(original.get()));
    Fill(original.get(), 7, 2);

    fnd::Data bytes;
    int32_t size = d->encode(original.get(), &bytes);
    ASSERT_GT(size, 0);
    ASSERT_EQ(static_cast<size_t>(size), bytes.size());

    auto decoded = std::make_unique<NanoMessageInfo>();
    ASSERT_TRUE(d->init(decoded.get()));
    ASSERT_TRUE(d->decode(bytes.data(), bytes.size(), decoded.get()));
    ExpectSameRecord(*original, *decoded, d->message_id);

    fnd::Data again;
    ASSERT_EQ(d->encode(decoded.get(), &again), size);
    EXPECT_EQ(again, bytes);

    // The wrapper class encodes its copy of the record to the same bytes.
    std::shared_ptr<NANOMessageBase> wrapper =
        APMPBMessageClassNamed(d->message_id)->initWithMessageInfo(original.get());
    ASSERT_NE(wrapper, nullptr);
    EXPECT_EQ(wrapper->protoBuffer(), bytes);
  }
}

TEST(MessagesTest, EmptyBufferIsAnEmptyMessageThatEncodesToNothing) {
  for (const ApmpbMessageDescriptor* d : kAPMPBMessageDescriptors) {
    SCOPED_TRACE(d->message_id);
    NanoMessageInfo info;
    ASSERT_TRUE(d->init(&info));
    ASSERT_TRUE(d->decode(nullptr, 0, &info));
    for (int32_t i = 0; i < d->field_count; ++i) {
      const NanoField* field = info.field(i);
      if (d->fields_type[i] & kNanoKindRepeated) {
        ASSERT_NE(field, nullptr);
        EXPECT_EQ(field->array()->item_count, 0u);
      } else {
        EXPECT_EQ(field, nullptr);
      }
    }
    fnd::Data bytes = {0xff};
    EXPECT_EQ(d->encode(&info, &bytes), 0);
    EXPECT_TRUE(bytes.empty());
  }
}

// A length-delimited field: the tag byte, the length as a varint, the bytes.
fnd::Data WithTag(uint8_t tag, const fnd::Data& body) {
  fnd::Data out = {tag};
  size_t n = body.size();
  while (n >= 0x80) {
    out.push_back(static_cast<uint8_t>(n | 0x80));
    n >>= 7;
  }
  out.push_back(static_cast<uint8_t>(n));
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

// Builds a RuntimeEntity chain `depth` levels deep (the outermost included).
fnd::Data NestedEntities(int depth) {
  fnd::Data bytes = {0x08, 0x04};  // The innermost: type 4.
  for (int i = 1; i < depth; ++i) {
    fnd::Data outer = {0x08, 0x04};
    fnd::Data child = WithTag(0x12, bytes);
    outer.insert(outer.end(), child.begin(), child.end());
    bytes = std::move(outer);
  }
  return bytes;
}

struct GoldenCase {
  const char* name;
  std::function<std::optional<fnd::Data>()> build;
  fnd::Data expected;
  // The class that decodes the bytes back, for the re-encode check.
  const NANOMessageClass* cls;
};

std::shared_ptr<APMPBMeasurementBundle> Bundle() {
  return APMPBMeasurementBundle::initWithMessageInfo(nullptr);
}

TEST(MessagesTest, GoldenBytes) {
  const GoldenCase cases[] = {
      {"bundle position 6 is written as tag 26",
       [] {
         auto b = Bundle();
         NANOSetInt64(b.get(), APMPBMeasurementBundle::kPreviousBundleStartTimestamp, 5);
         return b->protoBuffer();
       },
       Bytes({0xd0, 0x01, 0x05}), &APMPBMeasurementBundle::messageClass()},
      {"bundle position 20 is tag 27 and position 21 is tag 20",
       [] {
         auto b = Bundle();
         NANOSetString(b.get(), APMPBMeasurementBundle::kVendorId, "v");
         NANOSetBool(b.get(), APMPBMeasurementBundle::kLimitedAdTracking, 1);
         return b->protoBuffer();
       },
       Bytes({0xa0, 0x01, 0x01, 0xda, 0x01, 0x01, 'v'}), &APMPBMeasurementBundle::messageClass()},
      {"a negative int32 takes ten bytes",
       [] {
         auto b = Bundle();
         NANOSetInt32(b.get(), APMPBMeasurementBundle::kTimezoneOffsetMinutes, -60);
         return b->protoBuffer();
       },
       Bytes({0x60, 0xc4, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01}),
       &APMPBMeasurementBundle::messageClass()},
      {"a double is the tag byte and eight little-endian bytes",
       [] {
         auto e = APMPBRuntimeEntity::initWithMessageInfo(nullptr);
         NANOSetDouble(e.get(), APMPBRuntimeEntity::kNumberValue, 0.5);
         return e->protoBuffer();
       },
       Bytes({0x31, 0, 0, 0, 0, 0, 0, 0xe0, 0x3f}), &APMPBRuntimeEntity::messageClass()},
      {"a float is the tag byte and four little-endian bytes",
       [] {
         auto p = APMPBEventParam::initWithMessageInfo(nullptr);
         // No singular float accessor exists: the field is set through the raw routine.
         nano_set_float(&p->messageInfo()->slots[APMPBEventParam::kFloatValue], 1.5f);
         return p->protoBuffer();
       },
       Bytes({0x25, 0, 0, 0xc0, 0x3f}), &APMPBEventParam::messageClass()},
      {"an integer user attribute has tag 4 and no tag 3",
       [] {
         auto a = APMPBUserAttribute::initWithMessageInfo(nullptr);
         NANOSetString(a.get(), APMPBUserAttribute::kName, "n");
         NANOSetInt64(a.get(), APMPBUserAttribute::kIntValue, 42);
         return a->protoBuffer();
       },
       Bytes({0x12, 0x01, 'n', 0x20, 0x2a}), &APMPBUserAttribute::messageClass()},
      {"repeated integers are one tag and varint per item",
       [] {
         auto b = Bundle();
         fnd::Array ids = {fnd::Value(1), fnd::Value(300)};
         NANOSetArray(b.get(), APMPBMeasurementBundle::kExperimentIds, &ids);
         return b->protoBuffer();
       },
       Bytes({0xe8, 0x02, 0x01, 0xe8, 0x02, 0xac, 0x02}), &APMPBMeasurementBundle::messageClass()},
      {"a uint64 bitmask word keeps all 64 bits",
       [] {
         auto r = APMPBResultData::initWithMessageInfo(nullptr);
         fnd::Array words = {fnd::Value::Int64(-1)};
         NANOSetArray(r.get(), APMPBResultData::kTag1Bits, &words);
         return r->protoBuffer();
       },
       Bytes({0x08, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01}),
       &APMPBResultData::messageClass()},
      {"config positions 11, 15 and 16 are tags 14, 18 and 20",
       [] {
         auto c = APMPBMeasurementConfig::initWithMessageInfo(nullptr);
         NANOSetString(c.get(), APMPBMeasurementConfig::kTag14Value, "x");
         auto region = APMPBRegion::initWithMessageInfo(nullptr);
         NANOSetString(region.get(), APMPBRegion::kRegionString_1, "r");
         NANOSetMessage(c.get(), APMPBMeasurementConfig::kRegion, region.get());
         fnd::Array values = {fnd::Value(7)};
         NANOSetArray(c.get(), APMPBMeasurementConfig::kTag20Values, &values);
         return c->protoBuffer();
       },
       Bytes({0x72, 0x01, 'x', 0x92, 0x01, 0x03, 0x0a, 0x01, 'r', 0xa0, 0x01, 0x07}),
       &APMPBMeasurementConfig::messageClass()},
      {"a batch holds its bundles as length-delimited sub-messages",
       [] {
         auto batch = APMPBMeasurementBatch::initWithMessageInfo(nullptr);
         auto b = Bundle();
         NANOSetInt32(b.get(), APMPBMeasurementBundle::kFormatVersion, 1);
         fnd::Array bundles = {fnd::Value(std::shared_ptr<fnd::Record>(b))};
         NANOSetArray(batch.get(), APMPBMeasurementBatch::kBundles, &bundles);
         NANOSetString(batch.get(), APMPBMeasurementBatch::kUploadSubdomain, "s");
         return batch->protoBuffer();
       },
       Bytes({0x0a, 0x02, 0x08, 0x01, 0x42, 0x01, 's'}), &APMPBMeasurementBatch::messageClass()},
  };
  for (const GoldenCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<fnd::Data> bytes = c.build();
    ASSERT_TRUE(bytes.has_value());
    EXPECT_EQ(Hex(*bytes), Hex(c.expected));
    NanoMessageInfo info;
    const ApmpbMessageDescriptor* d = nullptr;
    for (const ApmpbMessageDescriptor* candidate : kAPMPBMessageDescriptors) {
      if (std::strcmp(candidate->class_name, c.cls->name) == 0) d = candidate;
    }
    ASSERT_NE(d, nullptr);
    ASSERT_TRUE(d->init(&info));
    ASSERT_TRUE(d->decode(bytes->data(), bytes->size(), &info));
    std::shared_ptr<NANOMessageBase> back = c.cls->initWithMessageInfo(&info);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->protoBuffer(), bytes);
  }
}

TEST(MessagesTest, PackedRepeatedIntegersDecodeToo) {
  auto b = APMPBMeasurementBundle::initWithBuffer(Bytes({0xea, 0x02, 0x03, 0x01, 0xac, 0x02}));
  ASSERT_NE(b, nullptr);
  auto ids = NANOGetArray(b.get(), APMPBMeasurementBundle::kExperimentIds, nullptr);
  ASSERT_TRUE(ids.has_value());
  EXPECT_EQ(*ids, (fnd::Array{fnd::Value(1u), fnd::Value(300u)}));
  // Re-encoded one varint per item.
  EXPECT_EQ(Hex(*b->protoBuffer()), "e8 02 01 e8 02 ac 02");

  // An empty packed run holds no items.
  auto empty = APMPBMeasurementBundle::initWithBuffer(Bytes({0xea, 0x02, 0x00}));
  ASSERT_NE(empty, nullptr);
  EXPECT_TRUE(NANOGetArray(empty.get(), APMPBMeasurementBundle::kExperimentIds, nullptr)->empty());
}

TEST(MessagesTest, StringSizeLimitIsInclusive) {
  // Setting.value, tag 2.
  auto encoded = [](size_t length) { return WithTag(0x12, fnd::Data(length, 'a')); };
  NanoLogCapture log;
  auto ok = APMPBSetting::initWithBuffer(encoded(1048576));
  ASSERT_NE(ok, nullptr);
  EXPECT_EQ(NANOGetString(ok.get(), APMPBSetting::kValue)->size(), 1048576u);
  EXPECT_TRUE(log.lines().empty());

  EXPECT_EQ(APMPBSetting::initWithBuffer(encoded(1048577)), nullptr);
  EXPECT_TRUE(log.contains("Unable to process proto stream. Buffer is too big. 1048577 > 1048576"));
}

TEST(MessagesTest, NestedEntitiesRoundTripUpToTheDepthCap) {
  fnd::Data deepest = NestedEntities(kNanoMaxNestingDepth);
  auto entity = APMPBRuntimeEntity::initWithBuffer(deepest);
  ASSERT_NE(entity, nullptr);
  EXPECT_EQ(entity->protoBuffer(), deepest);

  NanoLogCapture log;
  EXPECT_EQ(APMPBRuntimeEntity::initWithBuffer(NestedEntities(kNanoMaxNestingDepth + 1)), nullptr);
  EXPECT_TRUE(
      log.contains("<ERROR> RuntimeEntity decoder failed: Messages are nested more than "
                   "100 deep"));
  // A deep program fails as a whole, inside a configuration too.
  // The cap counts every level: entities 99 deep fit alone but not inside Program and
  // MeasurementConfig.
  fnd::Data program = WithTag(0x0a, NestedEntities(kNanoMaxNestingDepth - 1));
  fnd::Data config = WithTag(0x4a, program);
  EXPECT_NE(APMPBProgram::initWithBuffer(program), nullptr);
  EXPECT_EQ(APMPBMeasurementConfig::initWithBuffer(config), nullptr);
}

TEST(MessagesTest, EncodingRefusesDeeperNestingThanDecodingAccepts) {
  auto inner = APMPBRuntimeEntity::initWithMessageInfo(nullptr);
  NANOSetInt32(inner.get(), APMPBRuntimeEntity::kType, 4);
  for (int i = 1; i <= kNanoMaxNestingDepth; ++i) {
    auto outer = APMPBRuntimeEntity::initWithMessageInfo(nullptr);
    fnd::Array children = {fnd::Value(std::shared_ptr<fnd::Record>(inner))};
    NANOSetArray(outer.get(), APMPBRuntimeEntity::kChildren, &children);
    inner = outer;
  }
  NanoLogCapture log;
  EXPECT_EQ(inner->protoBuffer(), std::nullopt);
  ASSERT_FALSE(log.lines().empty());
  EXPECT_EQ(log.lines().back(), "<ERROR> Encoding failed: messages nested too deeply");
}

TEST(MessagesTest, MalformedInputFailsCleanly) {
  struct Case {
    const char* name;
    fnd::Data bytes;
    const char* line;
  };
  const Case cases[] = {
      {"truncated varint", Bytes({0x08, 0x80}), "<ERROR> Event decoder failed: end-of-stream"},
      {"length past the end", Bytes({0x12, 0x05, 'a'}),
       "<ERROR> Event decoder failed: parent stream too short"},
      {"wrong wire type for a scalar", Bytes({0x1a, 0x01, 0x00}),
       "<ERROR> Event decoder failed: wrong wire type"},
      {"tag zero", Bytes({0x00, 0x00}), "<ERROR> Event decoder failed: zero tag"},
      {"parameter that does not parse", Bytes({0x0a, 0x02, 0x08, 0x80}),
       "<ERROR> Event decoder failed: Unable to decode repeated EventParam"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NanoLogCapture log;
    EXPECT_EQ(APMPBEvent::initWithBuffer(c.bytes), nullptr);
    EXPECT_TRUE(log.contains(c.line)) << ::testing::PrintToString(log.lines());
  }
}

TEST(MessagesTest, UnknownFieldsAreSkipped) {
  // Tag 15 (varint) and tag 16 (string) are not Event fields.
  auto e = APMPBEvent::initWithBuffer(Bytes({0x78, 0x01, 0x82, 0x01, 0x01, 'x', 0x12, 0x01, 'n'}));
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(NANOGetString(e.get(), APMPBEvent::kName), "n");
  EXPECT_EQ(Hex(*e->protoBuffer()), "12 01 6e");
}

TEST(MessagesTest, EmptyPsmSettingDecodesToItsDeclaredDefaults) {
  // The defaults live in the nanopb struct; the record keeps the fields absent, so a reader that
  // copies only present fields sees nothing.
  duvudiredururo_PsmSetting pb = duvudiredururo_PsmSetting_init_zero;
  pb_istream_t stream = pb_istream_from_buffer(nullptr, 0);
  ASSERT_TRUE(pb_decode(&stream, duvudiredururo_PsmSetting_fields, &pb));
  EXPECT_EQ(pb.l_email_first_open, 14);
  EXPECT_EQ(pb.l_phone_first_open, 11);
  EXPECT_EQ(pb.max_sign_in_delay_days, 60);
  EXPECT_EQ(pb.l_email_session_start, 13);
  EXPECT_EQ(pb.l_phone_session_start, 11);

  auto psm = APMPBPsmSetting::initWithBuffer(fnd::Data());
  ASSERT_NE(psm, nullptr);
  for (int32_t i = 0; i < 5; ++i) EXPECT_FALSE(NANOHasField(psm.get(), i));
}

TEST(MessagesTest, AbsentSubMessageReadsAbsent) {
  auto filter = APMPBEventFilter::initWithBuffer(Bytes({0x08, 0x03, 0x12, 0x01, 'e'}));
  ASSERT_NE(filter, nullptr);
  EXPECT_FALSE(NANOHasField(filter.get(), APMPBEventFilter::kTag5NumberFilter));
  EXPECT_EQ(NANOGetMessage<APMPBNumberFilter>(filter.get(), APMPBEventFilter::kTag5NumberFilter),
            nullptr);
  EXPECT_EQ(NANOGetInt32(filter.get(), APMPBEventFilter::kFilterId), 3);
}

TEST(MessagesTest, ResultDataWithEmptyListsEncodesToNothing) {
  auto r = APMPBResultData::initWithMessageInfo(nullptr);
  fnd::Array none;
  NANOSetArray(r.get(), APMPBResultData::kTag1Bits, &none);
  NANOSetArray(r.get(), APMPBResultData::kTag2Bits, nullptr);
  EXPECT_EQ(r->protoBuffer(), fnd::Data());
}

TEST(MessagesTest, ExperimentResponseDecodesNestedSnapshots) {
  // sdk_responses { sdk_name "y" snapshot { sdk_name "x" experiments { experiment_id 0 flags {
  // name "f" int_value 2 } } } }
  fnd::Data flag = Bytes({0x0a, 0x01, 'f', 0x10, 0x02});
  fnd::Data experiment = Bytes({0x08, 0x00, 0x12, static_cast<int>(flag.size())});
  experiment.insert(experiment.end(), flag.begin(), flag.end());
  fnd::Data snapshot = Bytes({0x0a, 0x01, 'x', 0x12, static_cast<int>(experiment.size())});
  snapshot.insert(snapshot.end(), experiment.begin(), experiment.end());
  fnd::Data sdk = Bytes({0x0a, 0x01, 'y', 0x1a, static_cast<int>(snapshot.size())});
  sdk.insert(sdk.end(), snapshot.begin(), snapshot.end());
  fnd::Data response = Bytes({0x12, static_cast<int>(sdk.size())});
  response.insert(response.end(), sdk.begin(), sdk.end());

  auto r = APMPBExperimentResponse::initWithBuffer(response);
  ASSERT_NE(r, nullptr);
  auto snapshots = NANOGetArray(r.get(), APMPBExperimentResponse::kSnapshots, nullptr);
  EXPECT_TRUE(snapshots->empty());
  auto answers = NANOGetArray(r.get(), APMPBExperimentResponse::kSdkResponses,
                              &APMPBSdkResponse::messageClass());
  ASSERT_EQ(answers->size(), 1u);
  auto answer = (*answers)[0].recordAs<APMPBSdkResponse>();
  EXPECT_EQ(NANOGetString(answer.get(), APMPBSdkResponse::kSdkName), "y");
  auto snap = NANOGetMessage<APMPBSnapshot>(answer.get(), APMPBSdkResponse::kSnapshot);
  ASSERT_NE(snap, nullptr);
  EXPECT_EQ(NANOGetString(snap.get(), APMPBSnapshot::kSdkName), "x");
  auto experiments =
      NANOGetArray(snap.get(), APMPBSnapshot::kExperiments, &APMPBExperiment::messageClass());
  ASSERT_EQ(experiments->size(), 1u);
  auto exp = (*experiments)[0].recordAs<APMPBExperiment>();
  EXPECT_TRUE(NANOHasField(exp.get(), APMPBExperiment::kExperimentId));
  auto flags = NANOGetArray(exp.get(), APMPBExperiment::kFlags, &APMPBFlag::messageClass());
  ASSERT_EQ(flags->size(), 1u);
  EXPECT_EQ(NANOGetInt64((*flags)[0].recordAs<APMPBFlag>().get(), APMPBFlag::kIntValue), 2);
  EXPECT_EQ(r->protoBuffer(), response);
}

}  // namespace
