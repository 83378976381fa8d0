#include "VarloService/server/LogUploader.h"

#include <spdlog/spdlog.h>

#include <new>
#include <string>
#include <vector>

#include "common/Base64.h"
#include "common/Compression.h"
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
  m_Log = json_string("");
  json_decref(m_Envelope);
  m_Envelope = json_object();
  json_object_set_new(m_Envelope, "agentInfo", agent);
  json_object_set_new(m_Envelope, "uploadInfo", upload);
  json_object_set_new(m_Envelope, "log", m_Log);
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

int cLogUploader::Append(int kind, json_t* record) {
  if (!m_Buffer || (kind != SysLog && kind != WebLog)) return -1;
  m_Kind = kind;
  int result = 0;
  uint64_t room = kCapacity - m_Used - 1;  // one byte stays for the ","
  size_t length = json_dumpb(record, m_Buffer.get() + m_Used, room, JSON_COMPACT);
  if (length == 0) return -1;  // not serialisable
  if (length > room) {
    result = Flush();
    room = kCapacity - m_Used - 1;
    if (length > room) return UploadAlone(record, length);
    json_dumpb(record, m_Buffer.get() + m_Used, room, JSON_COMPACT);
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

int cLogUploader::AppendSysLog(std::string_view eventText, json_t* detectFilterIds, json_t* edrAgentDefenseList) {
  json_t* record = json_object();
  json_object_set_new(record, "ceelog", json_stringn(eventText.data(), eventText.size()));
  char hash[SHA256_HEX_CHARS];
  Sha256Hex(eventText.data(), eventText.size(), hash);
  json_object_set_new(record, "hash", json_stringn_nocheck(hash, SHA256_HEX_CHARS));
  if (json_array_size(detectFilterIds) > 0) {
    json_object_set(record, "detectFilterIds", detectFilterIds);
    if (json_array_size(edrAgentDefenseList) > 0) json_object_set(record, "edrAgentDefenseList", edrAgentDefenseList);
  }
  int result = Append(SysLog, record);
  json_decref(record);
  return result;
}

int cLogUploader::Flush() {
  uint32_t records = m_Records;
  if (records == 0) return 0;
  m_Buffer[m_Used - 1] = ']';
  int result = Upload(m_Buffer.get(), m_Used, records);
  StartBatch();
  return result;
}

// The batch of one record that is larger than the buffer.
int cLogUploader::UploadAlone(json_t* record, uint64_t length) {
  int result = -1;
  try {
    std::string batch(length + 2, '[');
    json_dumpb(record, batch.data() + 1, length, JSON_COMPACT);
    batch.back() = ']';
    result = Upload(batch.data(), batch.size(), 1);
  } catch (const std::bad_alloc&) {
    ++m_Failed;
  }
  if (result != 0) SPDLOG_ERROR("record of {} bytes not uploaded: {}", length, result);
  StartBatch();  // the buffer served for the upload
  return result;
}

int cLogUploader::Upload(const char* batchText, uint64_t length, uint32_t records) {
  try {
    std::vector<uint8_t> compressed;
    if (GzipCompress(batchText, length, compressed) != 0 || compressed.empty()) {
      SPDLOG_ERROR("batch of {} records not compressed, not sent", records);
      m_Failed += records;
      return -1;
    }
    // The batch text is no longer needed: the buffer takes the base64 text, or a larger one does.
    uint64_t encodedLength = Base64EncodedLength(compressed.size());
    std::string larger;
    char* encoded = m_Buffer.get();
    if (encodedLength > kCapacity) {
      larger.resize(encodedLength);
      encoded = larger.data();
    }
    Base64Encode(compressed.data(), compressed.size(), encoded, encodedLength);
    json_string_setn_nocheck(m_Log, encoded, encodedLength);
    json_integer_set(m_UploadLogLine, records);
    larger.clear();
    size_t envelopeLength = json_dumpb(m_Envelope, m_Buffer.get(), kCapacity, JSON_COMPACT);
    const char* envelope = m_Buffer.get();
    if (envelopeLength > kCapacity) {
      larger.resize(envelopeLength);
      json_dumpb(m_Envelope, larger.data(), envelopeLength, JSON_COMPACT);
      envelope = larger.data();
    }
    json_t* answer = envelopeLength ? Request(kUploadPaths[m_Kind], VerbPost, envelope,
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
  cApi::Close();
  json_decref(m_Envelope);
  m_Envelope = nullptr;
  m_UploadLogLine = nullptr;
  m_Log = nullptr;
  m_Buffer.reset();
  m_Used = 0;
  m_Records = 0;
  m_BatchStart = 0;
}
