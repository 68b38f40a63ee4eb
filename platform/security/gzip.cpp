#include "platform/security/gzip.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <string>
#include <vector>

#include "platform/security/errors.h"

namespace security {
namespace {

constexpr const char* kDeflateOperation = "Compressing";
constexpr const char* kInflateOperation = "Inflating";

// zlib's window bits: 15 is the largest window; adding 16 selects the gzip wrapper.
constexpr int kZlibWindowBits = 15;
constexpr int kGzipWindowBits = 15 + 16;
constexpr int kMemoryLevel = 8;

// Output is produced through a bounded scratch buffer so that the result never grows past what
// was really produced.
constexpr size_t kChunkSize = 64 * 1024;

// Moves the next piece of the input (at most what an uInt counts) into the stream.
void Feed(z_stream* zs, const uint8_t** next, size_t* remaining) {
  if (zs->avail_in != 0 || *remaining == 0) return;
  size_t piece = std::min<size_t>(*remaining, UINT_MAX);
  zs->next_in = const_cast<Bytef*>(*next);  // zlib does not write through next_in.
  zs->avail_in = static_cast<uInt>(piece);
  *next += piece;
  *remaining -= piece;
}

class DeflateStream {
 public:
  int init(int level) {
    int status =
        deflateInit2(&zs_, level, Z_DEFLATED, kGzipWindowBits, kMemoryLevel, Z_DEFAULT_STRATEGY);
    live_ = status == Z_OK;
    return status;
  }
  ~DeflateStream() {
    if (live_) deflateEnd(&zs_);
  }
  z_stream* get() { return &zs_; }

 private:
  z_stream zs_{};
  bool live_ = false;
};

class InflateStream {
 public:
  int init(int windowBits) {
    int status = inflateInit2(&zs_, windowBits);
    live_ = status == Z_OK;
    return status;
  }
  ~InflateStream() {
    if (live_) inflateEnd(&zs_);
  }
  z_stream* get() { return &zs_; }

 private:
  z_stream zs_{};
  bool live_ = false;
};

}  // namespace

bool IsGzipped(std::span<const uint8_t> data) {
  return data.size() >= 2 && data[0] == 0x1f && data[1] == 0x8b;
}

bool Gzip(std::span<const uint8_t> data, int level, fnd::Data* out, fnd::Error* error) {
  out->clear();
  if (level < kDefaultCompressionLevel || level > kBestCompression) {
    return fnd::SetError(
        error, SecurityError(kErrorInvalidArgument,
                             "Compression level " + std::to_string(level) + " is outside -1...9"));
  }
  DeflateStream stream;
  z_stream* zs = stream.get();
  int status = stream.init(level);
  if (status != Z_OK) return fnd::SetError(error, ZlibError(status, zs->msg, kDeflateOperation));

  fnd::Data result;
  result.reserve(deflateBound(zs, data.size()));
  std::vector<uint8_t> chunk(kChunkSize);
  const uint8_t* next = data.data();
  size_t remaining = data.size();
  for (;;) {
    Feed(zs, &next, &remaining);
    int flush = remaining == 0 ? Z_FINISH : Z_NO_FLUSH;
    zs->next_out = chunk.data();
    zs->avail_out = static_cast<uInt>(chunk.size());
    status = deflate(zs, flush);
    // Z_BUF_ERROR only says no progress was possible in this call; the loop goes on.
    if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) {
      return fnd::SetError(error, ZlibError(status, zs->msg, kDeflateOperation));
    }
    result.insert(result.end(), chunk.data(), chunk.data() + (chunk.size() - zs->avail_out));
    if (status == Z_STREAM_END) break;
  }
  *out = std::move(result);
  return true;
}

fnd::Data Gzip(std::span<const uint8_t> data, int level) {
  fnd::Data out;
  // Failure is reported as empty data, as the header promises.
  (void)Gzip(data, level, &out);
  return out;
}

bool Gunzip(std::span<const uint8_t> data, size_t maxInflatedSize, fnd::Data* out,
            fnd::Error* error) {
  out->clear();
  if (data.empty()) {
    return fnd::SetError(
        error, SecurityError(kErrorTruncatedData, std::string(kInflateOperation) +
                                                      " failed: there is no compressed data"));
  }
  const bool gzip = IsGzipped(data);
  InflateStream stream;
  z_stream* zs = stream.get();
  int status = stream.init(gzip ? kGzipWindowBits : kZlibWindowBits);
  if (status != Z_OK) return fnd::SetError(error, ZlibError(status, zs->msg, kInflateOperation));

  fnd::Data result;
  std::vector<uint8_t> chunk(kChunkSize);
  const uint8_t* next = data.data();
  size_t remaining = data.size();
  for (;;) {
    Feed(zs, &next, &remaining);
    zs->next_out = chunk.data();
    zs->avail_out = static_cast<uInt>(chunk.size());
    status = inflate(zs, Z_NO_FLUSH);
    size_t produced = chunk.size() - zs->avail_out;
    if (produced > 0) {
      if (produced > maxInflatedSize - result.size()) {
        return fnd::SetError(
            error, SecurityError(kErrorSizeLimit, std::string(kInflateOperation) +
                                                      " failed: the data inflates to more than " +
                                                      std::to_string(maxInflatedSize) + " bytes"));
      }
      size_t needed = result.size() + produced;
      if (needed > result.capacity()) {
        // Grow geometrically, but never past the cap.
        result.reserve(std::min(maxInflatedSize, std::max(needed, result.capacity() * 2)));
      }
      result.insert(result.end(), chunk.data(), chunk.data() + produced);
    }
    if (status == Z_STREAM_END) {
      // What is left of the input starts at next_in and runs on to the end of `data`.
      std::span<const uint8_t> rest(zs->next_in, zs->avail_in + remaining);
      if (rest.empty()) break;
      if (gzip && IsGzipped(rest)) {
        status = inflateReset(zs);
        if (status != Z_OK) {
          return fnd::SetError(error, ZlibError(status, zs->msg, kInflateOperation));
        }
        continue;
      }
      return fnd::SetError(
          error, SecurityError(kErrorTrailingData, std::string(kInflateOperation) +
                                                       " failed: " + std::to_string(rest.size()) +
                                                       " bytes follow the end of the stream"));
    }
    if (status != Z_OK) {
      // Z_BUF_ERROR: no progress is possible, which with all input consumed means truncation.
      return fnd::SetError(error, ZlibError(status, zs->msg, kInflateOperation));
    }
  }
  *out = std::move(result);
  return true;
}

}  // namespace security
