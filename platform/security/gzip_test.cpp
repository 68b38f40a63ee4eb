#include "platform/security/gzip.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/security/errors.h"
#include "platform/security/hex.h"

namespace security {
namespace {

fnd::Data Bytes(std::string_view text) { return fnd::Data(text.begin(), text.end()); }

fnd::Data FromHex(std::string_view hex) {
  fnd::Data bytes;
  EXPECT_TRUE(ParseHex(hex, &bytes));
  return bytes;
}

fnd::Data Concat(fnd::Data a, const fnd::Data& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// About 1 MB of repetitive text, like a log or a batch of similar records.
fnd::Data Compressible() {
  std::string text;
  for (int i = 0; text.size() < (1 << 20); ++i) {
    text += "event=screen_view session=" + std::to_string(i % 97) + " engaged=true\n";
  }
  return Bytes(text);
}

// Bytes that deflate cannot shrink, from a fixed-seed generator.
fnd::Data Incompressible(size_t size) {
  fnd::Data bytes(size);
  uint32_t state = 0x12345678;
  for (uint8_t& b : bytes) {
    state = state * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(state >> 24);
  }
  return bytes;
}

fnd::Data Zlib(const fnd::Data& data) {
  uLongf size = compressBound(data.size());
  fnd::Data out(size);
  EXPECT_EQ(compress2(out.data(), &size, data.data(), data.size(), Z_BEST_COMPRESSION), Z_OK);
  out.resize(size);
  return out;
}

// Gunzip with the output size as the cap; fails the test on error.
fnd::Data MustGunzip(const fnd::Data& compressed, size_t cap = SIZE_MAX) {
  fnd::Data out;
  fnd::Error error;
  EXPECT_TRUE(Gunzip(compressed, cap, &out, &error)) << error.description();
  return out;
}

TEST(GzipTest, KnownAnswers) {
  // Header 1f 8b, deflate, no flags, time 0, no extra flags, OS 3 (Unix); CRC-32 and length.
  EXPECT_EQ(HexString(Gzip(Bytes("abc"))), "1f8b08000000000000034b4c4a0600c241243503000000");
  EXPECT_EQ(HexString(Gzip(fnd::Data{})), "1f8b080000000000000303000000000000000000");
  EXPECT_EQ(MustGunzip(FromHex("1f8b08000000000000034b4c4a0600c241243503000000")), Bytes("abc"));
  EXPECT_EQ(MustGunzip(FromHex("789c4b4c4a0600024d0127")), Bytes("abc"));  // zlib stream
}

TEST(GzipTest, RoundTrip) {
  struct Case {
    const char* name;
    fnd::Data data;
  };
  const std::vector<Case> cases = {
      {"empty", {}},
      {"one byte", {0x00}},
      {"text", Bytes("The quick brown fox jumps over the lazy dog")},
      {"1 MB compressible", Compressible()},
      {"incompressible", Incompressible(200000)},
  };
  for (const Case& c : cases) {
    for (int level : {kDefaultCompressionLevel, kNoCompression, kBestSpeed, kBestCompression}) {
      SCOPED_TRACE(std::string(c.name) + " at level " + std::to_string(level));
      fnd::Data compressed;
      fnd::Error error;
      ASSERT_TRUE(Gzip(c.data, level, &compressed, &error)) << error.description();
      EXPECT_TRUE(IsGzipped(compressed));
      EXPECT_EQ(MustGunzip(compressed, c.data.size()), c.data);
    }
  }
  // Compression really happens.
  const fnd::Data text = Compressible();
  EXPECT_LT(Gzip(text).size(), text.size() / 20);
}

TEST(GzipTest, RejectsLevelsOutsideTheRange) {
  for (int level : {-2, 10, 100}) {
    SCOPED_TRACE(level);
    fnd::Data out = {1};
    fnd::Error error;
    EXPECT_FALSE(Gzip(Bytes("abc"), level, &out, &error));
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(error.domain(), kErrorDomain);
    EXPECT_EQ(error.code(), kErrorInvalidArgument);
    EXPECT_TRUE(Gzip(Bytes("abc"), level).empty());
  }
}

TEST(GzipTest, IsGzipped) {
  struct Case {
    const char* hex;
    bool gzipped;
  };
  const Case cases[] = {
      {"", false},     {"1f", false},   {"1f8b", true},  {"1f8b0800", true},
      {"8b1f", false}, {"789c", false}, {"1f8c", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsGzipped(FromHex(c.hex)), c.gzipped) << c.hex;
  }
}

TEST(GzipTest, AcceptsZlibStreams) {
  const fnd::Data text = Compressible();
  EXPECT_EQ(MustGunzip(Zlib(text), text.size()), text);
  EXPECT_EQ(MustGunzip(Zlib({})), fnd::Data{});
}

TEST(GzipTest, ConcatenatedMembersInflateToTheConcatenation) {
  const fnd::Data a = Bytes("first member\n");
  const fnd::Data b = Incompressible(70000);
  const fnd::Data both = Concat(Gzip(a), Gzip(b));
  EXPECT_EQ(MustGunzip(both), Concat(a, b));
  EXPECT_EQ(MustGunzip(Concat(Gzip({}), Gzip(a))), a);
}

// A few kilobytes of gzip that inflate to 16 MB: the cap must stop it early and hold no more
// than the cap.
TEST(GzipTest, CapOnInflatedSize) {
  const fnd::Data zeros(16 << 20, 0);
  const fnd::Data bomb = Gzip(zeros, kBestCompression);
  ASSERT_LT(bomb.size(), 64u << 10);
  const fnd::Data zlibBomb = Zlib(zeros);
  const fnd::Data twoMembers = Concat(Gzip(Bytes("abc")), Gzip(Bytes("def")));

  struct Case {
    const char* name;
    const fnd::Data& input;
    size_t cap;
    bool ok;
  };
  const fnd::Data empty = Gzip({});
  const fnd::Data one = Gzip(Bytes("a"));
  const Case cases[] = {
      {"gzip bomb, 1 MB cap", bomb, 1 << 20, false},
      {"gzip bomb, cap one short", bomb, zeros.size() - 1, false},
      {"gzip bomb, exact cap", bomb, zeros.size(), true},
      {"zlib bomb, 1 MB cap", zlibBomb, 1 << 20, false},
      {"zlib bomb, exact cap", zlibBomb, zeros.size(), true},
      {"empty content, cap 0", empty, 0, true},
      {"one byte, cap 0", one, 0, false},
      {"one byte, cap 1", one, 1, true},
      {"two members, cap covers the first only", twoMembers, 4, false},
      {"two members, exact cap", twoMembers, 6, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fnd::Data out;
    fnd::Error error;
    ASSERT_EQ(Gunzip(c.input, c.cap, &out, &error), c.ok) << error.description();
    EXPECT_LE(out.capacity(), c.cap);
    if (c.ok) {
      EXPECT_EQ(out.size(), c.cap);
    } else {
      EXPECT_TRUE(out.empty());
      EXPECT_EQ(error.domain(), kErrorDomain);
      EXPECT_EQ(error.code(), kErrorSizeLimit);
    }
  }
}

TEST(GzipTest, EveryTruncationIsAnError) {
  const fnd::Data text = Bytes(std::string(3000, 'x') + "end of the text");
  for (const fnd::Data& whole : {Gzip(text), Zlib(text), Gzip(Incompressible(3000))}) {
    for (size_t length = 0; length < whole.size(); ++length) {
      fnd::Data prefix(whole.begin(), whole.begin() + length);
      fnd::Data out;
      fnd::Error error;
      EXPECT_FALSE(Gunzip(prefix, SIZE_MAX, &out, &error)) << "length " << length;
      EXPECT_TRUE(out.empty());
      EXPECT_EQ(error.code(), kErrorTruncatedData) << "length " << length;
    }
  }
}

TEST(GzipTest, CorruptInputIsAnError) {
  const fnd::Data good = Gzip(Bytes("hello hello hello hello, a line worth compressing"));
  auto mutate = [&good](size_t offset, uint8_t value) {
    fnd::Data bad = good;
    bad[offset] = value;
    return bad;
  };
  auto flip = [&good](size_t fromEnd) {
    fnd::Data bad = good;
    bad[bad.size() - fromEnd] ^= 0x01;
    return bad;
  };
  fnd::Data zlibBadChecksum = Zlib(Bytes("some text"));
  zlibBadChecksum.back() ^= 0x01;
  struct Case {
    const char* name;
    fnd::Data input;
  };
  const std::vector<Case> cases = {
      {"not compressed at all", Bytes("plain text, no stream here")},
      {"unknown compression method", mutate(2, 0x07)},
      {"reserved header flags", mutate(3, 0xe0)},
      {"reserved deflate block type", mutate(10, 0x07)},
      {"first magic byte damaged", mutate(0, 0x1e)},
      {"CRC-32 mismatch", flip(8)},
      {"length mismatch", flip(4)},
      {"zlib checksum mismatch", zlibBadChecksum},
      {"zlib stream asking for a preset dictionary", FromHex("78bb0000000103000000000001")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fnd::Data out = {1};
    fnd::Error error;
    EXPECT_FALSE(Gunzip(c.input, SIZE_MAX, &out, &error));
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(error.domain(), kErrorDomain);
    EXPECT_EQ(error.code(), kErrorCorruptData) << error.description();
  }
}

TEST(GzipTest, TrailingBytesAreAnError) {
  const fnd::Data gzip = Gzip(Bytes("payload"));
  const fnd::Data zlib = Zlib(Bytes("payload"));
  struct Case {
    const char* name;
    fnd::Data input;
    int64_t code;
  };
  const std::vector<Case> cases = {
      {"gzip + text", Concat(gzip, Bytes("x")), kErrorTrailingData},
      {"gzip + zeros", Concat(gzip, fnd::Data(4, 0)), kErrorTrailingData},
      {"gzip + half a magic", Concat(gzip, {0x1f}), kErrorTrailingData},
      {"gzip + a truncated member", Concat(gzip, {0x1f, 0x8b}), kErrorTruncatedData},
      {"zlib + text", Concat(zlib, Bytes("x")), kErrorTrailingData},
      {"zlib + zlib", Concat(zlib, zlib), kErrorTrailingData},
      {"zlib + gzip", Concat(zlib, gzip), kErrorTrailingData},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fnd::Data out = {1};
    fnd::Error error;
    EXPECT_FALSE(Gunzip(c.input, SIZE_MAX, &out, &error));
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(error.code(), c.code) << error.description();
  }
}

// Our output is read by the gzip command and its output by us, through files.
class GzipInteropTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "security-gzip-XXXXXX");
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;  // A leftover temporary folder is not worth failing a test.
    std::filesystem::remove_all(dir_, ignored);
  }

  std::string path(const char* name) const { return (dir_ / name).string(); }

  static void Write(const std::string& path, const fnd::Data& data) {
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char*>(data.data()),
               static_cast<std::streamsize>(data.size()));
    ASSERT_TRUE(file.good());
  }
  static fnd::Data Read(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return fnd::Data(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  }
  static int Run(const std::string& command) { return std::system(command.c_str()); }

  std::filesystem::path dir_;
};

TEST_F(GzipInteropTest, GzipCommandReadsOurOutput) {
  for (const fnd::Data& data : {fnd::Data{}, Compressible(), Incompressible(100000)}) {
    Write(path("ours.gz"), Gzip(data));
    ASSERT_EQ(Run("gzip -t '" + path("ours.gz") + "'"), 0);
    ASSERT_EQ(Run("gzip -dc '" + path("ours.gz") + "' > '" + path("plain") + "'"), 0);
    EXPECT_EQ(Read(path("plain")), data);
  }
}

TEST_F(GzipInteropTest, WeReadTheGzipCommandsOutput) {
  for (const fnd::Data& data : {fnd::Data{}, Compressible(), Incompressible(100000)}) {
    for (const char* level : {"-1", "-9"}) {
      Write(path("plain"), data);
      ASSERT_EQ(Run(std::string("gzip -c ") + level + " '" + path("plain") + "' > '" +
                    path("theirs.gz") + "'"),
                0);
      // The command stores the file name and time in the header; both must be skipped.
      EXPECT_EQ(MustGunzip(Read(path("theirs.gz")), data.size()), data);
    }
  }
}

}  // namespace
}  // namespace security
