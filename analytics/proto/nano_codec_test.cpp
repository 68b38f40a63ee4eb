#include "analytics/proto/nano_codec.h"

#include <gtest/gtest.h>

#include "analytics/proto/field_accessors.h"
#include "analytics/proto/generated/measurement.pb.h"
#include "analytics/proto/messages.h"
#include "analytics/proto/test_support.h"

namespace {

// A fresh Event record; the codec family of Event stands for every message.
class NanoCodecTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(apmpb_init_event(&event_)); }

  std::unique_ptr<NanoField>& slot(int32_t position) {
    return event_.slots[static_cast<size_t>(position)];
  }

  NanoMessageInfo event_;
  NanoLogCapture log_;
};

TEST_F(NanoCodecTest, InitGivesOneSlotPerFieldAndAnArrayRecordPerRepeatedField) {
  EXPECT_STREQ(event_.messageId(), "Event");
  EXPECT_EQ(event_.fieldsType(), event_FIELDS_TYPE);
  ASSERT_EQ(event_.slots.size(), 7u);
  ASSERT_NE(event_.field(APMPBEvent::kParams), nullptr);
  EXPECT_EQ(event_.field(APMPBEvent::kParams)->array()->item_count, 0u);
  for (int32_t i = 1; i < 7; ++i) EXPECT_EQ(event_.field(i), nullptr);
  EXPECT_FALSE(apmpb_init_event(nullptr));
}

TEST_F(NanoCodecTest, SettersOnANullSlotLog) {
  nano_set_bool(nullptr, true);
  nano_set_uint32(nullptr, 1);
  nano_set_uint64(nullptr, 1);
  nano_set_float(nullptr, 1);
  nano_set_double(nullptr, 1);
  nano_set_string(nullptr, reinterpret_cast<const uint8_t*>("a"), 1);
  nano_free_string(nullptr);
  nano_init_array_info(nullptr);
  EXPECT_EQ(log_.lines(), (std::vector<std::string>{
                              "<ERROR> Unable to set bool. Destination pointer is NULL",
                              "<ERROR> Unable to set uint32. Destination pointer is NULL",
                              "<ERROR> Unable to set uint64. Destination pointer is NULL",
                              "<ERROR> Unable to set float. Destination pointer is NULL",
                              "<ERROR> Unable to set double. Destination pointer is NULL",
                              "<ERROR> Unable to set string. Destination array is NULL",
                              "<ERROR> Unable to dealloc string field. String struct is NULL",
                              "<ERROR> Unable to initialize the array. Array pointer is NULL"}));
}

TEST_F(NanoCodecTest, SettersStoreCells) {
  nano_set_uint32(&slot(APMPBEvent::kEventInt32_5), 0xFFFFFFFFu);
  EXPECT_EQ(*event_.field(APMPBEvent::kEventInt32_5)->cell(), 0xFFFFFFFFu);
  nano_set_string(&slot(APMPBEvent::kName), reinterpret_cast<const uint8_t*>("abc"), 3);
  nano_set_string(&slot(APMPBEvent::kName), reinterpret_cast<const uint8_t*>("xy"), 2);
  EXPECT_EQ(event_.field(APMPBEvent::kName)->string()->bytes, "xy");
  EXPECT_EQ(event_.field(APMPBEvent::kName)->string()->length(), 2u);
  nano_set_string(&slot(APMPBEvent::kName), nullptr, 5);
  EXPECT_EQ(event_.field(APMPBEvent::kName)->string()->bytes, "xy");
  fnd::Data bytes;
  // The int32 field reads its cell's low 32 bits as -1, written in ten bytes.
  EXPECT_EQ(apmpb_encode_event(&event_, &bytes), 15);
  EXPECT_EQ(Hex(bytes), "12 02 78 79 28 ff ff ff ff ff ff ff ff ff 01");
}

TEST_F(NanoCodecTest, StringWithoutBytesFailsTheEncode) {
  nano_set_string(&slot(APMPBEvent::kName), reinterpret_cast<const uint8_t*>("abc"), 3);
  nano_free_string(slot(APMPBEvent::kName)->string());
  fnd::Data bytes = {1, 2};
  EXPECT_EQ(apmpb_encode_event(&event_, &bytes), -1);
  EXPECT_TRUE(bytes.empty());
  EXPECT_EQ(log_.lines(),
            (std::vector<std::string>{"<ERROR> Encoding failed: string field has no bytes"}));
}

TEST_F(NanoCodecTest, EncodeAndDecodeArgumentChecks) {
  EXPECT_EQ(apmpb_encode_event(&event_, nullptr), -1);
  fnd::Data bytes;
  EXPECT_EQ(apmpb_encode_event(nullptr, &bytes), -1);
  EXPECT_FALSE(apmpb_decode_event(nullptr, 0, nullptr));
  NanoMessageInfo blank;
  EXPECT_FALSE(apmpb_decode_event(nullptr, 0, &blank));
  EXPECT_FALSE(apmpb_decode_event_param(nullptr, 0, &event_));
  EXPECT_EQ(log_.lines(), (std::vector<std::string>{
                              "<ERROR> Event encoder failed: message_info is NULL",
                              "<ERROR> Event decoder failed: message_info is NULL",
                              "<ERROR> Event decoder failed: Unable to set decoders",
                              "<ERROR> EventParam decoder failed: Unable to set decoders"}));
}

TEST_F(NanoCodecTest, MissingArrayRecordFailsTheEncodeAndTheAllocation) {
  slot(APMPBEvent::kParams).reset();
  fnd::Data bytes;
  EXPECT_EQ(apmpb_encode_event(&event_, &bytes), -1);
  EXPECT_FALSE(apmpb_alloc_event_arrays(&event_));
  EXPECT_EQ(log_.lines(),
            (std::vector<std::string>{
                "<ERROR> Event Encoder: 'params' should have been allocated",
                "<ERROR> Cannot allocate Event arrays. Missing params field (params)"}));
}

TEST_F(NanoCodecTest, FreeField) {
  nano_set_uint64(&slot(APMPBEvent::kTimestampMillis), 5);
  ASSERT_TRUE(apmpb_decode_event(Bytes({0x0a, 0x00, 0x0a, 0x00}).data(), 4, &event_));
  EXPECT_EQ(event_.field(APMPBEvent::kParams)->array()->item_count, 2u);

  EXPECT_TRUE(apmpb_free_event_field(&event_, APMPBEvent::kTimestampMillis));
  EXPECT_EQ(event_.field(APMPBEvent::kTimestampMillis), nullptr);
  EXPECT_TRUE(apmpb_free_event_field(&event_, APMPBEvent::kParams));
  const NanoArray* params = event_.field(APMPBEvent::kParams)->array();
  ASSERT_NE(params, nullptr);  // Emptied, never removed.
  EXPECT_EQ(params->item_count, 0u);
  EXPECT_FALSE(params->items.has_value());

  fnd::Data before;
  ASSERT_EQ(apmpb_encode_event(&event_, &before), 0);
  EXPECT_FALSE(apmpb_free_event_field(&event_, 7));
  EXPECT_FALSE(apmpb_free_event_field(&event_, -1));
  EXPECT_EQ(log_.lines(),
            (std::vector<std::string>{"<ERROR> Event: Cannot deallocate field 7: Unknown field",
                                      "<ERROR> Event: Cannot deallocate field -1: Unknown field"}));
  EXPECT_FALSE(apmpb_free_event(nullptr));
  EXPECT_TRUE(apmpb_free_event(std::make_unique<NanoMessageInfo>(std::move(event_))));
}

TEST_F(NanoCodecTest, CopyIsDeepAndReplacesTheDestination) {
  const fnd::Data bytes = Bytes({0x0a, 0x05, 0x0a, 0x01, 'p', 0x18, 0x07, 0x12, 0x01, 'e'});
  ASSERT_TRUE(apmpb_decode_event(bytes.data(), bytes.size(), &event_));

  auto destination = std::make_unique<NanoMessageInfo>();
  ASSERT_TRUE(apmpb_init_user_attribute(destination.get()));
  ASSERT_TRUE(apmpb_copy_event(&destination, &event_));
  ASSERT_EQ(destination->descriptor, &apmpb_event_descriptor);
  fnd::Data copied;
  ASSERT_GT(apmpb_encode_event(destination.get(), &copied), 0);
  EXPECT_EQ(copied, bytes);

  // Nothing is shared: changing the source's nested parameter leaves the copy alone.
  NanoMessageInfo* param = (*event_.field(APMPBEvent::kParams)->array()->items)[0]->message();
  nano_set_uint64(&param->slots[APMPBEventParam::kIntValue], 8);
  ASSERT_GT(apmpb_encode_event(destination.get(), &copied), 0);
  EXPECT_EQ(copied, bytes);

  EXPECT_FALSE(apmpb_copy_event(nullptr, &event_));
  EXPECT_FALSE(apmpb_copy_event(&destination, nullptr));
  EXPECT_FALSE(apmpb_copy_event_param(&destination, &event_));

  // A record whose item was never filled (a failed decode's leftover) cannot be copied.
  (*event_.field(APMPBEvent::kParams)->array()->items)[0].reset();
  EXPECT_FALSE(apmpb_copy_event(&destination, &event_));
  EXPECT_EQ(apmpb_encode_event(&event_, &copied), -1);
}

TEST_F(NanoCodecTest, DuplicateFieldsOnTheWire) {
  // Strings and sub-messages keep their first occurrence, scalars their last.
  const fnd::Data bytes = Bytes({0x12, 0x01, 'a', 0x18, 0x01, 0x12, 0x01, 'b', 0x18, 0x02});
  ASSERT_TRUE(apmpb_decode_event(bytes.data(), bytes.size(), &event_));
  EXPECT_EQ(event_.field(APMPBEvent::kName)->string()->bytes, "a");
  EXPECT_EQ(*event_.field(APMPBEvent::kTimestampMillis)->cell(), 2u);
}

TEST_F(NanoCodecTest, RepeatedSubMessagesDoNotShareFields) {
  // params {name "a", int_value 7} then params {name "b"}: nothing of the first item may appear
  // on the second.
  const fnd::Data bytes = Bytes({0x0a, 0x05, 0x0a, 0x01, 'a', 0x18, 0x07,  //
                                 0x0a, 0x03, 0x0a, 0x01, 'b'});
  ASSERT_TRUE(apmpb_decode_event(bytes.data(), bytes.size(), &event_));
  fnd::Data again;
  EXPECT_EQ(apmpb_encode_event(&event_, &again), static_cast<int32_t>(bytes.size()));
  EXPECT_EQ(again, bytes);
}

TEST_F(NanoCodecTest, ARepeatedSingleSubMessageKeepsItsFirstOccurrence) {
  // SdkResponse.snapshot (field 3) twice: {sdk_name "x"} then {sdk_name "y"}.
  const fnd::Data bytes = Bytes({0x1a, 0x03, 0x0a, 0x01, 'x', 0x1a, 0x03, 0x0a, 0x01, 'y'});
  auto response = APMPBSdkResponse::initWithBuffer(bytes);
  ASSERT_TRUE(response);
  auto snapshot = NANOGetMessage<APMPBSnapshot>(response.get(), APMPBSdkResponse::kSnapshot);
  ASSERT_TRUE(snapshot);
  EXPECT_EQ(NANOGetString(snapshot.get(), APMPBSnapshot::kSdkName), "x");
  EXPECT_EQ(response->protoBuffer(), Bytes({0x1a, 0x03, 0x0a, 0x01, 'x'}));
}

TEST_F(NanoCodecTest, DecodeStringIntoARecordWithoutBytesFails) {
  nano_set_string(&slot(APMPBEvent::kName), reinterpret_cast<const uint8_t*>("a"), 1);
  nano_free_string(slot(APMPBEvent::kName)->string());
  EXPECT_FALSE(apmpb_decode_event(Bytes({0x12, 0x01, 'b'}).data(), 3, &event_));
  ASSERT_GE(log_.lines().size(), 1u);
  EXPECT_EQ(log_.lines()[0], "<ERROR> String decoder failed: string data is NULL");
}

TEST_F(NanoCodecTest, TwoPassEncodingWithoutOutput) {
  EXPECT_EQ(nano_two_pass_encoding(apmpb_event_descriptor.nanopb_fields, nullptr, nullptr), -1);
}

}  // namespace

namespace {

TEST_F(NanoCodecTest, EncodersFilledByHandGiveTheSameBytes) {
  const fnd::Data bytes =
      Bytes({0x0a, 0x08, 0x0a, 0x01, 'p', 0x32, 0x03, 0x0a, 0x01, 'q', 0x12, 0x01, 'e'});
  ASSERT_TRUE(apmpb_decode_event(bytes.data(), bytes.size(), &event_));
  duvudiredururo_Event pb = duvudiredururo_Event_init_zero;
  ASSERT_TRUE(apmpb_set_event_encoders(&event_, &pb));
  fnd::Data out;
  EXPECT_EQ(nano_two_pass_encoding(duvudiredururo_Event_fields, &pb, &out),
            static_cast<int32_t>(bytes.size()));
  EXPECT_EQ(out, bytes);
  EXPECT_FALSE(apmpb_set_event_encoders(nullptr, &pb));
}

}  // namespace
