// The direct decoder against the same decode driven by nanopb's pb_decode: on valid messages, on
// hand-made malformed ones and on many mutations of a full upload batch, both must accept the
// same input, leave the same record (compared through its encoding) and log the same lines.
// On the same inputs, nano_message_is_canonical against the codec: whatever it accepts decodes
// silently and encodes back to the very same bytes.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "analytics/proto/generated/apmpb_messages.h"
#include "analytics/proto/messages.h"
#include "analytics/proto/nano_codec.h"
#include "analytics/proto/test_support.h"

namespace {

struct Outcome {
  bool decoded = false;
  std::vector<std::string> lines;
  int32_t encodedSize = -1;
  fnd::Data encoded;
};

Outcome Decode(const ApmpbMessageDescriptor& d, const fnd::Data& bytes, bool throughNanopb) {
  Outcome outcome;
  NanoMessageInfo info;
  EXPECT_TRUE(d.init(&info));
  {
    NanoLogCapture log;
    outcome.decoded = throughNanopb
                          ? nano_message_decode_nanopb(d, bytes.data(), bytes.size(), &info)
                          : nano_message_decode(d, bytes.data(), bytes.size(), &info);
    outcome.lines = log.lines();
  }
  // What the decode left in the record, partial or whole, as its encoding.
  NanoLogCapture quiet;
  outcome.encodedSize = d.encode(&info, &outcome.encoded);
  return outcome;
}

void ExpectSameOutcome(const ApmpbMessageDescriptor& d, const fnd::Data& bytes,
                       const std::string& what) {
  const Outcome direct = Decode(d, bytes, false);
  const Outcome nanopb = Decode(d, bytes, true);
  EXPECT_EQ(direct.decoded, nanopb.decoded) << what << ": " << Hex(bytes);
  EXPECT_EQ(direct.lines, nanopb.lines) << what << ": " << Hex(bytes);
  EXPECT_EQ(direct.encodedSize, nanopb.encodedSize) << what << ": " << Hex(bytes);
  EXPECT_EQ(direct.encoded, nanopb.encoded) << what << ": " << Hex(bytes);
}

std::shared_ptr<APMPBEventParam> Param(const std::string& name) {
  auto param = APMPBEventParam::initWithMessageInfo(nullptr);
  NANOSetString(param.get(), APMPBEventParam::kName, name);
  return param;
}

// A batch with every kind of field the bundle carries: events with string, integer, double and
// nested parameters, user attributes, strings, bools, enums, int32 and int64 scalars, repeated
// uint32 and repeated strings, and a singular sub-message.
fnd::Data FullBatch() {
  fnd::Array events;
  for (int e = 0; e < 3; ++e) {
    auto event = APMPBEvent::initWithMessageInfo(nullptr);
    NANOSetString(event.get(), APMPBEvent::kName, "event_" + std::to_string(e));
    NANOSetInt64(event.get(), APMPBEvent::kTimestampMillis, 1765000000000 + e);
    NANOSetInt64(event.get(), APMPBEvent::kPreviousTimestampMillis, -5);
    NANOSetInt32(event.get(), APMPBEvent::kEventInt32_5, -1);
    auto text = Param("text");
    NANOSetString(text.get(), APMPBEventParam::kStringValue, "value");
    auto number = Param("number");
    NANOSetInt64(number.get(), APMPBEventParam::kIntValue, 300 + e);
    auto real = Param("real");
    NANOSetDouble(real.get(), APMPBEventParam::kDoubleValue, 2.5);
    auto items = Param("items");
    auto item = APMPBEventParam::initWithMessageInfo(nullptr);
    fnd::Array inner = {fnd::Value(std::shared_ptr<fnd::Record>(Param("id")))};
    NANOSetArray(item.get(), APMPBEventParam::kParams, &inner);
    fnd::Array itemList = {fnd::Value(std::shared_ptr<fnd::Record>(item))};
    NANOSetArray(items.get(), APMPBEventParam::kParams, &itemList);
    fnd::Array params = {fnd::Value(std::shared_ptr<fnd::Record>(text)),
                         fnd::Value(std::shared_ptr<fnd::Record>(number)),
                         fnd::Value(std::shared_ptr<fnd::Record>(real)),
                         fnd::Value(std::shared_ptr<fnd::Record>(items))};
    NANOSetArray(event.get(), APMPBEvent::kParams, &params);
    events.emplace_back(std::shared_ptr<fnd::Record>(event));
  }
  auto attribute = APMPBUserAttribute::initWithMessageInfo(nullptr);
  NANOSetString(attribute.get(), APMPBUserAttribute::kName, "_npa");
  NANOSetInt64(attribute.get(), APMPBUserAttribute::kIntValue, 0);
  NANOSetInt64(attribute.get(), APMPBUserAttribute::kSetTimestampMillis, 1765000000000);
  fnd::Array attributes = {fnd::Value(std::shared_ptr<fnd::Record>(attribute))};

  auto bundle = APMPBMeasurementBundle::initWithMessageInfo(nullptr);
  NANOSetInt32(bundle.get(), APMPBMeasurementBundle::kFormatVersion, 1);
  NANOSetArray(bundle.get(), APMPBMeasurementBundle::kEvents, &events);
  NANOSetArray(bundle.get(), APMPBMeasurementBundle::kUserAttributes, &attributes);
  NANOSetString(bundle.get(), APMPBMeasurementBundle::kPlatform, "macos");
  NANOSetString(bundle.get(), APMPBMeasurementBundle::kAppId, "1:1:macos:a");
  NANOSetInt64(bundle.get(), APMPBMeasurementBundle::kEndTimestampMillis, 1765000000999);
  NANOSetBool(bundle.get(), APMPBMeasurementBundle::kLimitedAdTracking, true);
  NANOSetInt32(bundle.get(), APMPBMeasurementBundle::kAttStatus, 3);
  NANOSetInt32(bundle.get(), APMPBMeasurementBundle::kTimezoneOffsetMinutes, -300);
  fnd::Array experiments = {fnd::Value(7), fnd::Value::Int64(4000000000)};
  NANOSetArray(bundle.get(), APMPBMeasurementBundle::kExperimentIds, &experiments);
  fnd::Array redacted = {fnd::Value("device_model"), fnd::Value("")};
  NANOSetArray(bundle.get(), APMPBMeasurementBundle::kRedactedFields, &redacted);
  auto campaign = APMPBAdCampaignInfo::initWithMessageInfo(nullptr);
  NANOSetMessage(bundle.get(), APMPBMeasurementBundle::kAdCampaignInfo, campaign.get());

  auto batch = APMPBMeasurementBatch::initWithMessageInfo(nullptr);
  fnd::Array bundles = {fnd::Value(std::shared_ptr<fnd::Record>(bundle))};
  NANOSetArray(batch.get(), APMPBMeasurementBatch::kBundles, &bundles);
  NANOSetString(batch.get(), APMPBMeasurementBatch::kUploadSubdomain, "sub");
  std::optional<fnd::Data> bytes = batch->protoBuffer();
  EXPECT_TRUE(bytes.has_value());
  return bytes.value_or(fnd::Data{});
}

TEST(NanoDirectDecodeTest, HandMadeInputsDecodeAsThroughNanopb) {
  struct Case {
    const char* what;
    const ApmpbMessageDescriptor* message;
    fnd::Data bytes;
  };
  const std::vector<Case> cases = {
      {"empty", &apmpb_event_descriptor, {}},
      {"zero tag", &apmpb_event_descriptor, Bytes({0x00, 0x01})},
      {"invalid wire type of an unknown field", &apmpb_event_descriptor, Bytes({0x7b, 0x01})},
      {"invalid wire type of a known string", &apmpb_event_descriptor, Bytes({0x13})},
      {"string given as a varint", &apmpb_event_descriptor, Bytes({0x10, 0x96, 0x01})},
      {"string given as fixed32", &apmpb_event_descriptor, Bytes({0x15, 'a', 'b', 'c', 'd'})},
      {"string as an overlong varint", &apmpb_event_descriptor,
       Bytes({0x10, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00})},
      {"scalar with the wrong wire type", &apmpb_event_descriptor, Bytes({0x1a, 0x00})},
      {"double with the wrong wire type", &apmpb_event_param_descriptor, Bytes({0x28, 0x01})},
      {"float", &apmpb_event_param_descriptor, Bytes({0x25, 0x00, 0x00, 0x80, 0x3f})},
      {"truncated float", &apmpb_event_param_descriptor, Bytes({0x25, 0x00, 0x00})},
      {"int64 varint overflow", &apmpb_event_descriptor,
       Bytes({0x18, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x02})},
      {"int64 ten-byte maximum", &apmpb_event_descriptor,
       Bytes({0x18, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01})},
      {"int32 sign-extended", &apmpb_event_descriptor,
       Bytes({0x28, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01})},
      {"int32 above 32 bits", &apmpb_event_descriptor, Bytes({0x28, 0x80, 0x80, 0x80, 0x80, 0x10})},
      {"tag varint overflow", &apmpb_event_descriptor, Bytes({0x80, 0x80, 0x80, 0x80, 0x7f, 0x00})},
      {"tag as sign-extended varint", &apmpb_event_descriptor,
       Bytes({0x80, 0x80, 0x80, 0x80, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01})},
      {"length beyond the bytes left", &apmpb_event_descriptor, Bytes({0x12, 0x05, 'a'})},
      {"unknown length-delimited beyond the bytes left", &apmpb_event_descriptor,
       Bytes({0x42, 0x05, 'a'})},
      {"unknown varint runs off the end", &apmpb_event_descriptor, Bytes({0x40, 0x80})},
      {"repeated message given as a varint", &apmpb_event_descriptor, Bytes({0x08, 0x0a})},
      {"repeated message as fixed64", &apmpb_event_descriptor,
       Bytes({0x09, 0x0a, 0x01, 'a', 0x18, 0x01, 0x00, 0x00, 0x00})},
      {"broken repeated message", &apmpb_event_descriptor, Bytes({0x0a, 0x02, 0x0a, 0x05})},
      {"broken item after a broken string", &apmpb_event_descriptor,
       Bytes({0x0a, 0x02, 0x0a, 0x05, 0x12, 0x09})},
      {"empty items", &apmpb_event_descriptor, Bytes({0x0a, 0x00, 0x0a, 0x00, 0x12, 0x00})},
      {"bool as a long varint", &apmpb_measurement_bundle_descriptor,
       Bytes({0xa0, 0x01, 0x80, 0x80, 0x80, 0x80, 0x00})},
      {"bool varint32 overflow", &apmpb_measurement_bundle_descriptor,
       Bytes({0xa0, 0x01, 0x80, 0x80, 0x80, 0x80, 0x10})},
      {"packed uint32s", &apmpb_measurement_bundle_descriptor,
       Bytes({0xea, 0x02, 0x04, 0x01, 0x96, 0x01, 0x00})},
      {"empty packed run", &apmpb_measurement_bundle_descriptor, Bytes({0xea, 0x02, 0x00})},
      {"packed run cut short", &apmpb_measurement_bundle_descriptor,
       Bytes({0xea, 0x02, 0x02, 0x01, 0x96})},
      {"packed run overflow", &apmpb_measurement_bundle_descriptor,
       Bytes({0xea, 0x02, 0x0b, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f, 0x00})},
      {"repeated uint32 as fixed64 without a varint end", &apmpb_measurement_bundle_descriptor,
       Bytes({0xe9, 0x02, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff})},
      {"repeated uint32 as fixed32", &apmpb_measurement_bundle_descriptor,
       Bytes({0xed, 0x02, 0x05, 0xff, 0xff, 0xff})},
      {"repeated strings", &apmpb_measurement_bundle_descriptor,
       Bytes({0x82, 0x04, 0x01, 'a', 0x80, 0x04, 0x05, 0x82, 0x04, 0x00})},
      {"sub-message twice", &apmpb_measurement_bundle_descriptor,
       Bytes({0xfa, 0x04, 0x02, 0x08, 0x01, 0xfa, 0x04, 0x02, 0x08, 0x02})},
      {"broken sub-message", &apmpb_measurement_bundle_descriptor,
       Bytes({0xfa, 0x04, 0x02, 0x08, 0x80})},
      {"sub-message given as a varint", &apmpb_measurement_bundle_descriptor,
       Bytes({0xf8, 0x04, 0x00})},
  };
  for (const Case& c : cases) ExpectSameOutcome(*c.message, c.bytes, c.what);
}

TEST(NanoDirectDecodeTest, SizeAndDepthCapsHoldAsThroughNanopb) {
  // A string of exactly the limit and one byte more, as a name and as a repeated string.
  for (size_t size : {kNanoMaxStringLength, kNanoMaxStringLength + 1}) {
    fnd::Data name = {0x12};
    for (size_t rest = size; rest >= 0x80; rest >>= 7) name.push_back(0x80 | (rest & 0x7f));
    name.push_back(static_cast<uint8_t>(size >> (7 * (name.size() - 1))));
    name.resize(name.size() + size, 'x');
    ExpectSameOutcome(apmpb_event_descriptor, name, "name of " + std::to_string(size));
    fnd::Data redacted = name;
    redacted[0] = 0x82;
    redacted.insert(redacted.begin() + 1, 0x04);
    ExpectSameOutcome(apmpb_measurement_bundle_descriptor, redacted,
                      "redacted field of " + std::to_string(size));
  }
  // EventParam.params nested 99, 100 and 101 deep (the outermost message counts one).
  for (int depth : {99, 100, 101}) {
    fnd::Data bytes;
    for (int level = 1; level < depth; ++level) {
      fnd::Data outer = {0x32};
      size_t size = bytes.size();
      while (size >= 0x80) {
        outer.push_back(static_cast<uint8_t>(0x80 | (size & 0x7f)));
        size >>= 7;
      }
      outer.push_back(static_cast<uint8_t>(size));
      outer.insert(outer.end(), bytes.begin(), bytes.end());
      bytes = std::move(outer);
    }
    ExpectSameOutcome(apmpb_event_param_descriptor, bytes, "depth " + std::to_string(depth));
  }
}

// `bytes` after one to `kinds` random edits, each of the first `kinds` of: a byte replaced, a bit
// flipped, the rest cut off, a byte inserted.
fnd::Data Mutated(fnd::Data bytes, std::mt19937& random, unsigned kinds) {
  const int edits = 1 + static_cast<int>(random() % kinds);
  for (int e = 0; e < edits && !bytes.empty(); ++e) {
    const size_t at = random() % bytes.size();
    switch (random() % kinds) {
      case 0:
        bytes[at] = static_cast<uint8_t>(random());
        break;
      case 1:
        bytes[at] ^= static_cast<uint8_t>(1u << (random() % 8));
        break;
      case 2:
        bytes.resize(at);
        break;
      default:
        bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                     static_cast<uint8_t>(random()));
        break;
    }
  }
  return bytes;
}

TEST(NanoDirectDecodeTest, MutatedBatchesDecodeAsThroughNanopb) {
  const fnd::Data batch = FullBatch();
  ASSERT_GT(batch.size(), 100u);
  ExpectSameOutcome(apmpb_measurement_batch_descriptor, batch, "the batch");
  std::mt19937 random(20251211);
  for (int round = 0; round < 3000; ++round) {
    const fnd::Data bytes = Mutated(batch, random, 4);
    ExpectSameOutcome(apmpb_measurement_batch_descriptor, bytes, "round " + std::to_string(round));
    if (HasFailure()) break;
  }
}

// What nano_message_is_canonical accepts decodes without a line and encodes back to itself.
void ExpectRoundTrip(const ApmpbMessageDescriptor& d, const fnd::Data& bytes,
                     const std::string& what) {
  NanoMessageInfo info;
  ASSERT_TRUE(d.init(&info));
  NanoLogCapture log;
  ASSERT_TRUE(nano_message_decode(d, bytes.data(), bytes.size(), &info)) << what;
  fnd::Data again;
  EXPECT_EQ(d.encode(&info, &again), static_cast<int32_t>(bytes.size())) << what;
  EXPECT_EQ(Hex(again), Hex(bytes)) << what;
  EXPECT_TRUE(log.lines().empty()) << what;
}

fnd::Data Nested(int depth) {
  fnd::Data bytes;
  for (int level = 1; level < depth; ++level) {
    fnd::Data outer = {0x32};
    APMPAppendVarint(&outer, bytes.size());
    outer.insert(outer.end(), bytes.begin(), bytes.end());
    bytes = std::move(outer);
  }
  return bytes;
}

TEST(NanoCanonicalTest, AcceptsExactlyTheFormsTheEncoderWrites) {
  struct Case {
    const char* what;
    const ApmpbMessageDescriptor* message;
    fnd::Data bytes;
    bool canonical;
  };
  const ApmpbMessageDescriptor* event = &apmpb_event_descriptor;
  const ApmpbMessageDescriptor* param = &apmpb_event_param_descriptor;
  const ApmpbMessageDescriptor* bundle = &apmpb_measurement_bundle_descriptor;
  const std::vector<Case> cases = {
      {"empty", event, {}, true},
      {"a name", event, Bytes({0x12, 0x01, 'e'}), true},
      {"items, then the name", event, Bytes({0x0a, 0x00, 0x0a, 0x02, 0x0a, 0x00, 0x12, 0x00}),
       true},
      {"name before the items", event, Bytes({0x12, 0x01, 'e', 0x0a, 0x00}), false},
      {"name twice", event, Bytes({0x12, 0x01, 'a', 0x12, 0x01, 'b'}), false},
      {"scalar twice", event, Bytes({0x18, 0x01, 0x18, 0x02}), false},
      {"unknown field", event, Bytes({0x40, 0x01}), false},
      {"key with a redundant byte", event, Bytes({0x92, 0x00, 0x01, 'e'}), false},
      {"length with a redundant byte", event, Bytes({0x12, 0x81, 0x00, 'e'}), false},
      {"int64 with a redundant byte", event, Bytes({0x18, 0x81, 0x00}), false},
      {"int64 ten-byte maximum", event,
       Bytes({0x18, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01}), true},
      {"int32 -1 sign-extended", event,
       Bytes({0x28, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01}), true},
      {"int32 -1 in five bytes", event, Bytes({0x28, 0xff, 0xff, 0xff, 0xff, 0x0f}), false},
      {"int32 above 32 bits", event, Bytes({0x28, 0x80, 0x80, 0x80, 0x80, 0x10}), false},
      {"string as a varint", event, Bytes({0x10, 0x96, 0x01}), false},
      {"truncated string", event, Bytes({0x12, 0x05, 'a'}), false},
      {"float and double", param,
       Bytes({0x25, 0x00, 0x00, 0x80, 0x3f, 0x29, 0, 0, 0, 0, 0, 0, 0xf0, 0x3f}), true},
      {"float as a varint", param, Bytes({0x20, 0x01}), false},
      {"bool 1", bundle, Bytes({0xa0, 0x01, 0x01}), true},
      {"bool 2", bundle, Bytes({0xa0, 0x01, 0x02}), false},
      {"enum", bundle, Bytes({0xa8, 0x03, 0x03}), true},
      {"enum above int32", bundle, Bytes({0xa8, 0x03, 0xff, 0xff, 0xff, 0xff, 0x0f}), false},
      {"repeated uint32s one by one", bundle, Bytes({0xe8, 0x02, 0x07, 0xe8, 0x02, 0x96, 0x01}),
       true},
      {"packed uint32s", bundle, Bytes({0xea, 0x02, 0x02, 0x07, 0x01}), false},
      {"repeated strings", bundle, Bytes({0x82, 0x04, 0x01, 'a', 0x82, 0x04, 0x00}), true},
      {"broken event inside a bundle", bundle, Bytes({0x12, 0x02, 0x0a, 0x05}), false},
      {"nested 99 deep", param, Nested(99), true},
      {"nested 100 deep (decodes, not proved)", param, Nested(100), false},
  };
  for (const Case& c : cases) {
    NanoLogCapture log;
    EXPECT_EQ(nano_message_is_canonical(*c.message, c.bytes.data(), c.bytes.size()), c.canonical)
        << c.what;
    EXPECT_TRUE(log.lines().empty()) << c.what;
    if (c.canonical) ExpectRoundTrip(*c.message, c.bytes, c.what);
  }
}

TEST(NanoCanonicalTest, MutatedBatchesItAcceptsEncodeBackToThemselves) {
  const fnd::Data batch = FullBatch();
  ASSERT_TRUE(
      nano_message_is_canonical(apmpb_measurement_batch_descriptor, batch.data(), batch.size()));
  std::mt19937 random(20261211);
  int accepted = 0;
  for (int round = 0; round < 3000; ++round) {
    const fnd::Data bytes = Mutated(batch, random, 3);
    if (!nano_message_is_canonical(apmpb_measurement_batch_descriptor, bytes.data(),
                                   bytes.size())) {
      continue;
    }
    ++accepted;
    ExpectRoundTrip(apmpb_measurement_batch_descriptor, bytes, "round " + std::to_string(round));
    if (HasFailure()) break;
  }
  // Changed string bytes and values keep the form: the accepting side is exercised too.
  EXPECT_GT(accepted, 100);
}

}  // namespace
