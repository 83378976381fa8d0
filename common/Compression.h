#pragma once
// gzip of upload batches, and zlib-or-gzip inflation of what the server sends.
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

// One gzip stream of the whole input (window bits 31, default level, memory level 8, default
// strategy, one Z_FINISH). The output is sized with deflateBound, so it always completes.
// 0; -1 input too large for one call; -2 zlib could not start; -3 the stream did not finish.
int GzipCompress(const void* data, uint64_t length, std::vector<uint8_t>& compressed);

// The same streams from a compressor that keeps its state from one to the next, for a batcher
// that compresses batch after batch: its memory is made once, not for every batch.
class cGzipCompressor {
 public:
  cGzipCompressor() = default;
  ~cGzipCompressor();
  cGzipCompressor(const cGzipCompressor&) = delete;
  cGzipCompressor& operator=(const cGzipCompressor&) = delete;

  // As GzipCompress; compressed keeps its room.
  int Compress(const void* data, uint64_t length, std::vector<uint8_t>& compressed);

 private:
  z_stream m_Stream{};
  bool m_Started = false;
};

// Receives each inflated chunk; false stops with a failure (for example a short write).
using InflateSink = std::function<bool(const uint8_t* chunk, size_t length)>;

// Inflates a zlib or gzip stream (window bits 47) in 16,384-byte chunks, stopping at the first
// chunk that comes back with room left; the stream's end is not demanded. Returns the count of
// inflated bytes, 0 on any failure (chunks already given to the sink stay given).
uint32_t Inflate(const void* data, uint32_t length, const InflateSink& sink);

// Inflate into an open file, at most maxInflated bytes: a short write is a failure, and so is a
// stream that inflates to more (which sets tooLarge).
uint32_t InflateToFile(const void* data, uint32_t length, FILE* file, uint32_t maxInflated, bool& tooLarge);

// Base64 text of a compressed stream into a text-mode file (line feeds stored as CR LF), of at
// most maxInflated inflated bytes. Returns the inflated byte count; on 0 (nothing decodes, nothing
// inflates, no file, or more than maxInflated bytes, which sets tooLarge) no file is left.
uint32_t DecodeToFile(const char* text, int32_t textLength, const std::string& path, uint32_t maxInflated,
                      bool& tooLarge);
