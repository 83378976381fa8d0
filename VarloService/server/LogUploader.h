#pragma once
// The log-upload batcher of one collector: records gathered as compact JSON in one buffer, and
// sent as a batch (a JSON array, gzip, base64, inside the upload envelope) with a POST to
// "/pupload/syslog" or "/pupload/weblog" when the next record does not fit, when the batch text
// passes the flush threshold, when it is older than 5 s at the next record, or when the owner
// flushes. A batch is sent once and then discarded, whatever the answer: the first failure of a
// run is logged with its records' count, the rest of the run only counted until one succeeds.
// Driven by one collecting thread; the counters and the batch state are read from others.
#include <jansson.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "VarloService/server/Api.h"
#include "common/Compression.h"

class cLogUploader : public cApi {
 public:
  enum Kind { SysLog = 0, WebLog = 1 };
  static constexpr uint64_t kCapacity = 122880;
  static constexpr uint64_t kFlushThreshold = 102400;
  static constexpr int64_t kMaxBatchAgeSeconds = 5;

  cLogUploader() = default;
  ~cLogUploader();

  // Allows requests again after a Cancel, attaches the record, builds the envelope
  // ("edrDetectMode" and "edrBlockMode" only with detection on) and allocates the buffer unless
  // there is one, which keeps its batch.
  void Begin(cAgentInfo* agentInfo, int edrDetect, int edrBlock);
  // Adds one record (the caller keeps its reference): 0 when nothing was flushed, else the
  // result of the last flush made. A record too large for any batch goes out alone in one of
  // its own size. Each record is written straight into the batch, once where it fits.
  int Append(int kind, json_t* record);
  // The system-log record of one event: "ceelog" (the event's XML), "hash" (its SHA-256 hex),
  // and, when detectFilterIds is not empty, "detectFilterIds" and (when not empty)
  // "edrAgentDefenseList". A text that is not UTF-8 is left out, as the JSON library does.
  int AppendSysLog(std::string_view eventText, json_t* detectFilterIds, json_t* edrAgentDefenseList);
  // The web-log record of an access-log record: "ceelog" (the record), "hash" "...".
  int AppendWebLog(json_t* record);
  // Sends the batch: 0 for an empty one (nothing sent), else the answer's status; -1 also for a
  // batch that could not be compressed (nothing sent). The batch is empty afterwards.
  int Flush();
  // The connection closed, the envelope released, the buffer freed; unsent records are lost. A run
  // of failed uploads still going is told with its length.
  void Close();

  // The envelope (borrowed), for the owner's rewrite of the EDR members after a flush. Its last
  // member, "log", is written beside it when a batch is sent.
  json_t* Envelope() const { return m_Envelope; }

  uint32_t Lines() const { return m_Records.load(); }
  int64_t Time() const { return m_BatchStart.load(); }
  // The uploaded and failed counts since the last call, read and zeroed in one exchange each.
  uint32_t OK() { return m_Uploaded.exchange(0); }
  uint32_t Error() { return m_Failed.exchange(0); }

 private:
  // Adds the record that write(out, room) writes at out when it fits in room; write returns the
  // length the record needs, 0 when it cannot be written.
  template <class Writer>
  int AppendRecord(int kind, const Writer& write);
  template <class Writer>
  int UploadAlone(const Writer& write, uint64_t length);
  // Compresses, encodes, wraps and sends one batch text; counts its records either way.
  int Upload(const char* batchText, uint64_t length, uint32_t records);
  // The envelope text with the "log" of the compressed batch; false when it cannot be made.
  bool WriteEnvelope(const std::vector<uint8_t>& compressed, std::string& larger, const char*& text,
                     size_t& length);
  // Counts a sent batch by its answer's status, and tells of a run of failures.
  void NoteResult(int result, uint32_t records);
  void StartBatch();

  int m_Kind = SysLog;
  std::unique_ptr<char[]> m_Buffer;
  uint64_t m_Used = 0;
  std::atomic<uint32_t> m_Records{0};
  std::atomic<int64_t> m_BatchStart{0};
  json_t* m_Envelope = nullptr;       // "agentInfo" and "uploadInfo"
  json_t* m_UploadLogLine = nullptr;  // borrowed from the envelope
  cGzipCompressor m_Compressor;
  std::vector<uint8_t> m_Compressed;  // the compressed batch, its room kept
  std::atomic<uint32_t> m_Uploaded{0};
  std::atomic<uint32_t> m_Failed{0};
  uint32_t m_FailedInRow = 0;       // batches
  uint64_t m_RecordsLostInRow = 0;  // their records
};
