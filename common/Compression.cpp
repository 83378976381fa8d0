#include "common/Compression.h"

#include <spdlog/spdlog.h>

#include <climits>
#include <cstdio>

#include "common/Base64.h"
#include "platform/Files.h"

namespace {

constexpr int kGzipWindowBits = 31;
constexpr int kZlibOrGzipWindowBits = 47;
constexpr int kMemoryLevel = 8;
constexpr size_t kInflateChunk = 16384;

}  // namespace

int GzipCompress(const void* data, uint64_t length, std::vector<uint8_t>& compressed) {
  cGzipCompressor compressor;
  return compressor.Compress(data, length, compressed);
}

cGzipCompressor::~cGzipCompressor() {
  if (m_Started) deflateEnd(&m_Stream);
}

int cGzipCompressor::Compress(const void* data, uint64_t length, std::vector<uint8_t>& compressed) {
  compressed.clear();
  if (length > UINT_MAX) return -1;
  if (m_Started) {
    if (deflateReset(&m_Stream) != Z_OK) return -2;
  } else if (deflateInit2(&m_Stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, kGzipWindowBits, kMemoryLevel,
                          Z_DEFAULT_STRATEGY) == Z_OK) {
    m_Started = true;
  } else {
    return -2;
  }
  compressed.resize(deflateBound(&m_Stream, static_cast<uLong>(length)));
  m_Stream.next_in = const_cast<Bytef*>(static_cast<const Bytef*>(data));
  m_Stream.avail_in = static_cast<uInt>(length);
  m_Stream.next_out = compressed.data();
  m_Stream.avail_out = static_cast<uInt>(compressed.size());
  const int result = deflate(&m_Stream, Z_FINISH);
  compressed.resize(m_Stream.total_out);
  if (result != Z_STREAM_END) {
    compressed.clear();
    return -3;
  }
  return 0;
}

uint32_t Inflate(const void* data, uint32_t length, const InflateSink& sink) {
  z_stream stream{};
  stream.next_in = const_cast<Bytef*>(static_cast<const Bytef*>(data));
  stream.avail_in = length;
  if (inflateInit2(&stream, kZlibOrGzipWindowBits) != Z_OK) return 0;
  uint8_t chunk[kInflateChunk];
  bool failed = false;
  do {
    stream.next_out = chunk;
    stream.avail_out = kInflateChunk;
    if (inflate(&stream, Z_NO_FLUSH) < 0) {
      failed = true;
      break;
    }
    const size_t produced = kInflateChunk - stream.avail_out;
    if (produced && !sink(chunk, produced)) {
      failed = true;
      break;
    }
  } while (stream.avail_out == 0);
  const uint32_t total = static_cast<uint32_t>(stream.total_out);
  inflateEnd(&stream);
  return failed ? 0 : total;
}

uint32_t InflateToFile(const void* data, uint32_t length, FILE* file, uint32_t maxInflated, bool& tooLarge) {
  tooLarge = false;
  uint64_t written = 0;
  return Inflate(data, length, [&](const uint8_t* chunk, size_t size) {
    written += size;
    if (written > maxInflated) {
      tooLarge = true;
      return false;
    }
    return std::fwrite(chunk, 1, size, file) == size;
  });
}

uint32_t DecodeToFile(const char* text, int32_t textLength, const std::string& path, uint32_t maxInflated,
                      bool& tooLarge) {
  tooLarge = false;
  if (!text || textLength < 0) return 0;
  std::vector<uint8_t> decoded(static_cast<size_t>(textLength));
  uint64_t decodedLength = decoded.size();
  if (Base64Decode(text, textLength, decoded.data(), decodedLength) != 0) return 0;
  FILE* file = platform::OpenFile(path, "w");
  if (!file) {
    SPDLOG_ERROR("{} not written: {}", path, GetLastError());
    return 0;
  }
  uint32_t inflated = InflateToFile(decoded.data(), static_cast<uint32_t>(decodedLength), file, maxInflated, tooLarge);
  // A failed flush at close loses the tail: that is a short write too.
  if (std::fclose(file) != 0) inflated = 0;
  if (inflated == 0) platform::DeletePath(path);
  return inflated;
}
