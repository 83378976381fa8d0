#pragma once
// Upload records grouped into batches of the uploader's size, so the cost of gzip alone can be
// timed on the very bytes a road uploads and every road's figure given as a share of it.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "VarloService/server/LogUploader.h"
#include "common/Compression.h"

class cCompressionBatches {
 public:
  // One record in its compact upload form.
  void Add(const char* compactRecord) {
    m_Batch += compactRecord;
    m_Batch += ',';
    ++m_Records;
    if (m_Batch.size() > cLogUploader::kFlushThreshold) Close();
  }

  bool Empty() const { return m_Batches.empty(); }

  // Compresses the batches round and round for the benchmark's time; returns records per second
  // of wall time.
  double Run(benchmark::State& state) {
    size_t next = 0;
    int64_t records = 0, bytes = 0;
    std::vector<uint8_t> compressed;
    const auto begin = std::chrono::steady_clock::now();
    for (auto _ : state) {
      const auto& current = m_Batches[next];
      benchmark::DoNotOptimize(
          GzipCompress(current.first.data(), current.first.size(), compressed));
      records += current.second;
      bytes += static_cast<int64_t>(current.first.size());
      if (++next == m_Batches.size()) next = 0;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    state.SetItemsProcessed(records);
    state.SetBytesProcessed(bytes);
    return seconds > 0 ? static_cast<double>(records) / seconds : 0;
  }

 private:
  void Close() {
    m_Batch.back() = ']';
    m_Batches.emplace_back(m_Batch, m_Records);
    m_Batch = "[";
    m_Records = 0;
  }

  std::vector<std::pair<std::string, int>> m_Batches;  // text, records
  std::string m_Batch = "[";
  int m_Records = 0;
};
