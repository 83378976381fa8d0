#include "tests/support/FakeUploadServer.h"

#include <jansson.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <memory>
#include <utility>

#include "common/Sha256.h"

namespace {

using Json = std::unique_ptr<json_t, decltype(&json_decref)>;

bool DecodeBase64(const std::string& text, std::string& bytes) {
  if (text.size() % 4 != 0) return false;
  bytes.assign(text.size() / 4 * 3, '\0');
  int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                               reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
  if (length < 0) return false;
  size_t padding = text.empty() ? 0 : (text.back() == '=') + (text.size() > 1 && text[text.size() - 2] == '=');
  bytes.resize(static_cast<size_t>(length) - padding);
  return true;
}

// One complete gzip stream, nothing after it.
bool Gunzip(const std::string& compressed, std::string& text) {
  z_stream stream{};
  if (inflateInit2(&stream, 31) != Z_OK) return false;
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
  stream.avail_in = static_cast<uInt>(compressed.size());
  int result = Z_OK;
  char chunk[16384];
  while (result == Z_OK) {
    stream.next_out = reinterpret_cast<Bytef*>(chunk);
    stream.avail_out = sizeof chunk;
    result = inflate(&stream, Z_NO_FLUSH);
    text.append(chunk, sizeof chunk - stream.avail_out);
  }
  bool complete = result == Z_STREAM_END && stream.avail_in == 0;
  inflateEnd(&stream);
  return complete;
}

void Decode(const std::string& envelopeText, cUploadedBatch& batch) {
  Json envelope(json_loadb(envelopeText.data(), envelopeText.size(), 0, nullptr), &json_decref);
  if (!json_is_object(envelope.get())) {
    batch.error = "the envelope is not a JSON object";
    return;
  }
  json_t* count = json_object_get(json_object_get(envelope.get(), "uploadInfo"), "uploadLogLine");
  if (json_is_integer(count)) batch.uploadLogLine = json_integer_value(count);
  json_t* log = json_object_get(envelope.get(), "log");
  if (!json_is_string(log)) {
    batch.error = "no string \"log\"";
    return;
  }
  batch.log = json_string_value(log);
  std::string compressed, arrayText;
  if (!DecodeBase64(batch.log, compressed)) {
    batch.error = "\"log\" is not base64";
    return;
  }
  if (!Gunzip(compressed, arrayText)) {
    batch.error = "\"log\" is not one complete gzip stream";
    return;
  }
  // Access-log records may hold NUL characters in their strings.
  Json records(json_loadb(arrayText.data(), arrayText.size(), JSON_ALLOW_NUL, nullptr), &json_decref);
  if (!json_is_array(records.get())) {
    batch.error = "the records are not a JSON array";
    return;
  }
  batch.hashesIntact = true;
  size_t index;
  json_t* record;
  json_array_foreach(records.get(), index, record) {
    std::unique_ptr<char, decltype(&free)> text(json_dumps(record, JSON_COMPACT | JSON_PRESERVE_ORDER | JSON_ENCODE_ANY),
                                                &free);
    batch.records.push_back(text ? text.get() : "");
    json_t* ceelog = json_object_get(record, "ceelog");
    if (!json_is_string(ceelog)) continue;
    std::string event(json_string_value(ceelog), json_string_length(ceelog));
    batch.ceelogs.push_back(event);
    json_t* hash = json_object_get(record, "hash");
    if (!json_is_string(hash) || json_string_value(hash) != Sha256Hex(event)) batch.hashesIntact = false;
  }
}

}  // namespace

std::vector<cUploadedBatch> cFakeUploadServer::Batches() const {
  std::lock_guard<std::mutex> guard(m_batchLock);
  return m_batches;
}

std::vector<cUploadedBatch> cFakeUploadServer::TakeBatches() {
  std::lock_guard<std::mutex> guard(m_batchLock);
  return std::exchange(m_batches, {});
}

cScriptedAnswer cFakeUploadServer::Answer(const cRecordedRequest& request) {
  cScriptedAnswer answer;
  bool upload = request.method == "POST" && (request.path == "/pupload/syslog" || request.path == "/pupload/weblog");
  if (upload) {
    cUploadedBatch batch;
    batch.path = request.path;
    batch.envelope = request.body;
    Decode(request.body, batch);
    std::lock_guard<std::mutex> guard(m_batchLock);
    m_batches.push_back(std::move(batch));
  }
  if (FindScripted(request, answer)) return answer;
  if (upload) return cScriptedAnswer{200, "{\"returnCode\":\"0\"}"};
  return cScriptedAnswer{404, "<html>Not Found</html>", "text/html"};
}
