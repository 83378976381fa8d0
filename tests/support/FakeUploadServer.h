#pragma once
// An upload server for "/pupload/syslog" and "/pupload/weblog": it decodes every envelope (JSON,
// then the "log" member as base64 of a gzip stream of a JSON array of records), checks each
// record's "hash" against the SHA-256 of its "ceelog", keeps the result, and answers from the
// scripted table or with {"returnCode":"0"}.
#include <string>
#include <vector>

#include "tests/support/FakeHttpServer.h"

struct cUploadedBatch {
  std::string path;
  std::string envelope;           // as received
  long long uploadLogLine = -1;   // -1 when missing or not an integer
  std::string log;                // the "log" member as received
  std::vector<std::string> records;  // each record as compact JSON, in order
  std::vector<std::string> ceelogs;  // the "ceelog" of each record that has one
  bool hashesIntact = false;      // every record with a "ceelog" carries its SHA-256 hex as "hash"
  std::string error;              // why the envelope could not be decoded; empty when it could
};

class cFakeUploadServer : public cFakeHttpServer {
 public:
  using cFakeHttpServer::cFakeHttpServer;
  ~cFakeUploadServer() override { Stop(); }

  std::vector<cUploadedBatch> Batches() const;
  // The batches kept so far, which the server then forgets (a long stream drains them so, with
  // ClearRequests).
  std::vector<cUploadedBatch> TakeBatches();

 protected:
  cScriptedAnswer Answer(const cRecordedRequest& request) override;

 private:
  mutable std::mutex m_batchLock;
  std::vector<cUploadedBatch> m_batches;
};
