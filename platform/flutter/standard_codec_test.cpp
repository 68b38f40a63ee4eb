#include "platform/flutter/standard_codec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/foundation/test_home.h"

namespace flutter {
namespace {

// "0C 01 06" -> {0x0c, 0x01, 0x06}.
fnd::Data bytes(const std::string& hex) {
  fnd::Data out;
  unsigned value = 0;
  int digits = 0;
  for (char c : hex) {
    if (c == ' ') continue;
    value = value * 16 + static_cast<unsigned>(std::stoi(std::string(1, c), nullptr, 16));
    if (++digits == 2) {
      out.push_back(static_cast<uint8_t>(value));
      value = 0;
      digits = 0;
    }
  }
  return out;
}

std::string hex(const fnd::Data& data) {
  std::string out;
  char buf[4];
  for (size_t i = 0; i < data.size(); ++i) {
    std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", data[i]);
    out += buf;
  }
  return out;
}

const FlutterStandardMessageCodec& messageCodec() {
  return *FlutterStandardMessageCodec::sharedInstance();
}
const FlutterStandardMethodCodec& methodCodec() {
  return *FlutterStandardMethodCodec::sharedInstance();
}

class StandardCodecTest : public ::testing::Test {
 protected:
  fnd::ScopedTestHome home_;
};

// Values written by hand from the published format, each checked both ways.
TEST_F(StandardCodecTest, GoldenMessages) {
  struct Case {
    const char* name;
    fnd::Value value;
    std::string bytes;
  };
  fnd::Dictionary mixedKeys;
  mixedKeys.set(1, "a");
  mixedKeys.set(fnd::Value(), true);
  mixedKeys.set(fnd::Array{2}, 2.0);
  const Case cases[] = {
      {"true", true, "01"},
      {"false", false, "02"},
      {"int32", 1, "03 01 00 00 00"},
      {"negative int32", -2, "03 FE FF FF FF"},
      {"int64 by value", int64_t{1} << 40, "04 00 00 00 00 00 01 00 00"},
      {"int64 by width", fnd::Value::Int64(5), "04 05 00 00 00 00 00 00 00"},
      {"float64 aligned from the start", 1.5, "06 00 00 00 00 00 00 00 00 00 00 00 00 00 F8 3F"},
      {"float64 after an odd offset", fnd::Array{1.5},
       "0C 01 06 00 00 00 00 00 00 00 00 00 00 00 F8 3F"},
      {"float64 after a string", fnd::Array{"a", 1.5},
       "0C 02 07 01 61 06 00 00 00 00 00 00 00 00 F8 3F"},
      {"string", "hello", "07 05 68 65 6C 6C 6F"},
      {"two-byte character", "\xC3\xA9", "07 02 C3 A9"},
      {"empty string", "", "07 00"},
      {"uint8 list", fnd::Data{1, 2, 3}, "08 03 01 02 03"},
      {"int32 list", std::vector<int32_t>{1, -2}, "09 02 00 00 01 00 00 00 FE FF FF FF"},
      {"int64 list", std::vector<int64_t>{3}, "0A 01 00 00 00 00 00 00 03 00 00 00 00 00 00 00"},
      {"float64 list", std::vector<double>{1.0}, "0B 01 00 00 00 00 00 00 00 00 00 00 00 00 F0 3F"},
      {"float32 list", std::vector<float>{1.0f}, "0E 01 00 00 00 00 80 3F"},
      {"empty float64 list", std::vector<double>{}, "0B 00 00 00 00 00 00 00"},
      {"list", fnd::Array{fnd::Value(), "a"}, "0C 02 00 07 01 61"},
      {"map with non-string keys", mixedKeys,
       "0D 03 03 01 00 00 00 07 01 61 00 01 0C 01 03 02 00 00 00 06 00 00 00 00"
       " 00 00 00 00 00 00 00 40"},
      {"empty map", fnd::Dictionary{}, "0D 00"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fnd::Error error;
    auto encoded = messageCodec().encode(c.value, &error);
    ASSERT_TRUE(encoded) << error.description();
    EXPECT_EQ(hex(*encoded), hex(bytes(c.bytes)));
    auto decoded = messageCodec().decode(bytes(c.bytes), &error);
    ASSERT_TRUE(decoded) << error.description();
    EXPECT_EQ(*decoded, c.value) << decoded->description();
  }
}

TEST_F(StandardCodecTest, IntegerWidthSurvivesDecoding) {
  auto narrow = messageCodec().decode(bytes("03 07 00 00 00"));
  ASSERT_TRUE(narrow);
  EXPECT_FALSE(narrow->isInt64());
  EXPECT_EQ(narrow->asInt(), 7);
  auto wide = messageCodec().decode(bytes("04 07 00 00 00 00 00 00 00"));
  ASSERT_TRUE(wide);
  EXPECT_TRUE(wide->isInt64());
  // Re-encoding keeps the width it was read with.
  EXPECT_EQ(hex(*messageCodec().encode(*wide)), "04 07 00 00 00 00 00 00 00");
}

TEST_F(StandardCodecTest, LargeIntegerReadsAsItsDigits) {
  auto value = messageCodec().decode(bytes("05 03 31 61 66"));
  ASSERT_TRUE(value);
  EXPECT_EQ(*value, fnd::Value("1af"));
}

TEST_F(StandardCodecTest, NullIsTheEmptyMessage) {
  EXPECT_TRUE(messageCodec().encode(fnd::Value())->empty());
  auto value = messageCodec().decode(fnd::Data{});
  ASSERT_TRUE(value);
  EXPECT_TRUE(value->isNull());
  // Inside a list null is the byte 0.
  EXPECT_EQ(hex(*messageCodec().encode(fnd::Array{fnd::Value()})), "0C 01 00");
}

TEST_F(StandardCodecTest, SizeBoundaries) {
  struct Case {
    size_t size;
    std::string header;
  };
  const Case cases[] = {
      {253, "08 FD"},
      {254, "08 FE FE 00"},
      {65535, "08 FE FF FF"},
      {65536, "08 FF 00 00 01 00"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    fnd::Data payload(c.size);
    for (size_t i = 0; i < c.size; ++i) payload[i] = static_cast<uint8_t>(i * 7);
    auto encoded = messageCodec().encode(payload);
    ASSERT_TRUE(encoded);
    fnd::Data header = bytes(c.header);
    ASSERT_EQ(encoded->size(), header.size() + c.size);
    EXPECT_EQ(hex(fnd::Data(encoded->begin(), encoded->begin() + header.size())), c.header);
    auto decoded = messageCodec().decode(*encoded);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, fnd::Value(payload));

    // The same sizes as string lengths and list counts.
    fnd::Value text(std::string(c.size, 'x'));
    auto encodedText = messageCodec().encode(text);
    ASSERT_TRUE(encodedText);
    EXPECT_EQ((*encodedText)[1], header[1]);
    EXPECT_EQ(*messageCodec().decode(*encodedText), text);
    fnd::Value list(fnd::Array(c.size, fnd::Value(true)));
    auto encodedList = messageCodec().encode(list);
    ASSERT_TRUE(encodedList);
    EXPECT_EQ(encodedList->size(), header.size() + c.size);
    EXPECT_EQ(*messageCodec().decode(*encodedList), list);
  }
}

TEST_F(StandardCodecTest, NestedValuesRoundTrip) {
  fnd::Dictionary inner{{"n", fnd::Value::Int64(-9)}, {"f", std::vector<float>{0.5f, -1.0f}}};
  fnd::Value value(fnd::Array{
      fnd::Dictionary{{"inner", inner}, {3.25, fnd::Array{}}},
      std::vector<int64_t>{INT64_MIN, INT64_MAX},
      "\xF0\x9F\x98\x80",  // A four-byte character.
      std::nan(""),
      -0.0,
  });
  auto encoded = messageCodec().encode(value);
  ASSERT_TRUE(encoded);
  auto decoded = messageCodec().decode(*encoded);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(*decoded, value);
}

TEST_F(StandardCodecTest, TheNestingLimitCountsDepthNotSiblings) {
  // 200 empty lists side by side are one level deep: far more siblings than the nesting limit.
  fnd::Data bytes{0x0c, 200};
  for (int i = 0; i < 200; ++i) bytes.insert(bytes.end(), {0x0c, 0x00});
  auto decoded = messageCodec().decode(bytes);
  ASSERT_TRUE(decoded);
  ASSERT_TRUE(decoded->isArray());
  EXPECT_EQ(decoded->array()->size(), 200u);
  EXPECT_EQ(messageCodec().encode(*decoded), bytes);
}

TEST_F(StandardCodecTest, GoldenMethodCallsAndEnvelopes) {
  auto call = methodCodec().encodeMethodCall(FlutterMethodCall("foo", fnd::Dictionary{{"a", 1}}));
  ASSERT_TRUE(call);
  EXPECT_EQ(hex(*call), "07 03 66 6F 6F 0D 01 07 01 61 03 01 00 00 00");
  auto decodedCall = methodCodec().decodeMethodCall(*call);
  ASSERT_TRUE(decodedCall);
  EXPECT_EQ(decodedCall->method(), "foo");
  EXPECT_EQ(decodedCall->arguments(), fnd::Value(fnd::Dictionary{{"a", 1}}));

  auto noArguments = methodCodec().encodeMethodCall(FlutterMethodCall("x", {}));
  ASSERT_TRUE(noArguments);
  EXPECT_EQ(hex(*noArguments), "07 01 78 00");

  EXPECT_EQ(hex(*methodCodec().encodeSuccessEnvelope("ok")), "00 07 02 6F 6B");
  EXPECT_EQ(hex(*methodCodec().encodeSuccessEnvelope(fnd::Value())), "00 00");
  // The alignment of a result counts the envelope's flag byte.
  EXPECT_EQ(hex(*methodCodec().encodeSuccessEnvelope(1.5)),
            "00 06 00 00 00 00 00 00 00 00 00 00 00 00 F8 3F");

  FlutterError plain("E", "m", fnd::Value());
  EXPECT_EQ(hex(*methodCodec().encodeErrorEnvelope(plain)), "01 07 01 45 07 01 6D 00");
  FlutterError noMessage("E", std::nullopt, fnd::Array{1});
  EXPECT_EQ(hex(*methodCodec().encodeErrorEnvelope(noMessage)),
            "01 07 01 45 00 0C 01 03 01 00 00 00");

  struct EnvelopeCase {
    const char* name;
    std::string bytes;
    fnd::Value expected;
  };
  const EnvelopeCase envelopes[] = {
      {"success", "00 07 02 6F 6B", "ok"},
      {"success null", "00 00", fnd::Value()},
      {"error", "01 07 01 45 07 01 6D 00", FlutterError::errorWithCode("E", "m")},
      {"error without message", "01 07 01 45 00 0C 01 03 01 00 00 00",
       FlutterError::errorWithCode("E", std::nullopt, fnd::Array{1})},
      {"error with null stack trace", "01 07 01 45 00 00 00", FlutterError::errorWithCode("E")},
      {"error with stack trace", "01 07 01 45 00 00 07 02 73 74",
       fnd::Value(std::make_shared<FlutterError>("E", std::nullopt, fnd::Value(), "st"))},
  };
  for (const EnvelopeCase& c : envelopes) {
    SCOPED_TRACE(c.name);
    fnd::Error error;
    auto decoded = methodCodec().decodeEnvelope(bytes(c.bytes), &error);
    ASSERT_TRUE(decoded) << error.description();
    EXPECT_EQ(*decoded, c.expected) << decoded->description();
    if (auto flutterError = FlutterError::fromValue(*decoded)) {
      // What was read writes back to the same bytes when it carried no stack trace; a stack
      // trace is written back when there is one.
      auto again = methodCodec().encodeErrorEnvelope(*flutterError);
      ASSERT_TRUE(again);
      EXPECT_EQ(*methodCodec().decodeEnvelope(*again), c.expected);
    }
  }
}

struct MalformedCase {
  const char* name;
  std::string bytes;
  FlutterCodecErrorCode code;
};

TEST_F(StandardCodecTest, MalformedMessagesAreErrors) {
  std::string tooDeep, deepest;
  for (int i = 0; i < kFlutterCodecMaxDepth; ++i) deepest += "0C 01 ";
  tooDeep = deepest + "0C 01 00";
  deepest += "00";
  const MalformedCase cases[] = {
      {"truncated int32", "03 01 00", kFlutterCodecTruncated},
      {"truncated int64", "04 01", kFlutterCodecTruncated},
      {"no type byte in a list", "0C 01", kFlutterCodecTruncated},
      {"string past the end", "07 05 61", kFlutterCodecTruncated},
      {"size marker cut off", "07 FE 01", kFlutterCodecTruncated},
      {"alignment past the end", "06", kFlutterCodecTruncated},
      {"float64 cut off", "06 00 00 00 00 00 00 00 00 00", kFlutterCodecTruncated},
      {"typed list past the end", "09 02 00 00 01 00 00 00", kFlutterCodecTruncated},
      {"huge list", "0C FF FF FF FF FF", kFlutterCodecTruncated},
      {"huge map", "0D FF FF FF FF 7F 00", kFlutterCodecTruncated},
      {"huge bytes", "08 FF FF FF FF FF 00", kFlutterCodecTruncated},
      {"huge int32 list", "09 FF FF FF FF FF", kFlutterCodecTruncated},
      {"huge float64 list", "0B FF FF FF FF FF", kFlutterCodecTruncated},
      {"huge string", "07 FF FF FF FF 7F", kFlutterCodecTruncated},
      {"map missing a value", "0D 01 00", kFlutterCodecTruncated},
      {"unknown standard byte", "0F", kFlutterCodecUnknownType},
      {"custom byte without a reader", "81 00", kFlutterCodecUnknownType},
      {"unknown byte inside a map", "0D 01 07 01 61 C8", kFlutterCodecUnknownType},
      {"trailing byte", "00 00", kFlutterCodecTrailingBytes},
      {"trailing after a list", "0C 00 01", kFlutterCodecTrailingBytes},
      {"too deep", tooDeep, kFlutterCodecTooDeep},
      {"bad continuation", "07 02 C3 28", kFlutterCodecInvalidUTF8},
      {"overlong", "07 02 C0 80", kFlutterCodecInvalidUTF8},
      {"surrogate", "07 03 ED A0 80", kFlutterCodecInvalidUTF8},
      {"past U+10FFFF", "07 04 F4 90 80 80", kFlutterCodecInvalidUTF8},
      {"cut-off character", "07 01 E2", kFlutterCodecInvalidUTF8},
      {"invalid large integer text", "05 01 FF", kFlutterCodecInvalidUTF8},
  };
  for (const MalformedCase& c : cases) {
    SCOPED_TRACE(c.name);
    fnd::Error error;
    auto decoded = messageCodec().decode(bytes(c.bytes), &error);
    EXPECT_FALSE(decoded) << decoded->description();
    EXPECT_EQ(error.domain(), kFlutterCodecErrorDomain);
    EXPECT_EQ(error.code(), c.code) << error.description();
    EXPECT_FALSE(error.localizedDescription().empty());
  }
  // One level less than the cap is fine.
  EXPECT_TRUE(messageCodec().decode(bytes(deepest)));
}

TEST_F(StandardCodecTest, RepeatedMapKeysKeepTheirFirstPlaceAndTakeTheLastValue) {
  // A small map, as bytes: {"a": 1, "b": 2, "a": 3} reads as {"a": 3, "b": 2}.
  auto small =
      messageCodec().decode(bytes("0D 03 07 01 61 03 01 00 00 00 07 01 62 03 02 00 00 00 "
                                  "07 01 61 03 03 00 00 00"));
  ASSERT_TRUE(small);
  ASSERT_TRUE(small->isDictionary());
  const fnd::Dictionary& map = *small->dictionary();
  ASSERT_EQ(map.size(), 2u);
  EXPECT_EQ(map.entries()[0], fnd::Dictionary::Entry("a", fnd::Value::Int32(3)));
  EXPECT_EQ(map.entries()[1], fnd::Dictionary::Entry("b", fnd::Value::Int32(2)));

  // A large map whose keys repeat, written entry by entry: it reads as the same pairs set in order.
  for (size_t distinct : {size_t{7}, size_t{40}, size_t{500}}) {
    SCOPED_TRACE(distinct);
    constexpr uint32_t kEntries = 600;
    fnd::Data message = bytes("0D FE");
    message.push_back(kEntries & 0xff);
    message.push_back(kEntries >> 8);
    fnd::Dictionary expected;
    for (uint32_t i = 0; i < kEntries; ++i) {
      const std::string key = "key-" + std::to_string(i % distinct);
      message.push_back(kFlutterStandardFieldString);
      message.push_back(static_cast<uint8_t>(key.size()));
      message.insert(message.end(), key.begin(), key.end());
      message.push_back(kFlutterStandardFieldInt32);
      for (int shift = 0; shift < 32; shift += 8) message.push_back((i >> shift) & 0xff);
      expected.set(key, fnd::Value::Int32(static_cast<int32_t>(i)));
    }
    auto decoded = messageCodec().decode(message);
    ASSERT_TRUE(decoded);
    ASSERT_TRUE(decoded->isDictionary());
    const fnd::Dictionary& large = *decoded->dictionary();
    ASSERT_EQ(large.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
      EXPECT_EQ(large.entries()[i], expected.entries()[i]) << i;
      EXPECT_EQ(large.get(expected.entries()[i].first), expected.entries()[i].second) << i;
    }
  }
}

TEST_F(StandardCodecTest, TextIsCheckedAtEveryLengthAndPosition) {
  // Texts of 1 to 40 bytes go through the checks by words and by bytes; a bad byte anywhere is
  // found, and a good multi-byte character anywhere passes.
  for (size_t length = 1; length <= 40; ++length) {
    for (size_t at = 0; at < length; ++at) {
      SCOPED_TRACE(testing::Message() << length << " bytes, at " << at);
      std::string bad(length, 'x');
      bad[at] = '\xFF';
      fnd::Data message = bytes("07");
      message.push_back(static_cast<uint8_t>(length));
      for (char c : bad) message.push_back(static_cast<uint8_t>(c));
      fnd::Error error;
      EXPECT_FALSE(messageCodec().decode(message, &error));
      EXPECT_EQ(error.code(), kFlutterCodecInvalidUTF8);
      EXPECT_FALSE(messageCodec().encode(fnd::Value(bad)));
      if (at + 2 <= length) {
        std::string good(length, 'x');
        good.replace(at, 2, "\xC3\xA9");
        auto encoded = messageCodec().encode(fnd::Value(good));
        ASSERT_TRUE(encoded);
        EXPECT_EQ(messageCodec().decode(*encoded), fnd::Value(good));
      }
    }
  }
}

TEST_F(StandardCodecTest, MalformedMethodCallsAndEnvelopesAreErrors) {
  const MalformedCase calls[] = {
      {"empty", "", kFlutterCodecTruncated},
      {"name is not a string", "03 01 00 00 00 00", kFlutterCodecBadMethodCall},
      {"no arguments value", "07 01 78", kFlutterCodecTruncated},
      {"trailing", "07 01 78 00 00", kFlutterCodecTrailingBytes},
  };
  for (const MalformedCase& c : calls) {
    SCOPED_TRACE(c.name);
    fnd::Error error;
    EXPECT_FALSE(methodCodec().decodeMethodCall(bytes(c.bytes), &error));
    EXPECT_EQ(error.code(), c.code) << error.description();
  }
  const MalformedCase envelopes[] = {
      {"empty", "", kFlutterCodecBadEnvelope},
      {"unknown flag", "02 00", kFlutterCodecBadEnvelope},
      {"success without value", "00", kFlutterCodecTruncated},
      {"trailing after success", "00 00 00", kFlutterCodecTrailingBytes},
      {"code is not a string", "01 00 00 00", kFlutterCodecBadEnvelope},
      {"message is not a string", "01 07 01 45 03 01 00 00 00 00", kFlutterCodecBadEnvelope},
      {"stack trace is not a string", "01 07 01 45 00 00 01", kFlutterCodecBadEnvelope},
      {"error cut short", "01 07 01 45 00", kFlutterCodecTruncated},
      {"trailing after stack trace", "01 07 01 45 00 00 00 00", kFlutterCodecTrailingBytes},
  };
  for (const MalformedCase& c : envelopes) {
    SCOPED_TRACE(c.name);
    fnd::Error error;
    EXPECT_FALSE(methodCodec().decodeEnvelope(bytes(c.bytes), &error));
    EXPECT_EQ(error.code(), c.code) << error.description();
  }
}

TEST_F(StandardCodecTest, UnencodableValuesAreErrors) {
  class Opaque : public fnd::Record {
   public:
    std::string typeName() const override { return "Opaque"; }
  };
  fnd::Value deep = 1;
  for (int i = 0; i < kFlutterCodecMaxDepth + 1; ++i) deep = fnd::Array{deep};
  struct Case {
    const char* name;
    fnd::Value value;
    FlutterCodecErrorCode code;
  };
  const Case cases[] = {
      {"date", fnd::Date{1.0}, kFlutterCodecUnsupportedValue},
      {"record", fnd::Value(std::make_shared<Opaque>()), kFlutterCodecUnsupportedValue},
      {"record in a map", fnd::Dictionary{{"k", fnd::Value(std::make_shared<Opaque>())}},
       kFlutterCodecUnsupportedValue},
      {"flutter error as a plain value", FlutterError::errorWithCode("E"),
       kFlutterCodecUnsupportedValue},
      {"invalid UTF-8", fnd::Array{std::string("\xFF")}, kFlutterCodecInvalidUTF8},
      {"too deep", deep, kFlutterCodecTooDeep},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fnd::Error error;
    EXPECT_FALSE(messageCodec().encode(c.value, &error));
    EXPECT_EQ(error.code(), c.code) << error.description();
    EXPECT_FALSE(methodCodec().encodeSuccessEnvelope(c.value));
    EXPECT_FALSE(methodCodec().encodeMethodCall(FlutterMethodCall("m", c.value)));
  }
  EXPECT_FALSE(methodCodec().encodeErrorEnvelope(FlutterError("E", "m", fnd::Date{0})));
}

// A codec of the kind channel interfaces make: records under their own type bytes.
class Point : public fnd::Record {
 public:
  Point(fnd::Value x, fnd::Value label) : x(std::move(x)), label(std::move(label)) {}
  std::string typeName() const override { return "Point"; }
  bool isEqual(const fnd::Record& other) const override {
    auto p = dynamic_cast<const Point*>(&other);
    return p && p->x == x && p->label == label;
  }
  size_t hash() const override { return x.hash() ^ label.hash(); }
  fnd::Value x, label;
};

class PointWriter : public FlutterStandardWriter {
 public:
  using FlutterStandardWriter::FlutterStandardWriter;
  void writeValue(const fnd::Value& value) override {
    if (auto point = value.recordAs<Point>()) {
      writeByte(129);
      writeValue(fnd::Array{point->x, point->label});
    } else if (value.isDate()) {
      writeByte(180);
      writeInt64(static_cast<int64_t>(value.date()->secondsSince1970 * 1000));
    } else {
      FlutterStandardWriter::writeValue(value);
    }
  }
};

class PointReader : public FlutterStandardReader {
 public:
  using FlutterStandardReader::FlutterStandardReader;
  fnd::Value readValueOfType(uint8_t type) override {
    switch (type) {
      case 129: {
        fnd::Value fields = readValue();
        if (failed()) return {};
        if (!fields.array() || fields.array()->size() != 2) {
          fail(fnd::Error::withDescription(kFlutterCodecErrorDomain, kFlutterCodecInvalidValue,
                                           "A point needs two fields"));
          return {};
        }
        return fnd::Value(std::make_shared<Point>((*fields.array())[0], (*fields.array())[1]));
      }
      case 180:
        return fnd::Date{static_cast<double>(readInt64()) / 1000.0};
      default:
        return FlutterStandardReader::readValueOfType(type);
    }
  }
};

class PointReaderWriter : public FlutterStandardReaderWriter {
 public:
  std::unique_ptr<FlutterStandardWriter> writerWithData(fnd::Data* data) const override {
    return std::make_unique<PointWriter>(data);
  }
  std::unique_ptr<FlutterStandardReader> readerWithData(
      std::span<const uint8_t> data) const override {
    return std::make_unique<PointReader>(data);
  }
};

TEST_F(StandardCodecTest, CustomRecordsNestThroughTheStandardTypes) {
  auto codec =
      FlutterStandardMessageCodec::codecWithReaderWriter(std::make_shared<PointReaderWriter>());
  fnd::Value point(std::make_shared<Point>(5, "z"));
  auto encoded = codec->encode(point);
  ASSERT_TRUE(encoded);
  EXPECT_EQ(hex(*encoded), "81 0C 02 03 05 00 00 00 07 01 7A");
  EXPECT_EQ(*codec->decode(*encoded), point);

  // Inside a map, as a key and a value, and inside another record's fields.
  fnd::Value nested(fnd::Dictionary{
      {point, fnd::Array{fnd::Value(std::make_shared<Point>(point, fnd::Date{1.5}))}}});
  auto nestedBytes = codec->encode(nested);
  ASSERT_TRUE(nestedBytes);
  auto decoded = codec->decode(*nestedBytes);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(*decoded, nested);

  // The same reader-writer serves the method codec.
  auto methods =
      FlutterStandardMethodCodec::codecWithReaderWriter(std::make_shared<PointReaderWriter>());
  auto envelope = methods->encodeSuccessEnvelope(point);
  ASSERT_TRUE(envelope);
  EXPECT_EQ(hex(*envelope), "00 81 0C 02 03 05 00 00 00 07 01 7A");
  EXPECT_EQ(*methods->decodeEnvelope(*envelope), point);

  // What the subclass refuses, and what no one knows, are errors; the standard codec does not
  // know the record at all.
  fnd::Error error;
  EXPECT_FALSE(codec->decode(bytes("81 0C 01 00"), &error));
  EXPECT_EQ(error.code(), kFlutterCodecInvalidValue);
  EXPECT_FALSE(codec->decode(bytes("82 00"), &error));
  EXPECT_EQ(error.code(), kFlutterCodecUnknownType);
  EXPECT_FALSE(codec->decode(bytes("81 0C 02 03 05 00"), &error));
  EXPECT_EQ(error.code(), kFlutterCodecTruncated);
  EXPECT_FALSE(messageCodec().encode(point, &error));
  EXPECT_EQ(error.code(), kFlutterCodecUnsupportedValue);
}

TEST_F(StandardCodecTest, RecordChainsCannotExhaustTheStack) {
  // Each 0x81 opens a record whose fields start with another record: no list ever closes.
  std::string chain;
  for (int i = 0; i < kFlutterCodecMaxRecursion; ++i) chain += "81 0C 02 ";
  auto codec =
      FlutterStandardMessageCodec::codecWithReaderWriter(std::make_shared<PointReaderWriter>());
  fnd::Error error;
  EXPECT_FALSE(codec->decode(bytes(chain + "00"), &error));
  EXPECT_EQ(error.code(), kFlutterCodecTooDeep);
}

TEST_F(StandardCodecTest, ReaderPrimitives) {
  fnd::Data data = bytes("FE 00 01 AA 00 00 00 00 00 00 00 00 00 00 F0 3F");
  FlutterStandardReader reader(data);
  EXPECT_EQ(reader.readSize(), 256u);
  EXPECT_EQ(reader.readByte(), 0xAA);
  reader.readAlignment(8);
  EXPECT_EQ(reader.position(), 8u);
  EXPECT_EQ(reader.readFloat64(), 1.0);
  EXPECT_FALSE(reader.hasMore());
  EXPECT_FALSE(reader.failed());
  // Past the end every read fails once and then returns zeros without moving.
  EXPECT_EQ(reader.readInt32(), 0);
  EXPECT_TRUE(reader.failed());
  EXPECT_EQ(reader.error().code(), kFlutterCodecTruncated);
  EXPECT_EQ(reader.readData(1), fnd::Data{});
  EXPECT_TRUE(reader.readValue().isNull());
  EXPECT_EQ(reader.position(), data.size());
}

}  // namespace
}  // namespace flutter
