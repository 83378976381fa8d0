// varlo-demo-servers: the agent's servers for the local demonstration. A management server, a
// package repository and an upload server listen on 127.0.0.1 with HTTPS from a certificate
// authority made on the spot, which the agent of the machine root ($VARLO_ROOT) is made to trust.
// The servers' URLs go under "Domain" in that machine's registry; then every request of the
// agent is told on standard output, as a person watching would want it, until interrupted.
#include <jansson.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/Nvm.h"
#include "platform/Registry.h"
#include "platform/tools/ToolUsage.h"
#include "tests/demo/DemoScenario.h"
#include "tests/demo/DemoTool.h"
#include "tests/support/FakeManagementServer.h"
#include "tests/support/FakeRepository.h"
#include "tests/support/FakeUploadServer.h"
#include "tests/support/TestCertificateAuthority.h"

namespace {

constexpr char kProgram[] = "varlo-demo-servers";
constexpr char kUsage[] =
    "usage: varlo-demo-servers <account key>\n"
    "Starts the demonstration's management, repository and upload servers on 127.0.0.1 for the\n"
    "machine root of $VARLO_ROOT, points its \"Domain\" URLs at them, signs in only the given\n"
    "account key, and tells every request of the agent until interrupted.\n";

using Json = std::unique_ptr<json_t, decltype(&json_decref)>;

Json Parse(const std::string& text) {
  return Json(json_loads(text.c_str(), 0, nullptr), &json_decref);
}

// The jobs of the management server, as they are told.
const std::map<std::string, std::string> kJobWords = {
    {"logConf", "its log configuration"},
    {"edrConf", "the detection settings"},
    {"filter", "the detection filters"},
    {"filterElementReference", "their reference lists"},
    {"sysUploadExcept", "which events not to upload"},
    {"logMasking", "which request fields to mask"},
    {"webFilter", "the web filters"},
    {"wafExcept", "the web firewall's exceptions"},
    {"webUploadExcept", "which access-log records not to upload"},
};
// The one job due after a sign-in: taking the log configuration with collection switched on
// fetches every list too.
constexpr char kSignInJob[] = "logConf";

// "1 event", "2 events".
std::string Counted(size_t count, const std::string& thing) {
  return std::to_string(count) + " " + thing + (count == 1 ? "" : "s");
}

std::string Joined(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
  return text;
}

// The filters by id, those with responses marked.
std::string FilterNames() {
  Json filters = Parse(demo::kFilters);
  std::vector<std::string> names;
  for (size_t i = 0; i < json_array_size(filters.get()); ++i) {
    json_t* filter = json_array_get(filters.get(), i);
    const bool responds = json_array_size(json_object_get(filter, "edrFilterElementList")) > 0;
    names.push_back(json_string_value(json_object_get(filter, "filterId")) +
                    std::string(responds ? " (with a response)" : ""));
  }
  return Joined(names);
}

std::string ReferenceListNames() {
  Json lists = Parse(demo::kReferenceLists);
  std::vector<std::string> names;
  for (size_t i = 0; i < json_array_size(lists.get()); ++i)
    names.push_back(json_string_value(json_object_get(json_array_get(lists.get(), i), "name")));
  return Joined(names);
}

// What the management server answers to each question of the agent, the job whose handling asks
// it (none: asked only at the first sign-in of the service), and how the answer is told.
struct cAnswerTold {
  std::string path;
  std::string job;
  std::string question;
  std::string body;
  std::string told;
};

std::vector<cAnswerTold> ManagementAnswers() {
  const std::string none = R"({"returnCode":"0"})";
  const std::string emptyList = R"({"returnCode":"0","result":{"list":[]}})";
  return {
      {"/pserver/agent/cmd/defenseall", "", "for defence scripts meant for every agent", none,
       "none"},
      {"/pfilter/agent/cmd/auditall", "", "for audit scripts meant for every agent", none, "none"},
      {"/pfilter/agent/cmd/auditcustomall", "", "for custom audit scripts meant for every agent",
       none, "none"},
      {"/pserver/agent/conf/syslog", "logConf", "whether to collect Windows events",
       R"({"returnCode":"0","result":{"isUpload":"1"}})", "yes"},
      {"/pserver/agent/conf/weblog", "logConf", "whether to collect the web server's access logs",
       R"({"returnCode":"0","result":{"isUpload":"1"}})", "yes"},
      {"/pserver/agent/conf/systemresource", "logConf", "how often to report its resource use",
       R"({"returnCode":"0","result":{"duration":60000,"isUpload":"1"}})", "every minute"},
      {"/pserver/agent/conf/systemversion", "logConf",
       "how often to report the operating-system version", none, "never"},
      {"/pserver/agent/edr/conf", "edrConf", "for the detection settings",
       std::string(R"({"returnCode":"0","info":)") + demo::kDetectionSettings + "}",
       "detect without blocking, and upload every event"},
      {"/pfilter/agent/filter", "filter", "for the detection filters",
       std::string(R"({"returnCode":"0","list":)") + demo::kFilters + "}", FilterNames()},
      {"/pfilter/agent/filterelementreference", "filterElementReference",
       "for the filters' reference lists",
       R"({"returnCode":"0","list":")" + cFakeManagementServer::Packed(demo::kReferenceLists) +
           R"("})",
       ReferenceListNames()},
      {"/pfilter/agent/conf/sysuploadexcept", "sysUploadExcept", "which events not to upload",
       emptyList, "none"},
      {"/pfilter/agent/conf/logmasking", "logMasking",
       "which request fields to mask in access logs",
       std::string(R"({"returnCode":"0","result":{"list":)") + demo::kMaskedFields + "}}",
       "password, card"},
      {"/pfilter/agent/webextendsfilters", "webFilter", "for the web filters", emptyList, "none"},
      {"/pfilter/agent/conf/wafexcept", "wafExcept", "for the web firewall's exceptions", emptyList,
       "none"},
      {"/pfilter/agent/conf/webuploadexcept", "webUploadExcept",
       "which access-log records not to upload", emptyList, "none"},
  };
}

// What the operator changes a while after the agent took its configuration: the resource report
// comes every two minutes instead of every minute.
constexpr int kChangeAfterSeconds = 45;
cAnswerTold ChangedAnswer(const std::vector<cAnswerTold>& answers) {
  for (cAnswerTold answer : answers) {
    if (answer.path != "/pserver/agent/conf/systemresource") continue;
    answer.body = R"({"returnCode":"0","result":{"duration":120000,"isUpload":"1"}})";
    answer.told = "every two minutes";
    return answer;
  }
  return {};
}

// A management server that signs in only the demonstration's account key, and that lists a job
// only when an answer of it changed since the agent last fetched that answer.
class cDemoManagementServer : public cFakeManagementServer {
 public:
  cDemoManagementServer(const cTestCertificateAuthority* authority, std::string accountKey,
                        const std::vector<cAnswerTold>& answers)
      : cFakeManagementServer(authority), m_AccountKey(std::move(accountKey)) {
    for (const cAnswerTold& answer : answers) m_Current[answer.path] = {answer.job, answer.body};
  }
  ~cDemoManagementServer() override { Stop(); }

  // From now on the path is answered with body.
  void Change(const std::string& path, const std::string& body) {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Current[path].body = body;
  }

 protected:
  cScriptedAnswer Answer(const cRecordedRequest& request) override {
    std::lock_guard<std::mutex> guard(m_Lock);
    if (request.path == "/pauth/login/agent") {
      Json body = Parse(request.body);
      const char* key = json_string_value(json_object_get(body.get(), "licenseKey"));
      const bool known = key && m_AccountKey == key;
      // Signed in afresh, the agent holds nothing the server told it before.
      if (known) m_Held.clear();
      return {200, known ? R"({"returnCode":"0","ipKey":"demo-agent-1","authKey":"demo-session-1"})"
                         : R"({"returnCode":"10001"})"};
    }
    if (request.path == "/pserver/agent/agentjob") return {200, DueJobs()};
    const auto current = m_Current.find(request.path);
    if (current == m_Current.end() || request.method != "GET")
      return cFakeManagementServer::Answer(request);
    m_Held[request.path] = current->second.body;
    return {200, current->second.body};
  }

 private:
  struct cCurrent {
    std::string job;
    std::string body;
  };

  // The job list of a poll: each job with an answer that is not the one the agent holds, and
  // after a sign-in the configuration.
  std::string DueJobs() const {
    std::set<std::string> due;
    bool holdsConfiguration = false;
    for (const auto& [path, current] : m_Current) {
      const auto held = m_Held.find(path);
      if (held == m_Held.end()) continue;
      if (current.job == kSignInJob) holdsConfiguration = true;
      if (!current.job.empty() && held->second != current.body) due.insert(current.job);
    }
    if (!holdsConfiguration) due.insert(kSignInJob);
    if (due.empty()) return R"({"returnCode":"0","dataNotFoundCode":"1"})";
    std::string list;
    for (const std::string& job : due)
      list += std::string(list.empty() ? "" : ",") + R"({"code":")" + job + R"("})";
    return R"({"returnCode":"0","result":{"list":[)" + list + "]}}";
  }

  std::string m_AccountKey;
  std::mutex m_Lock;                          // the two tables below
  std::map<std::string, cCurrent> m_Current;  // by path
  std::map<std::string, std::string> m_Held;  // what the agent last fetched, by path
};

bool SetDomainUrl(const char* name, const std::string& url) {
  HKEY key = nullptr;
  const std::string path = std::string(kAgentKeyPath) + "\\Domain";
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                      &key, nullptr) != ERROR_SUCCESS)
    return false;
  const LONG written =
      RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(url.c_str()),
                     static_cast<DWORD>(url.size() + 1));
  RegCloseKey(key);
  return written == ERROR_SUCCESS;
}

// A member of a JSON object as short text, "?" when missing.
std::string MemberText(json_t* object, const char* name) {
  json_t* member = json_object_get(object, name);
  if (json_is_string(member)) return json_string_value(member);
  if (json_is_number(member))
    return std::to_string(static_cast<int>(json_number_value(member) + 0.5));
  return "?";
}

std::string Member(const std::string& body, const char* name) {
  return MemberText(Parse(body).get(), name);
}

constexpr char kNothingNew[] = "nothing new";

std::string JobWords(const std::string& answer) {
  Json value = Parse(answer);
  json_t* list = json_object_get(json_object_get(value.get(), "result"), "list");
  std::vector<std::string> jobs;
  for (size_t i = 0; i < json_array_size(list); ++i) {
    const char* code = json_string_value(json_object_get(json_array_get(list, i), "code"));
    if (!code) continue;
    const auto words = kJobWords.find(code);
    jobs.push_back(words == kJobWords.end() ? code : words->second);
  }
  return jobs.empty() ? kNothingNew : "fetch " + Joined(jobs);
}

// Tells the management server's requests. An answer is told with what the agent had from the
// same question before: the same answer, or the one it replaces.
class cManagementTeller {
 public:
  explicit cManagementTeller(std::vector<cAnswerTold> answers) : m_Answers(std::move(answers)) {}

  std::string Describe(const cRecordedRequest& request) {
    const std::string& path = request.path;
    if (path == "/pauth/login/agent")
      return "sign-in of host " + Member(request.body, "hostname") + " at " +
             Member(request.body, "serverIp") + " with key " + Member(request.body, "licenseKey") +
             " -> " + (Member(request.answer, "returnCode") == "0" ? "signed in" : "refused");
    if (path == "/pserver/agent/agentjob") return "job poll -> " + JobWords(request.answer);
    if (path == "/pserver/agent/systemresource")
      return "resource report: processor " + Member(request.body, "cpuUsage") + "%, memory " +
             Member(request.body, "memoryUsage") + "%, disk " + Member(request.body, "diskUsage") +
             "%";
    if (path == "/pserver/agent/systemversion")
      return "operating-system report: " + Member(request.body, "osLatestVersion");
    for (const cAnswerTold& answer : m_Answers) {
      if (answer.path != path || answer.body != request.answer) continue;
      const cAnswerTold*& before = m_Before[path];
      std::string text = "asked " + answer.question + " -> " + answer.told;
      if (before == &answer)
        text += ", as before";
      else if (before)
        text += " (was " + before->told + ")";
      before = &answer;
      return text;
    }
    return request.method + " " + path;
  }

 private:
  const std::vector<cAnswerTold> m_Answers;            // every answer given, the changed ones too
  std::map<std::string, const cAnswerTold*> m_Before;  // the answer told last, by path
};

// The sequence value of a remote-control file: its last "seq=" line, empty without one.
std::string SequenceValue(const std::string& file) {
  std::string value;
  for (size_t start = 0; start < file.size();) {
    size_t end = file.find('\n', start);
    if (end == std::string::npos) end = file.size();
    if (file.compare(start, 4, "seq=") == 0) value = file.substr(start + 4, end - start - 4);
    start = end + 1;
  }
  return value;
}

// Tells the repository's requests. The agent applies a remote-control file once per sequence
// value: a reading with the value of the one before is told as applied already.
class cRepositoryTeller {
 public:
  cRepositoryTeller(std::string remoteControlPath, std::map<std::string, std::string> published)
      : m_RemoteControlPath(std::move(remoteControlPath)), m_Published(std::move(published)) {}

  std::string Describe(const cRecordedRequest& request) {
    if (request.path == m_RemoteControlPath && !request.answer.empty()) {
      const std::string sequence = SequenceValue(request.answer);
      const bool again = !sequence.empty() && m_SequenceReadLast == sequence;
      m_SequenceReadLast = sequence;
      if (again)
        return "read the remote-control file again: seq=" + sequence +
               " as before, so the agent has applied it already and leaves it";
    }
    const auto told = m_Published.find(request.path);
    if (told != m_Published.end()) return told->second;
    return "asked for " + request.path + " -> not published here";
  }

 private:
  const std::string m_RemoteControlPath;
  const std::map<std::string, std::string> m_Published;
  std::string m_SequenceReadLast;  // of the remote-control file read last
};

// What one system-log batch carried: events, those that filters detected, and the agent's own log.
std::string DescribeEvents(const cUploadedBatch& batch) {
  size_t events = 0, detected = 0, responses = 0, ownLines = 0;
  std::set<std::string> filterIds;
  for (const std::string& text : batch.records) {
    Json record = Parse(text);
    const char* ceelog = json_string_value(json_object_get(record.get(), "ceelog"));
    if (ceelog && std::string(ceelog).find(demo::kOwnLogProvider) != std::string::npos) {
      ++ownLines;
      continue;
    }
    ++events;
    json_t* ids = json_object_get(record.get(), "detectFilterIds");
    if (json_array_size(ids) == 0) continue;
    ++detected;
    responses += json_array_size(json_object_get(record.get(), "edrAgentDefenseList"));
    for (size_t i = 0; i < json_array_size(ids); ++i) {
      json_t* id = json_array_get(ids, i);
      filterIds.insert(json_is_string(id) ? json_string_value(id) : "?");
    }
  }
  std::string text = Counted(events, "event");
  if (detected)
    text += " (" + std::to_string(detected) + " detected by " +
            Joined(std::vector<std::string>(filterIds.begin(), filterIds.end())) + "; " +
            Counted(responses, "response") + " recorded)";
  if (ownLines) text += ", " + Counted(ownLines, "line") + " of the agent's own log";
  return text;
}

// What one web-log batch carried, with every field the agent masked.
std::string DescribeAccessLog(const cUploadedBatch& batch) {
  std::string text = Counted(batch.records.size(), "access-log record");
  std::set<std::string> told;
  for (const std::string& recordText : batch.records) {
    Json record = Parse(recordText);
    json_t* ceelog = json_object_get(record.get(), "ceelog");
    for (const char* field : {"Request", "Post-body"}) {
      const std::string masked = std::string(field) + " \"" + MemberText(ceelog, field) + "\"";
      if (masked.find("=*") != std::string::npos && told.insert(masked).second)
        text += "; masked " + masked;
    }
  }
  return text;
}

std::string DescribeBatch(const cUploadedBatch& batch) {
  if (!batch.error.empty()) return batch.path + ": unreadable (" + batch.error + ")";
  return batch.path + ": " +
         (batch.path == "/pupload/weblog" ? DescribeAccessLog(batch) : DescribeEvents(batch));
}

void Tell(const char* server, const std::string& text) { demo::Tell("[server]", server, text); }

// A run of job polls that find nothing new is told by its first poll and, when the run ends, by
// one line that counts the others.
class cQuietPolls {
 public:
  // True when the management line was taken into a run.
  bool Take(const std::string& text) {
    if (text != kQuietPoll) return false;
    if (m_Polls++ == 0) Tell("management", text);
    return true;
  }
  void End() {
    if (m_Polls > 1) Tell("management", Counted(m_Polls - 1, "more job poll") + " -> " + kNothingNew);
    m_Polls = 0;
  }

  static inline const std::string kQuietPoll = std::string("job poll -> ") + kNothingNew;

 private:
  size_t m_Polls = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (AsksForHelp(argc, argv)) return ShowUsage(kUsage);
  if (argc != 2) return UsageError(kProgram, "one account key is needed", kUsage, 2);
  if (argv[1][0] == '\0') return UsageError(kProgram, "the account key is empty", kUsage, 2);
  if (argv[1][0] == '-') return UsageError(kProgram, std::string("unknown option ") + argv[1], kUsage, 2);
  if (!demo::MachineRootNamed(kProgram)) return 2;
  const std::string accountKey = argv[1];

  cTestCertificateAuthority authority;
  if (!authority.Valid() || !authority.InstallAsTrusted()) {
    std::fprintf(stderr, "varlo-demo-servers: cannot make the certificate authority\n");
    return 1;
  }
  const std::vector<cAnswerTold> answers = ManagementAnswers();
  const cAnswerTold changed = ChangedAnswer(answers);
  cDemoManagementServer management(&authority, accountKey, answers);
  cFakeRepository repository(&authority);
  cFakeUploadServer upload(&authority);
  std::vector<cAnswerTold> everyAnswer = answers;
  everyAnswer.push_back(changed);
  cManagementTeller managementTeller(everyAnswer);

  // Applied once (its sequence value is stored); from then on the agent uploads its own log too.
  const std::string remoteControlPath = "/client/" + accountKey;
  repository.AddFile(remoteControlPath, "seq=1\ndebug=1\n");
  repository.AddFile("/v4/agent/win/version", "5.8.0.8\n");
  // The web-server module that the agent installs when web-log collection is switched on.
  repository.AddPackage(demo::kModuleFolder, demo::ModulePackage());
  const std::map<std::string, std::string> published = {
      {remoteControlPath,
       "read the remote-control file: seq=1 (applied once), debug=1 (upload the agent's own log "
       "too)"},
      {"/v4/agent/win/version", "asked for the agent's latest version -> 5.8.0.8, the one it runs"},
      {std::string(demo::kModuleFolder) + "manifest",
       "sent the web-server module's package list (manifest: version, 32-bit and 64-bit image)"},
      {std::string(demo::kModuleFolder) + "version",
       std::string("sent the web-server module's version -> ") + demo::kModuleVersion},
      {std::string(demo::kModuleFolder) + "32/ModVarlo.dll", "sent the web-server module's 32-bit image"},
      {std::string(demo::kModuleFolder) + "64/ModVarlo.dll", "sent the web-server module's 64-bit image"},
  };
  cRepositoryTeller repositoryTeller(remoteControlPath, published);

  if (!management.Start() || !repository.Start() || !upload.Start() ||
      !SetDomainUrl("Apis", management.Url()) || !SetDomainUrl("Repo", repository.Url()) ||
      !SetDomainUrl("UploadSys", upload.Url()) || !SetDomainUrl("UploadWeb", upload.Url())) {
    std::fprintf(stderr, "varlo-demo-servers: cannot start the servers\n");
    return 1;
  }
  demo::StopOnSignals();
  Tell("management", "listening at " + management.Url());
  Tell("repository", "listening at " + repository.Url());
  Tell("upload", "listening at " + upload.Url());

  size_t told = 0, toldRepository = 0, toldBatches = 0;
  cQuietPolls quietPolls;
  // When the agent first took the answer that the operator changes later.
  std::optional<std::chrono::steady_clock::time_point> taken;
  bool changeMade = false;
  while (demo::Pause(200)) {
    const auto requests = management.Requests();
    for (; told < requests.size(); ++told) {
      const cRecordedRequest& request = requests[told];
      if (request.path.find("/csrftoken") != std::string::npos) continue;
      const std::string text = managementTeller.Describe(request);
      if (quietPolls.Take(text)) continue;
      quietPolls.End();
      Tell("management", text);
      if (request.path == changed.path && !taken) taken = std::chrono::steady_clock::now();
    }
    if (!changeMade && taken &&
        std::chrono::steady_clock::now() - *taken >= std::chrono::seconds(kChangeAfterSeconds)) {
      changeMade = true;
      management.Change(changed.path, changed.body);
      quietPolls.End();
      Tell("management", "the operator changes " + changed.question + " to " + changed.told +
                             ": the agent's log configuration is due again");
    }
    const auto files = repository.Requests();
    for (; toldRepository < files.size(); ++toldRepository)
      Tell("repository", repositoryTeller.Describe(files[toldRepository]));
    const auto batches = upload.Batches();
    for (; toldBatches < batches.size(); ++toldBatches)
      Tell("upload", DescribeBatch(batches[toldBatches]));
  }
  quietPolls.End();
  management.Stop();
  repository.Stop();
  upload.Stop();
  return 0;
}
