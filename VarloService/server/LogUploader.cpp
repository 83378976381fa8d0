#include "VarloService/server/LogUploader.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "VarloService/server/RecordWriter.h"
#include "common/Base64.h"
#include "common/Sha256.h"
#include "platform/Clock.h"
#include "platform/TextConv.h"

namespace {
const wchar_t* const kUploadPaths[] = {L"/pupload/syslog", L"/pupload/weblog"};
}

cLogUploader::~cLogUploader() { Close(); }

void cLogUploader::Begin(cAgentInfo* agentInfo, int edrDetect, int edrBlock) {
  ResumeRequests();
  SetAgentInfo(agentInfo);
  json_t* agent = json_object();
  json_object_set_new(agent, "agentType", String(agentInfo->m_AgentType));
  json_object_set_new(agent, "agentVersion", String(agentInfo->m_AgentVersion));
  json_object_set(agent, "agentIpKey", m_IpKey);
  json_object_set_new(agent, "agentLicenseKey", String(agentInfo->m_LicenseKey));
  json_object_set_new(agent, "agentIp", String(agentInfo->m_IpAddr));
  json_object_set_new(agent, "agentHostname", String(agentInfo->m_HostName));
  if (edrDetect) {
    json_object_set_new(agent, "edrDetectMode", json_string("agent"));
    json_object_set_new(agent, "edrBlockMode", json_string(edrBlock ? "block" : "detect"));
  }
  m_UploadLogLine = json_integer(0);
  json_t* upload = json_object();
  json_object_set(upload, "logServerIpKey", m_IpKey);
  json_object_set_new(upload, "logServerIp", String(agentInfo->m_IpAddr));
  json_object_set_new(upload, "compressType", json_string("zip"));
  json_object_set_new(upload, "uploadLogLine", m_UploadLogLine);
  json_decref(m_Envelope);
  m_Envelope = json_object();
  json_object_set_new(m_Envelope, "agentInfo", agent);
  json_object_set_new(m_Envelope, "uploadInfo", upload);
  if (!m_Buffer) {
    m_Buffer.reset(new char[kCapacity]);
    StartBatch();
  }
}

void cLogUploader::StartBatch() {
  m_Buffer[0] = '[';
  m_Used = 1;
  m_Records = 0;
  m_BatchStart = 0;
}

template <class Writer>
int cLogUploader::AppendRecord(int kind, const Writer& write) {
  if (!m_Buffer || (kind != SysLog && kind != WebLog)) return -1;
  m_Kind = kind;
  int result = 0;
  uint64_t room = kCapacity - m_Used - 1;  // one byte stays for the ","
  const size_t length = write(m_Buffer.get() + m_Used, room);
  if (length == 0) return -1;  // not serialisable
  if (length > room) {
    result = Flush();
    room = kCapacity - m_Used - 1;
    if (length > room) return UploadAlone(write, length);
    write(m_Buffer.get() + m_Used, room);
  }
  m_Used += length;
  ++m_Records;
  m_Buffer[m_Used++] = ',';
  int64_t now = platform::Clock().Now();
  if (m_BatchStart == 0) {
    m_BatchStart = now;
  } else if (now - m_BatchStart > kMaxBatchAgeSeconds || m_Used > kFlushThreshold) {
    result = Flush();
  }
  return result;
}

// The batch of one record that is larger than the buffer.
template <class Writer>
int cLogUploader::UploadAlone(const Writer& write, uint64_t length) {
  int result = -1;
  try {
    std::string batch(length + 2, '[');
    write(batch.data() + 1, length);
    batch.back() = ']';
    result = Upload(batch.data(), batch.size(), 1);
  } catch (const std::bad_alloc&) {
    ++m_Failed;
  }
  if (result != 0) SPDLOG_ERROR("record of {} bytes not uploaded: {}", length, result);
  StartBatch();  // the buffer served for the upload
  return result;
}

int cLogUploader::Append(int kind, json_t* record) {
  return AppendRecord(kind,
                      [record](char* out, size_t room) { return json_dumpb(record, out, room, JSON_COMPACT); });
}

int cLogUploader::AppendSysLog(std::string_view eventText, json_t* detectFilterIds, json_t* edrAgentDefenseList) {
  char hash[SHA256_HEX_CHARS];
  Sha256Hex(eventText.data(), eventText.size(), hash);
  const bool detected = json_array_size(detectFilterIds) > 0;
  const bool responded = detected && json_array_size(edrAgentDefenseList) > 0;
  return AppendRecord(SysLog, [&](char* out, size_t room) -> size_t {
    cRecordWriter record(out, room);
    record.Put("{\"ceelog\":");
    if (record.PutString(eventText)) {
      record.Put(',');
    } else {
      record = cRecordWriter(out, room);  // refused as a JSON string: the record goes without it
      record.Put('{');
    }
    record.Put("\"hash\":\"");
    record.Put(std::string_view(hash, SHA256_HEX_CHARS));
    record.Put('"');
    if (detected) {
      record.Put(",\"detectFilterIds\":");
      if (!record.PutJson(detectFilterIds)) return 0;
    }
    if (responded) {
      record.Put(",\"edrAgentDefenseList\":");
      if (!record.PutJson(edrAgentDefenseList)) return 0;
    }
    record.Put('}');
    return record.Length();
  });
}

int cLogUploader::AppendWebLog(json_t* record) {
  return AppendRecord(WebLog, [record](char* out, size_t room) -> size_t {
    cRecordWriter upload(out, room);
    upload.Put("{\"ceelog\":");
    if (!upload.PutJson(record)) return 0;
    upload.Put(",\"hash\":\"...\"}");
    return upload.Length();
  });
}

int cLogUploader::Flush() {
  uint32_t records = m_Records;
  if (records == 0) return 0;
  m_Buffer[m_Used - 1] = ']';
  int result = Upload(m_Buffer.get(), m_Used, records);
  StartBatch();
  return result;
}

bool cLogUploader::WriteEnvelope(const std::vector<uint8_t>& compressed, std::string& larger, const char*& text,
                                 size_t& length) {
  // The members but "log" as the JSON library writes them, the closing brace left for "log", the
  // last member, whose base64 text needs no escape. The batch text is no longer needed: the buffer
  // takes the envelope, or a larger one does.
  constexpr std::string_view kLogOpen = ",\"log\":\"";
  constexpr std::string_view kLogClose = "\"}";
  char* out = m_Buffer.get();
  const size_t members = json_dumpb(m_Envelope, out, kCapacity, JSON_COMPACT);
  if (members == 0) return false;
  uint64_t encoded = Base64EncodedLength(compressed.size());
  length = members - 1 + kLogOpen.size() + encoded + kLogClose.size();
  if (length > kCapacity) {
    larger.resize(length);
    out = larger.data();
    json_dumpb(m_Envelope, out, members, JSON_COMPACT);
  }
  char* at = std::copy(kLogOpen.begin(), kLogOpen.end(), out + members - 1);
  Base64Encode(compressed.data(), compressed.size(), at, encoded);
  std::copy(kLogClose.begin(), kLogClose.end(), at + encoded);
  text = out;
  return true;
}

int cLogUploader::Upload(const char* batchText, uint64_t length, uint32_t records) {
  try {
    if (m_Compressor.Compress(batchText, length, m_Compressed) != 0 || m_Compressed.empty()) {
      SPDLOG_ERROR("batch of {} records not compressed, not sent", records);
      m_Failed += records;
      return -1;
    }
    json_integer_set(m_UploadLogLine, records);
    std::string larger;
    const char* envelope = nullptr;
    size_t envelopeLength = 0;
    json_t* answer = WriteEnvelope(m_Compressed, larger, envelope, envelopeLength)
                         ? Request(kUploadPaths[m_Kind], VerbPost, envelope,
                                   static_cast<uint32_t>(envelopeLength), kUploadAnswer)
                         : nullptr;
    int result = CheckReturnCode(answer);
    json_decref(answer);
    NoteResult(result, records);
    return result;
  } catch (const std::bad_alloc&) {
    SPDLOG_ERROR("batch of {} records not sent: out of memory", records);
    m_Failed += records;
    return -1;
  }
}

void cLogUploader::NoteResult(int result, uint32_t records) {
  const std::string path = WideToUtf8(kUploadPaths[m_Kind]);
  if (result == 0) {
    m_pAgentInfo->m_UploadTime.store(static_cast<uint64_t>(platform::Clock().Now()));
    m_Uploaded += records;
    if (m_FailedInRow > 0)
      SPDLOG_INFO("uploads to {} succeed again after {} failed batches of {} records", path, m_FailedInRow,
                  m_RecordsLostInRow);
    m_FailedInRow = 0;
    m_RecordsLostInRow = 0;
    return;
  }
  m_Failed += records;
  if (m_FailedInRow == 0) SPDLOG_ERROR("upload of {} records to {} failed: {}", records, path, result);
  ++m_FailedInRow;
  m_RecordsLostInRow += records;
}

void cLogUploader::Close() {
  if (m_FailedInRow > 1)
    SPDLOG_ERROR("uploads to {} failed {} batches of {} records in a row up to the stop",
                 WideToUtf8(kUploadPaths[m_Kind]), m_FailedInRow, m_RecordsLostInRow);
  m_FailedInRow = 0;
  m_RecordsLostInRow = 0;
  EndFailureRun();
  cApi::Close();
  json_decref(m_Envelope);
  m_Envelope = nullptr;
  m_UploadLogLine = nullptr;
  m_Buffer.reset();
  m_Used = 0;
  m_Records = 0;
  m_BatchStart = 0;
}
