#pragma once
// The web-log collector: one worker thread follows the web-server module's hourly access-log
// files ("C:\ModVarlo\logs\%Y%m%d%H-json.log", one JSON object per line), tests each new record
// against the upload exceptions, the WAF exceptions and the web filters, masks the records that
// carry no detection, and hands the records to its own batcher for "/pupload/weblog".
// The service thread starts and stops the worker, hands it rule lists through pending slots and
// asks for status lines; everything that touches records runs on the worker.
#include <jansson.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "VarloService/server/LogUploader.h"
#include "VarloService/webfilter/ExceptList.h"
#include "VarloService/webfilter/FilterSet.h"
#include "VarloService/webfilter/LogMask.h"
#include "VarloService/webfilter/WebRecord.h"
#include "VarloService/weblog/LineReader.h"
#include "VarloService/weblog/PendingSlot.h"
#include "platform/Files.h"

class cAgentInfo;

constexpr char kWebLogFolder[] = "C:\\ModVarlo\\logs\\";

class cWebLogSvc {
 public:
  static constexpr uint32_t kWakeMs = 6000;
  static constexpr int64_t kHourSeconds = 3600;
  static constexpr int64_t kBatchAgeSeconds = 5;
  // The longest access-log line taken as a record: far beyond what the module writes for one
  // request, and small enough that the line, its record and the upload that carries it stay a
  // few MB. A longer line is passed over without being held.
  static constexpr size_t kLongestLine = 4 * 1024 * 1024;

  // wakeMs: the longest rest of the worker between two cycles.
  explicit cWebLogSvc(uint32_t wakeMs = kWakeMs) : m_WakeMs(wakeMs) {}
  ~cWebLogSvc() { Stop(); }
  cWebLogSvc(const cWebLogSvc&) = delete;
  cWebLogSvc& operator=(const cWebLogSvc&) = delete;

  // Connects the batcher to the "UploadWeb" endpoint and starts the worker: 0; 1 when already
  // running (nothing else happens).
  int Start(cAgentInfo* agentInfo);
  // Stops and joins the worker, then closes the batcher: unsent records, a batch in flight and
  // pending lists are dropped. Nothing when not running.
  void Stop();
  bool Running() const { return m_Running.load(); }

  // Each takes over the value's reference; a value not taken yet is replaced, and null only drops
  // what is pending.
  void SetLogMask(json_t* list) { m_PendingMask.Set(list); }
  void SetWebFilter(json_t* list) { m_PendingWebFilter.Set(list); }
  void SetWafExcept(json_t* list) { m_PendingWaf.Set(list); }
  void SetUploadExcept(json_t* list) { m_PendingUploadExcept.Set(list); }

  // The status lines (always 0).
  int Print();

  // The byte offset in the current file from which the next cycle reads.
  int64_t Cursor() const { return m_Cursor.load(); }

  // Worker steps, also run by tests while no worker runs.
  // Takes the current hour's file, read from its present end on, and awaits the next one. 0.
  int InitFile();
  // Moves to the next hour's file once it exists, or gives that hour up an hour after it began:
  // 1 when the awaited hour advanced, else 0.
  int RotateFile();
  const std::string& File() const { return m_File; }
  const std::string& NextFile() const { return m_NextFile; }
  int64_t NextHour() const { return m_NextHour; }

 private:
  // What the worker reuses for every line of its life; only ever grown.
  struct cLineBuffers {
    cLineReader lines{kLongestLine};
    WebDecodeBuffers decoding;
  };

  void SvcLoop();
  // Moves lists handed over since the last cycle into the rule sets.
  void TakePendingLists();
  // Reads and handles the whole lines added to the current file since the cursor; a file that the
  // module deleted or made anew is read to its end first, and the one now under the name from
  // its first byte.
  void ReadNewLines(cLineBuffers& buffers);
  // Reads the rest of the followed file and lets it go: the next file under the name is new.
  void LeaveFollowedFile(cLineBuffers& buffers);
  // Reads and handles the whole lines of file from the cursor on; a line too long to take is
  // passed over and logged once.
  void ReadLines(std::istream& file, cLineBuffers& buffers);
  // Places the cursor at a line's start in the current file; a line that was being passed over is
  // left, and logged.
  void MoveCursor(int64_t offset);
  void LeaveLongLine();
  void HandleRecord(json_t* record, WebDecodeBuffers& decoding);

  cLogUploader m_U;
  std::thread m_Thread;
  std::mutex m_WakeMutex;
  std::condition_variable m_WakeCond;
  std::atomic<bool> m_Running{false};
  const uint32_t m_WakeMs;
  cLogMask m_LogMask;
  cPendingSlot m_PendingMask;
  webfilter::cFilterSet m_FE;
  cPendingSlot m_PendingWebFilter;
  webfilter::cExceptList m_FEx{webfilter::cExceptList::kBlockOnly};
  cPendingSlot m_PendingWaf;
  webfilter::cExceptList m_UFE{webfilter::cExceptList::kSelectExcept};
  cPendingSlot m_PendingUploadExcept;
  std::string m_File;
  std::string m_NextFile;
  int64_t m_NextHour = 0;
  // Wider than the offsets of a 32-bit cursor, so a file past 2 GiB is still read where it stands.
  std::atomic<int64_t> m_Cursor{0};
  // Where the line too long to take that the cursor is passing over began; -1 when none is.
  int64_t m_LongLineFrom = -1;
  // The file that the cursor is in, held open between cycles: while it is held, no file made anew
  // under its name can take its identity, so such a file is always known for another.
  std::unique_ptr<platform::cInputFile> m_Followed;
};
