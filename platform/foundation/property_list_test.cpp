#include "platform/foundation/property_list.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>

#include "platform/foundation/file_system.h"
#include "platform/foundation/test_home.h"

namespace fnd {
namespace {

class PropertyListTest : public testing::Test {
 protected:
  std::string Path(const std::string& name) { return JoinPath(home_.path(), name); }
  ScopedTestHome home_;
};

Value Sample() {
  return Value(Dictionary{
      {"string", "h\u00e9llo <&> \U0001F600"},
      {"int", int64_t{-5}},
      {"big", int64_t{1} << 62},
      {"real", 1.25},
      {"yes", true},
      {"no", false},
      {"date", Date{1709622489}},
      {"data", Data{0, 1, 2, 255}},
      {"array", Array{1, "two", Array{}, Dictionary{}}},
      {"nested", Dictionary{{"z", 1}, {"a", Dictionary{{"deep", "x"}}}}},
      {"empty", ""},
  });
}

TEST_F(PropertyListTest, RoundTripsEveryKindInBothFormats) {
  for (auto format : {PropertyListFormat::kXML, PropertyListFormat::kBinary}) {
    SCOPED_TRACE(format == PropertyListFormat::kXML ? "xml" : "binary");
    Error error;
    auto data = PropertyList::ToData(Sample(), format, &error);
    ASSERT_TRUE(data) << error.description();
    PropertyListFormat seen;
    auto back = PropertyList::FromData(*data, &error, &seen);
    ASSERT_TRUE(back) << error.description();
    EXPECT_EQ(seen, format);
    EXPECT_EQ(*back, Sample());
    // Key order is kept.
    EXPECT_EQ(back->dictionary()->keys().front(), Value("string"));
  }
}

TEST_F(PropertyListTest, DatePrecision) {
  const Value date(Date{1709622489.25});
  auto bin = PropertyList::FromData(*PropertyList::ToData(date, PropertyListFormat::kBinary));
  EXPECT_EQ(*bin, date);
  auto xml = PropertyList::FromData(*PropertyList::ToData(date, PropertyListFormat::kXML));
  EXPECT_EQ(*xml, Value(Date{1709622489}));  // XML dates hold whole seconds.
  Error error;
  EXPECT_FALSE(PropertyList::ToData(Value(Date{1e12}), PropertyListFormat::kXML, &error));
  EXPECT_EQ(error.code(), PropertyList::kWriteInvalidError);
}

TEST_F(PropertyListTest, RefusesValuesAPlistCannotHold) {
  struct Case {
    const char* name;
    Value value;
  };
  const Case cases[] = {
      {"null", Value()},
      {"null in array", Value(Array{1, Value()})},
      {"int key", Value(Dictionary{{Value(1), "x"}})},
      {"typed array", Value(std::vector<int32_t>{1})},
      {"nested typed array", Value(Dictionary{{"a", Dictionary{{"b", std::vector<double>{1}}}}})},
      {"NUL in string", Value(std::string("a\0b", 3))},
      // libplist's binary writer would silently cut such a string.
      {"invalid UTF-8", Value(Array{"bad\xff"})},
      {"invalid UTF-8 key", Value(Dictionary{{"k\xc0", 1}})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Error error;
    EXPECT_FALSE(PropertyList::IsValid(c.value, &error));
    EXPECT_EQ(error.domain(), kCocoaErrorDomain);
    EXPECT_EQ(error.code(), PropertyList::kWriteInvalidError);
    EXPECT_FALSE(PropertyList::ToData(c.value));
    EXPECT_FALSE(PropertyList::WriteFile(c.value, Path("bad.plist")));
    EXPECT_FALSE(FileExists(Path("bad.plist")));
  }
  Error error;
  PropertyList::IsValid(Value(Dictionary{{"a", Dictionary{{"b", std::vector<double>{1}}}}}),
                        &error);
  EXPECT_NE(error.localizedDescription().find("a/b"), std::string::npos);
}

TEST_F(PropertyListTest, CorruptDataIsAnErrorNeverACrash) {
  auto valid = *PropertyList::ToData(Sample(), PropertyListFormat::kBinary);
  auto xml = *PropertyList::ToData(Sample(), PropertyListFormat::kXML);
  std::vector<std::string> inputs = {
      "",
      "garbage",
      "bplist00",
      "<?xml version=\"1.0\"?><plist><dict><key>a</key>",
      std::string(reinterpret_cast<const char*>(valid.data()), valid.size() / 2),
      std::string(reinterpret_cast<const char*>(xml.data()), xml.size() / 2),
  };
  // A binary array that contains itself.
  inputs.push_back(std::string("bplist00\xa1\x00\x08", 11) + std::string(6, '\0') +
                   std::string("\x01\x01", 2) + std::string(7, '\0') + "\x01" +
                   std::string(15, '\0') + "\x0a");
  // A binary dictionary whose key is an integer.
  inputs.push_back(std::string("bplist00\xd1\x01\x02\x10\x05\x10\x06\x08\x0b\x0d", 18) +
                   std::string(6, '\0') + std::string("\x01\x01", 2) + std::string(7, '\0') +
                   "\x03" + std::string(15, '\0') + "\x0f");
  // 64 arrays, each holding the previous one twice: a 200-byte file standing for 2^64 objects.
  {
    std::string bomb = "bplist00\xa0";  // Object 0: an empty array.
    std::vector<size_t> offsets = {8};
    for (int i = 1; i <= 64; ++i) {
      offsets.push_back(bomb.size());
      bomb += '\xa2';
      bomb += static_cast<char>(i - 1);
      bomb += static_cast<char>(i - 1);
    }
    const size_t table = bomb.size();
    for (size_t o : offsets) {
      bomb += static_cast<char>(o >> 8);
      bomb += static_cast<char>(o & 0xff);
    }
    bomb += std::string(6, '\0') + "\x02\x01" + std::string(7, '\0') + "\x41" +
            std::string(7, '\0') + "\x40" + std::string(6, '\0');
    bomb += static_cast<char>(table >> 8);
    bomb += static_cast<char>(table & 0xff);
    inputs.push_back(bomb);
  }
  for (const auto& input : inputs) {
    Error error;
    EXPECT_FALSE(PropertyList::FromData(input, &error)) << input;
    EXPECT_EQ(error.code(), PropertyList::kReadCorruptError);
  }
  // Found by fuzzing: objects that overlap, so that a string is used both as a value and, with an
  // embedded NUL, as a key. libplist's reader aborts the process on it.
  static const uint8_t kOverlapping[] = {
      0x62, 0x70, 0x6c, 0x69, 0x73, 0x74, 0x30, 0x30, 0xd7, 0x01, 0x03, 0x05, 0x07, 0x09,
      0x0b, 0x0d, 0x02, 0x04, 0x06, 0x08, 0x0a, 0x0c, 0x0e, 0x56, 0x73, 0x74, 0x72, 0x69,
      0x6e, 0x67, 0x65, 0x00, 0x68, 0x00, 0xe9, 0x00, 0x6c, 0x00, 0x6c, 0x00, 0x6f, 0x53,
      0x69, 0x6e, 0x74, 0x13, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xfb, 0x54, 0x72,
      0x65, 0x61, 0x6c, 0x22, 0x3f, 0xc0, 0x00, 0x00, 0x6c, 0x00, 0x6f, 0x73, 0x09, 0x54,
      0x64, 0x74, 0x33, 0x65, 0x41, 0xc5, 0x61, 0xcb, 0x7e, 0x2c, 0x80, 0x00, 0x00, 0x54,
      0x64, 0x61, 0x74, 0x61, 0x43, 0x00, 0x01, 0xff, 0x55, 0x61, 0x72, 0x72, 0x61, 0x79,
      0xa3, 0x0f, 0x10, 0x11, 0x10, 0x01, 0x53, 0x74, 0x77, 0x6f, 0xd1, 0x12, 0x13, 0x51,
      0x6b, 0x51, 0x76, 0x08, 0x17, 0x1e, 0x29, 0x2d, 0x36, 0x3b, 0x40, 0x44, 0x45, 0x4a,
      0x53, 0x58, 0x29, 0x2d, 0x36, 0x3b, 0x40, 0x44, 0x45, 0x4a, 0x53, 0x58, 0x5c, 0x62,
      0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x14, 0x00, 0x00, 0x00,
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x73,
  };
  auto overlapping = PropertyList::FromData(
      std::string_view(reinterpret_cast<const char*>(kOverlapping), sizeof kOverlapping));
  ASSERT_TRUE(overlapping);
  EXPECT_TRUE(overlapping->isDictionary());
  // Every truncation of a valid binary plist either parses or fails cleanly.
  for (size_t n = 0; n < valid.size(); ++n) {
    (void)PropertyList::FromData(Data(valid.begin(), valid.begin() + n));
  }
}

TEST_F(PropertyListTest, NestingIsCapped) {
  std::string deep = "<plist>";
  for (int i = 0; i < 2000; ++i) deep += "<array>";
  for (int i = 0; i < 2000; ++i) deep += "</array>";
  deep += "</plist>";
  Error error;
  EXPECT_FALSE(PropertyList::FromData(deep, &error));
  EXPECT_EQ(error.code(), PropertyList::kReadCorruptError);
  Value v = Array{};
  for (int i = 0; i < PropertyList::kMaxDepth + 5; ++i) v = Array{v};
  EXPECT_FALSE(PropertyList::IsValid(v));
}

TEST_F(PropertyListTest, WritesFilesAtomicallyWithTheirMode) {
  const std::string path = Path("out.plist");
  ASSERT_TRUE(PropertyList::WriteFile(Sample(), path, PropertyListFormat::kXML, 0600));
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(*PropertyList::ReadFile(path), Sample());
  ASSERT_TRUE(PropertyList::WriteFile(Value(Array{1}), path, PropertyListFormat::kBinary, 0644));
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  EXPECT_EQ(*PropertyList::ReadFile(path), Value(Array{1}));
  EXPECT_EQ(*ListDirectory(home_.path()), std::vector<std::string>{"out.plist"});  // No leftovers.

  Error error;
  EXPECT_FALSE(PropertyList::ReadFile(Path("missing.plist"), &error));
  EXPECT_EQ(error.code(), PropertyList::kFileReadNoSuchFileError);
  EXPECT_FALSE(PropertyList::WriteFile(Sample(), Path("no/such/dir/x.plist"),
                                       PropertyListFormat::kXML, 0644, &error));
  EXPECT_EQ(error.code(), PropertyList::kFileWriteUnknownError);
  ASSERT_TRUE(WriteFileAtomically(path, "not a plist"));
  EXPECT_FALSE(PropertyList::ReadFile(path, &error));
  EXPECT_EQ(error.code(), PropertyList::kReadCorruptError);
  EXPECT_EQ(error.userInfo().get(kFilePathErrorKey), Value(path));
}

TEST_F(PropertyListTest, FilesAreReadableByPlistutil) {
  const std::string path = Path("tool.plist");
  ASSERT_TRUE(PropertyList::WriteFile(Sample(), path, PropertyListFormat::kXML));
  const std::string converted = Path("tool.bin");
  const std::string command = "plistutil -i '" + path + "' -o '" + converted + "' -f bin";
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(*PropertyList::ReadFile(converted), Sample());
}

}  // namespace
}  // namespace fnd
