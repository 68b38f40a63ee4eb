#include "analytics/proto/field_accessors.h"

#include <gtest/gtest.h>

#include <string>

#include "analytics/proto/messages.h"
#include "analytics/proto/test_support.h"

namespace {

// A message object that holds no record, as a half-built object would.
class RecordlessMessage : public NANOMessageBase {
 public:
  const char* messageID() const override { return "Event"; }
  NanoMessageInfo* messageInfo() override { return nullptr; }
  const NanoMessageInfo* messageInfo() const override { return nullptr; }
  ApmpbInitFn initMessageInfoFn() const override { return &apmpb_init_event; }
  ApmpbFreeFieldFn deallocMessageFieldFn() const override { return &apmpb_free_event_field; }
  ApmpbCopyFn copyMessageInfoFn() const override { return &apmpb_copy_event; }
  std::optional<fnd::Data> protoBuffer() const override { return std::nullopt; }
  std::string typeName() const override { return "RecordlessMessage"; }
};

class FieldAccessorsTest : public ::testing::Test {
 protected:
  std::shared_ptr<APMPBEvent> event_ = APMPBEvent::initWithMessageInfo(nullptr);
  std::shared_ptr<APMPBEventParam> param_ = APMPBEventParam::initWithMessageInfo(nullptr);
  NanoLogCapture log_;
};

TEST_F(FieldAccessorsTest, EveryOperationOnAMessageWithoutRecordLogsAndAnswersNeutral) {
  RecordlessMessage message;
  struct Case {
    const char* op;
    std::function<void(NANOMessageBase*)> call;
  };
  const Case cases[] = {
      {"ClearField", [](NANOMessageBase* m) { NANOClearField(m, 1); }},
      {"GetBool", [](NANOMessageBase* m) { EXPECT_FALSE(NANOGetBool(m, 1)); }},
      {"SetBool", [](NANOMessageBase* m) { NANOSetBool(m, 1, 1); }},
      {"GetInt32", [](NANOMessageBase* m) { EXPECT_EQ(NANOGetInt32(m, 1), 0); }},
      {"SetInt32", [](NANOMessageBase* m) { NANOSetInt32(m, 1, 1); }},
      {"GetInt64", [](NANOMessageBase* m) { EXPECT_EQ(NANOGetInt64(m, 1), 0); }},
      {"SetInt64", [](NANOMessageBase* m) { NANOSetInt64(m, 1, 1); }},
      {"GetDouble", [](NANOMessageBase* m) { EXPECT_EQ(NANOGetDouble(m, 1), 0.0); }},
      {"SetDouble", [](NANOMessageBase* m) { NANOSetDouble(m, 1, 1); }},
      {"GetString", [](NANOMessageBase* m) { EXPECT_EQ(NANOGetString(m, 1), std::nullopt); }},
      {"SetString", [](NANOMessageBase* m) { NANOSetString(m, 1, "x"); }},
      {"GetMessage",
       [](NANOMessageBase* m) {
         EXPECT_EQ(NANOGetMessage(m, 1, &APMPBEvent::messageClass()), nullptr);
       }},
      {"SetMessage", [](NANOMessageBase* m) { NANOSetMessage(m, 1, nullptr); }},
      {"GetArray",
       [](NANOMessageBase* m) { EXPECT_EQ(NANOGetArray(m, 0, nullptr), std::nullopt); }},
      {"SetArray", [](NANOMessageBase* m) { NANOSetArray(m, 0, nullptr); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.op);
    for (NANOMessageBase* target :
         {static_cast<NANOMessageBase*>(&message), static_cast<NANOMessageBase*>(nullptr)}) {
      log_.clear();
      c.call(target);
      ASSERT_EQ(log_.lines().size(), 1u);
      EXPECT_EQ(log_.lines()[0], std::string("ProtocolBuffer message hasn't been initialized. ") +
                                     c.op + " can't be performed");
    }
  }
  log_.clear();
  EXPECT_FALSE(NANOHasField(&message, 1));
  EXPECT_FALSE(NANOHasField(nullptr, 1));
  EXPECT_EQ(log_.lines(),
            (std::vector<std::string>{"ProtocolBuffer message hasn't been initialized. HasField "
                                      "operation can't be performed. Message name Event",
                                      "ProtocolBuffer message hasn't been initialized. HasField "
                                      "operation can't be performed. Message name (null)"}));
}

TEST_F(FieldAccessorsTest, WrongKindLogsTheKindAndChangesNothing) {
  NANOSetString(event_.get(), APMPBEvent::kName, "keep");
  NANOSetInt64(event_.get(), APMPBEvent::kTimestampMillis, 9);
  struct Case {
    const char* kind;
    int32_t position;
    std::function<void(APMPBEvent*, int32_t)> call;
  };
  const int32_t kName = APMPBEvent::kName;
  const int32_t kTime = APMPBEvent::kTimestampMillis;
  const int32_t kParams = APMPBEvent::kParams;
  const Case cases[] = {
      {"BOOL", kName, [](APMPBEvent* e, int32_t p) { EXPECT_FALSE(NANOGetBool(e, p)); }},
      {"BOOL", kName, [](APMPBEvent* e, int32_t p) { NANOSetBool(e, p, 1); }},
      {"INT32", kTime, [](APMPBEvent* e, int32_t p) { EXPECT_EQ(NANOGetInt32(e, p), 0); }},
      {"INT32", kTime, [](APMPBEvent* e, int32_t p) { NANOSetInt32(e, p, 1); }},
      {"INT64", APMPBEvent::kEventInt32_5,
       [](APMPBEvent* e, int32_t p) { EXPECT_EQ(NANOGetInt64(e, p), 0); }},
      {"INT64", kName, [](APMPBEvent* e, int32_t p) { NANOSetInt64(e, p, 1); }},
      {"DOUBLE", kTime, [](APMPBEvent* e, int32_t p) { EXPECT_EQ(NANOGetDouble(e, p), 0.0); }},
      {"DOUBLE", kTime, [](APMPBEvent* e, int32_t p) { NANOSetDouble(e, p, 1); }},
      {"STRING", kTime,
       [](APMPBEvent* e, int32_t p) { EXPECT_EQ(NANOGetString(e, p), std::nullopt); }},
      {"STRING", kParams, [](APMPBEvent* e, int32_t p) { NANOSetString(e, p, "x"); }},
      {"MESSAGE", kParams,
       [](APMPBEvent* e, int32_t p) { EXPECT_EQ(NANOGetMessage<APMPBEventParam>(e, p), nullptr); }},
      {"MESSAGE", kName, [](APMPBEvent* e, int32_t p) { NANOSetMessage(e, p, nullptr); }},
  };
  std::optional<fnd::Data> before = event_->protoBuffer();
  for (const Case& c : cases) {
    log_.clear();
    c.call(event_.get(), c.position);
    EXPECT_EQ(log_.lines(), (std::vector<std::string>{
                                std::string("<Nano/Failure> Field type isn't a scalar ") + c.kind +
                                ". Message: Event, field ID: " + std::to_string(c.position)}));
  }
  EXPECT_EQ(event_->protoBuffer(), before);

  log_.clear();
  EXPECT_EQ(NANOGetInt32(event_.get(), APMPBEvent::kTimestampMillis), 0);
  EXPECT_EQ(log_.lines(), (std::vector<std::string>{
                              "<Nano/Failure> Field type isn't a scalar INT32. Message: Event, "
                              "field ID: 2"}));
  log_.clear();
  EXPECT_EQ(NANOGetArray(event_.get(), APMPBEvent::kName, nullptr), std::nullopt);
  NANOSetArray(event_.get(), APMPBEvent::kName, nullptr);
  EXPECT_EQ(log_.lines(),
            (std::vector<std::string>{
                "<Nano/Failure> Field type isn't REPEATED. Message: Event, field ID: 1",
                "<Nano/Failure> Field type isn't REPEATED. Message: Event, field ID: 1"}));
}

TEST_F(FieldAccessorsTest, PositionOutsideTheMessageIsRefused) {
  for (int32_t position : {-1, 7, 1000}) {
    log_.clear();
    EXPECT_FALSE(NANOHasField(event_.get(), position));
    NANOSetInt64(event_.get(), position, 1);
    EXPECT_EQ(NANOGetArray(event_.get(), position, nullptr), std::nullopt);
    ASSERT_EQ(log_.lines().size(), 3u);
    for (const std::string& line : log_.lines()) {
      EXPECT_EQ(line, "<Nano/Failure> Field ID is out of range. Message: Event, field ID: " +
                          std::to_string(position));
    }
  }
  log_.clear();
  NANOClearField(event_.get(), 7);
  EXPECT_EQ(log_.lines(),
            (std::vector<std::string>{"<ERROR> Event: Cannot deallocate field 7: Unknown field"}));
}

TEST_F(FieldAccessorsTest, HasFieldAndClearField) {
  EXPECT_TRUE(NANOHasField(event_.get(), APMPBEvent::kParams));  // Repeated: always present.
  EXPECT_FALSE(NANOHasField(event_.get(), APMPBEvent::kName));
  NANOSetString(event_.get(), APMPBEvent::kName, "");
  EXPECT_TRUE(NANOHasField(event_.get(), APMPBEvent::kName));
  EXPECT_EQ(NANOGetString(event_.get(), APMPBEvent::kName), "");
  NANOClearField(event_.get(), APMPBEvent::kName);
  EXPECT_FALSE(NANOHasField(event_.get(), APMPBEvent::kName));

  fnd::Array params = {fnd::Value(std::shared_ptr<fnd::Record>(param_))};
  NANOSetArray(event_.get(), APMPBEvent::kParams, &params);
  EXPECT_EQ(
      NANOGetArray(event_.get(), APMPBEvent::kParams, &APMPBEventParam::messageClass())->size(),
      1u);
  NANOClearField(event_.get(), APMPBEvent::kParams);
  EXPECT_TRUE(NANOHasField(event_.get(), APMPBEvent::kParams));
  EXPECT_EQ(NANOGetArray(event_.get(), APMPBEvent::kParams, &APMPBEventParam::messageClass()),
            fnd::Array());
  EXPECT_TRUE(log_.lines().empty());
}

TEST_F(FieldAccessorsTest, BoolStoresTheLowByteAsItIs) {
  auto bundle = APMPBMeasurementBundle::initWithMessageInfo(nullptr);
  const int32_t pos = APMPBMeasurementBundle::kDmaRegion;
  EXPECT_FALSE(NANOGetBool(bundle.get(), pos));
  NANOSetBool(bundle.get(), pos, 1);
  EXPECT_TRUE(NANOGetBool(bundle.get(), pos));
  NANOSetBool(bundle.get(), pos, 0);
  EXPECT_FALSE(NANOGetBool(bundle.get(), pos));
  EXPECT_TRUE(NANOHasField(bundle.get(), pos));  // A stored false is present.
  NANOSetBool(bundle.get(), pos, 2);
  EXPECT_FALSE(NANOGetBool(bundle.get(), pos));
  EXPECT_EQ(*bundle->messageInfo()->field(pos)->cell(), 2u);
}

TEST_F(FieldAccessorsTest, IntegersAndDoubles) {
  auto bundle = APMPBMeasurementBundle::initWithMessageInfo(nullptr);
  // int32 is zero-extended in its cell and read back signed.
  NANOSetInt32(bundle.get(), APMPBMeasurementBundle::kBundleIndex, -5);
  EXPECT_EQ(NANOGetInt32(bundle.get(), APMPBMeasurementBundle::kBundleIndex), -5);
  EXPECT_EQ(*bundle->messageInfo()->field(APMPBMeasurementBundle::kBundleIndex)->cell(),
            0xFFFFFFFBu);
  // Enums go through the int32 pair.
  NANOSetInt32(bundle.get(), APMPBMeasurementBundle::kAttStatus, 3);
  EXPECT_EQ(NANOGetInt32(bundle.get(), APMPBMeasurementBundle::kAttStatus), 3);
  NANOSetInt64(bundle.get(), APMPBMeasurementBundle::kBundleFingerprint, INT64_MIN);
  EXPECT_EQ(NANOGetInt64(bundle.get(), APMPBMeasurementBundle::kBundleFingerprint), INT64_MIN);
  EXPECT_EQ(NANOGetInt64(bundle.get(), APMPBMeasurementBundle::kConfigVersion), 0);  // Absent.

  auto flag = APMPBFlag::initWithMessageInfo(nullptr);
  EXPECT_EQ(NANOGetDouble(flag.get(), APMPBFlag::kDoubleValue), 0.0);
  NANOSetDouble(flag.get(), APMPBFlag::kDoubleValue, -2.5);
  EXPECT_EQ(NANOGetDouble(flag.get(), APMPBFlag::kDoubleValue), -2.5);
  EXPECT_TRUE(log_.lines().empty());
}

TEST_F(FieldAccessorsTest, StringsAreUtf8AndOnlyStringsAreStored) {
  NANOSetString(event_.get(), APMPBEvent::kName, "caf\xC3\xA9");
  EXPECT_EQ(NANOGetString(event_.get(), APMPBEvent::kName), "caf\xC3\xA9");

  // Anything but a string or null is refused and the field keeps its value.
  for (const fnd::Value& bad : {fnd::Value(1), fnd::Value(true), fnd::Value(fnd::Data{'a'}),
                                fnd::Value(fnd::Array{fnd::Value("a")})}) {
    log_.clear();
    NANOSetString(event_.get(), APMPBEvent::kName, bad);
    EXPECT_EQ(log_.lines(), (std::vector<std::string>{
                                "<Nano/Failure> Field value isn't a string. Message: Event, "
                                "field ID: 1"}));
    EXPECT_EQ(NANOGetString(event_.get(), APMPBEvent::kName), "caf\xC3\xA9");
  }
  EXPECT_EQ(Hex(*event_->protoBuffer()), "12 05 63 61 66 c3 a9");

  NANOSetString(event_.get(), APMPBEvent::kName, nullptr);
  EXPECT_FALSE(NANOHasField(event_.get(), APMPBEvent::kName));

  // Bytes that are not UTF-8 read as nothing, though the field is present.
  for (const fnd::Data& bad : {Bytes({0xC3, 0x28}), Bytes({0xC0, 0xAF}), Bytes({0xED, 0xA0, 0x80}),
                               Bytes({0xF4, 0x90, 0x80, 0x80}), Bytes({0xE2, 0x82})}) {
    fnd::Data bytes = {0x12, static_cast<uint8_t>(bad.size())};
    bytes.insert(bytes.end(), bad.begin(), bad.end());
    auto decoded = APMPBEvent::initWithBuffer(bytes);
    ASSERT_NE(decoded, nullptr);
    EXPECT_TRUE(NANOHasField(decoded.get(), APMPBEvent::kName));
    EXPECT_EQ(NANOGetString(decoded.get(), APMPBEvent::kName), std::nullopt) << Hex(bad);
  }
}

TEST_F(FieldAccessorsTest, GetMessageAnswersAnIndependentCopy) {
  auto bundle = APMPBMeasurementBundle::initWithMessageInfo(nullptr);
  auto info = APMPBAdCampaignInfo::initWithMessageInfo(nullptr);
  NANOSetString(info.get(), APMPBAdCampaignInfo::kGclid, "g1");
  NANOSetMessage(bundle.get(), APMPBMeasurementBundle::kAdCampaignInfo, info.get());
  NANOSetString(info.get(), APMPBAdCampaignInfo::kGclid, "changed after set");

  auto copy =
      NANOGetMessage<APMPBAdCampaignInfo>(bundle.get(), APMPBMeasurementBundle::kAdCampaignInfo);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(NANOGetString(copy.get(), APMPBAdCampaignInfo::kGclid), "g1");
  NANOSetString(copy.get(), APMPBAdCampaignInfo::kGclid, "g2");
  auto again =
      NANOGetMessage<APMPBAdCampaignInfo>(bundle.get(), APMPBMeasurementBundle::kAdCampaignInfo);
  EXPECT_EQ(NANOGetString(again.get(), APMPBAdCampaignInfo::kGclid), "g1");
  NANOSetMessage(bundle.get(), APMPBMeasurementBundle::kAdCampaignInfo, copy.get());
  again =
      NANOGetMessage<APMPBAdCampaignInfo>(bundle.get(), APMPBMeasurementBundle::kAdCampaignInfo);
  EXPECT_EQ(NANOGetString(again.get(), APMPBAdCampaignInfo::kGclid), "g2");

  // A class of another message type gives nothing; a class without initializer logs.
  EXPECT_EQ(NANOGetMessage(bundle.get(), APMPBMeasurementBundle::kAdCampaignInfo,
                           &APMPBEvent::messageClass()),
            nullptr);
  EXPECT_TRUE(log_.lines().empty());
  const NANOMessageClass no_initializer{"APMPBHalfClass", nullptr};
  EXPECT_EQ(NANOGetMessage(bundle.get(), APMPBMeasurementBundle::kAdCampaignInfo, &no_initializer),
            nullptr);
  EXPECT_EQ(log_.lines(), (std::vector<std::string>{
                              "<ERROR> Provided class doesn't implement initWithMessageInfo: "
                              "method. Class: APMPBHalfClass"}));

  NANOSetMessage(bundle.get(), APMPBMeasurementBundle::kAdCampaignInfo, nullptr);
  EXPECT_FALSE(NANOHasField(bundle.get(), APMPBMeasurementBundle::kAdCampaignInfo));
}

TEST_F(FieldAccessorsTest, SetMessageRefusesAnotherMessageType) {
  auto bundle = APMPBMeasurementBundle::initWithMessageInfo(nullptr);
  auto info = APMPBAdCampaignInfo::initWithMessageInfo(nullptr);
  NANOSetMessage(bundle.get(), APMPBMeasurementBundle::kAdCampaignInfo, info.get());
  NANOSetMessage(bundle.get(), APMPBMeasurementBundle::kAdCampaignInfo, event_.get());
  EXPECT_EQ(log_.lines(), (std::vector<std::string>{
                              "<Nano/Failure> Message type doesn't match the field. Message: "
                              "MeasurementBundle, field ID: 52, value: Event"}));
  EXPECT_NE(
      NANOGetMessage<APMPBAdCampaignInfo>(bundle.get(), APMPBMeasurementBundle::kAdCampaignInfo),
      nullptr);
}

TEST_F(FieldAccessorsTest, GetArrayConvertsEachKind) {
  auto r = APMPBResultData::initWithBuffer(
      Bytes({0x08, 0x05, 0x08, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}));
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(NANOGetArray(r.get(), APMPBResultData::kTag1Bits, nullptr),
            (fnd::Array{fnd::Value::Int64(5), fnd::Value::Int64(INT64_MIN)}));

  auto filter = APMPBStringFilter::initWithMessageInfo(nullptr);
  fnd::Array texts = {fnd::Value("a"), fnd::Value("")};
  NANOSetArray(filter.get(), APMPBStringFilter::kExpressionList, &texts);
  EXPECT_EQ(NANOGetArray(filter.get(), APMPBStringFilter::kExpressionList, nullptr), texts);

  auto seq = APMPBSequenceFilterResultTimestamp::initWithMessageInfo(nullptr);
  fnd::Array times = {fnd::Value::Int64(-1), fnd::Value(2.9)};
  NANOSetArray(seq.get(), APMPBSequenceFilterResultTimestamp::kTimestamps, &times);
  EXPECT_EQ(NANOGetArray(seq.get(), APMPBSequenceFilterResultTimestamp::kTimestamps, nullptr),
            (fnd::Array{fnd::Value::Int64(-1), fnd::Value::Int64(2)}));

  // Message items are made with the given class; without one they are skipped with a line.
  fnd::Array params = {fnd::Value(std::shared_ptr<fnd::Record>(param_))};
  NANOSetArray(event_.get(), APMPBEvent::kParams, &params);
  auto items = NANOGetArray(event_.get(), APMPBEvent::kParams, &APMPBEventParam::messageClass());
  ASSERT_EQ(items->size(), 1u);
  EXPECT_NE((*items)[0].recordAs<APMPBEventParam>(), nullptr);
  EXPECT_NE((*items)[0].recordAs<APMPBEventParam>(), param_);  // A copy, not the element.
  EXPECT_TRUE(log_.lines().empty());
  EXPECT_EQ(NANOGetArray(event_.get(), APMPBEvent::kParams, nullptr), fnd::Array());
  EXPECT_EQ(log_.lines(), (std::vector<std::string>{
                              "<ERROR> Provided class doesn't implement initWithMessageInfo: "
                              "method. Class: (null)"}));
}

TEST_F(FieldAccessorsTest, SetArrayIsAllOrNothing) {
  auto filter = APMPBStringFilter::initWithMessageInfo(nullptr);
  fnd::Array good = {fnd::Value("keep")};
  NANOSetArray(filter.get(), APMPBStringFilter::kExpressionList, &good);

  struct Case {
    const char* name;
    NANOMessageBase* message;
    int32_t position;
    fnd::Array elements;
    const char* line;
  };
  auto bundle = APMPBMeasurementBundle::initWithMessageInfo(nullptr);
  auto sequence = APMPBSequenceFilterResultTimestamp::initWithMessageInfo(nullptr);
  const Case cases[] = {
      {"string field, third element a number",
       filter.get(),
       APMPBStringFilter::kExpressionList,
       {fnd::Value("a"), fnd::Value("b"), fnd::Value(3)},
       "<ERROR> Invalid object type. String fields expect NSString. Type: int"},
      {"integer field, a string",
       bundle.get(),
       APMPBMeasurementBundle::kExperimentIds,
       {fnd::Value(1), fnd::Value("2")},
       "<ERROR> Invalid object type. Int32 fields expect NSNumber. Type: string"},
      {"int64 field, null",
       sequence.get(),
       APMPBSequenceFilterResultTimestamp::kTimestamps,
       {fnd::Value()},
       "<ERROR> Invalid object type. Int64 fields expect NSNumber. Type: null"},
      {"message field, a string",
       event_.get(),
       APMPBEvent::kParams,
       {fnd::Value("p")},
       "<ERROR> Invalid object type. Message fields expect NANOMessageBase. Type: string"},
      {"message field, another message type",
       event_.get(),
       APMPBEvent::kParams,
       {fnd::Value(std::shared_ptr<fnd::Record>(param_)),
        fnd::Value(std::shared_ptr<fnd::Record>(APMPBEvent::initWithMessageInfo(nullptr)))},
       "<ERROR> Invalid object type. Message fields expect NANOMessageBase. Type: APMPBEvent"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log_.clear();
    NANOSetArray(c.message, c.position, &c.elements);
    EXPECT_EQ(log_.lines(), (std::vector<std::string>{c.line}));
    EXPECT_TRUE(NANOGetArray(c.message, c.position, &APMPBEventParam::messageClass())->empty());
    EXPECT_TRUE(NANOHasField(c.message, c.position));
  }
  EXPECT_EQ(filter->protoBuffer(), fnd::Data());
}

TEST_F(FieldAccessorsTest, ConversionRoutines) {
  NanoString record;
  EXPECT_TRUE(NANOConvertStringToArrayInfo(fnd::Value("ab"), &record));
  EXPECT_EQ(record.bytes, "ab");
  NanoString untouched;
  EXPECT_TRUE(NANOConvertStringToArrayInfo(fnd::Value(), &untouched));
  EXPECT_FALSE(untouched.bytes.has_value());
  EXPECT_FALSE(NANOConvertStringToArrayInfo(fnd::Value(1), &untouched));
  EXPECT_FALSE(untouched.bytes.has_value());

  EXPECT_TRUE(NANOConvertNSDataToArrayInfo(fnd::Value(fnd::Data{0, 0xff}), &record));
  EXPECT_EQ(record.bytes, std::string("\0\xff", 2));
  EXPECT_FALSE(NANOConvertNSDataToArrayInfo(fnd::Value("text"), &untouched));
  EXPECT_FALSE(untouched.bytes.has_value());
}

}  // namespace
