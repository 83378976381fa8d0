// The management-server client against the fake server: return codes, the request frame of every
// endpoint, what each endpoint reads from its answer, the session and the connection.
#include "VarloService/server/Api.h"

#include <chrono>
#include <functional>

#include "common/InstallLayout.h"
#include "common/Nvm.h"
#include "platform/Files.h"
#include "tests/server/ServerFixture.h"
#include "tests/support/FakeManagementServer.h"
#include "tests/support/CapturedLog.h"
#include "tests/support/FakeProxy.h"
#include "tests/support/OneShotServer.h"
#include "tests/support/ScopedEnvironment.h"

namespace {

using Json = std::unique_ptr<json_t, decltype(&json_decref)>;

Json Parse(const std::string& text) { return Json(json_loads(text.c_str(), 0, nullptr), &json_decref); }

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

const std::pair<const char*, const char*> kHeaderBlock[] = {
    {"Content-Type", "application/json"}, {"Origin", "www.varlo.test"},    {"ReferrerSourceType", "30"},
    {"SanitizerNone", "1"},               {"BreltAgentType", "SIEM_WIN"}, {"BreltAgentVersion", "5.8.0.8"},
};

class ApiTest : public cServerTest {
 protected:
  void SetUp() override {
    cServerTest::SetUp();
    ASSERT_TRUE(m_Server.Start());
    m_Info.m_LicenseKey = "LIC-1";
    m_Info.m_AgentId = "agent-old";
    m_Info.m_HostName = "host1";
    m_Info.m_IpAddr = "10.0.0.5";
    m_Info.m_OsName = "Windows Server 2019";
    m_Info.m_OsMajor = "10";
    m_Info.m_OsMinor = "0";
    m_Info.m_OsReleaseId = "1809";
    m_Info.m_HotFixes = "KB1,KB2";
    m_Info.m_CpuUsage = 12.5;
    m_Info.m_MemoryUsage = 40.25;
    m_Info.m_DiskUsage = 70.5;
    m_Info.m_DiskActiveTime = 3.5;
    m_Info.m_InboundTraffic = 1000.5;
    m_Info.m_OutboundTraffic = 2000.5;
    m_Api.SetAgentInfo(&m_Info);
    ASSERT_EQ(0, m_Api.Connect(L"127.0.0.1", 1, m_Server.Port()));
  }

  void SignIn() {
    m_Server.Script("POST", "/pauth/login/agent",
                    cScriptedAnswer(200, R"({"returnCode":"0","ipKey":"agent-7","authKey":"session-9"})"));
    ASSERT_EQ(0, m_Api.Login());
    m_Server.ClearRequests();
  }

  // Answers the next calls of method and path with body.
  void Answer(const char* method, const char* path, const std::string& body) {
    m_Server.Script(method, path, cScriptedAnswer(200, body));
  }

  cFakeManagementServer m_Server{&m_Authority};
  cAgentInfo m_Info;
  cApi m_Api;
};

TEST_F(ApiTest, ReturnCodes) {
  struct cCase {
    const char* answer;  // null: no answer
    int result;
    bool uninstall;
    bool sessionDropped;
  } cases[] = {
      {nullptr, -1, false, false},
      {R"({})", -2, false, false},
      {R"({"returnCode":0})", -2, false, false},
      {R"({"returnCode":"0"})", 0, false, false},
      {R"({"returnCode":"0","dataNotFoundCode":"0"})", 0, false, false},
      {R"({"returnCode":"0","dataNotFoundCode":5})", 0, false, false},
      {R"({"returnCode":"0","dataNotFoundCode":""})", 1, false, false},
      {R"({"returnCode":"0","dataNotFoundCode":"1"})", 1, false, false},
      {R"({"returnCode":"00"})", -5, false, false},
      {R"({"returnCode":" 0"})", -5, false, false},
      {R"({"returnCode":"abc"})", -5, false, false},
      {R"({"returnCode":"98000"})", -3, true, false},
      {R"({"returnCode":"98999"})", -5, false, false},
      {R"({"returnCode":"99000"})", -4, false, true},
      {R"({"returnCode":" 99500x"})", -4, false, true},
      {R"({"returnCode":"99999"})", -4, false, true},
      {R"({"returnCode":"100000"})", -5, false, false},
  };
  for (const cCase& test : cases) {
    SignIn();
    m_Info.m_Uninstall = 0;
    Json answer = test.answer ? Parse(test.answer) : Json(nullptr, &json_decref);
    EXPECT_EQ(test.result, m_Api.CheckReturnCode(answer.get())) << (test.answer ? test.answer : "none");
    EXPECT_EQ(test.uninstall ? 1u : 0u, m_Info.m_Uninstall.load()) << (test.answer ? test.answer : "none");
    EXPECT_EQ(test.sessionDropped, m_Api.SessionExpired()) << (test.answer ? test.answer : "none");
  }
}

TEST_F(ApiTest, EveryEndpointSendsItsFrame) {
  // "%T" stands for the token that the request before it fetched.
  struct cCase {
    const char* name;
    std::function<int(cApi&)> call;
    const char* method;
    const char* prefix;
    std::string target;  // GET: path and query; others: path
    std::string body;    // POST and PUT only
  };
  const std::string query = "?csrfTokenKey=%T&ipKey=agent-7&authKey=session-9";
  const std::string keys = R"({"csrfTokenKey":"%T","ipKey":"agent-7","authKey":"session-9")";
  auto list = [](std::function<int(cApi&, json_t*&)> fetch) {
    return [fetch](cApi& api) {
      json_t* value = nullptr;
      int result = fetch(api, value);
      json_decref(value);
      return result;
    };
  };
  auto command = [](int index) {
    return [index](cApi& api) {
      json_t* ids = nullptr;
      int result = api.GetCmd(index, ids, "C:\\Program Files\\VARLO\\cmd.bat");
      json_decref(ids);
      return result;
    };
  };
  std::vector<cCase> cases = {
      {"Login", [](cApi& api) { return api.Login(); }, "POST", "pauth", "/pauth/login/agent",
       R"({"csrfTokenKey":"%T","licenseKey":"LIC-1","hostname":"host1","serverIp":"10.0.0.5","typeos":"windows",)"
       R"("osReleaseName":"Windows Server 2019","osMajor":"10","osMinor":"0","osWorkType":"0","cpuArchitecture":"64",)"
       R"("ipKey":"agent-7"})"},
      {"Job", [](cApi& api) { uint32_t mask = 0; return api.Job(mask); }, "GET", "pserver",
       "/pserver/agent/agentjob" + query, ""},
      {"MonConf 0", [](cApi& api) { uint32_t period = 0; return api.MonConf(0, period); }, "GET", "pserver",
       "/pserver/agent/conf/systemresource" + query, ""},
      {"MonConf 1", [](cApi& api) { uint32_t period = 0; return api.MonConf(1, period); }, "GET", "pserver",
       "/pserver/agent/conf/systemversion" + query, ""},
      {"LogConf 0", [](cApi& api) { uint32_t on = 0; return api.LogConf(0, on); }, "GET", "pserver",
       "/pserver/agent/conf/syslog" + query, ""},
      {"LogConf 1", [](cApi& api) { uint32_t on = 0; return api.LogConf(1, on); }, "GET", "pserver",
       "/pserver/agent/conf/weblog" + query, ""},
      {"SetServerFlag 0", [](cApi& api) { return api.SetServerFlag(0, 1); }, "PUT", "pserver",
       "/pserver/agent/server/islogupload", keys + R"(,"isLogUpload":1})"},
      {"SetServerFlag 1", [](cApi& api) { return api.SetServerFlag(1, 0); }, "PUT", "pserver",
       "/pserver/agent/server/isuseweblog", keys + R"(,"isUseWebLog":0})"},
      {"EdrConf", [](cApi& api) { uint32_t a = 0, b = 0, c = 0; return api.EdrConf(a, b, c); }, "GET", "pserver",
       "/pserver/agent/edr/conf" + query, ""},
      {"SystemResource", [](cApi& api) { return api.SystemResource(); }, "POST", "pserver",
       "/pserver/agent/systemresource",
       keys + R"(,"cpuUsage":12.5,"memoryUsage":40.25,"diskUsage":70.5,"diskActiveTime":3.5,)"
              R"("inboundTraffic":1000.5,"outboundTraffic":2000.5})"},
      {"SystemVersion", [](cApi& api) { return api.SystemVersion(); }, "POST", "pserver",
       "/pserver/agent/systemversion", keys + R"(,"osLatestVersion":"1809","osLatestInfo":"KB1,KB2"})"},
      {"GetCmd 0", command(0), "GET", "pserver", "/pserver/agent/cmd/defense" + query, ""},
      {"GetCmd 1", command(1), "GET", "pserver", "/pserver/agent/cmd/defenseall" + query, ""},
      {"GetCmd 2", command(2), "GET", "pfilter", "/pfilter/agent/cmd/audit" + query, ""},
      {"GetCmd 3", command(3), "GET", "pfilter", "/pfilter/agent/cmd/auditall" + query, ""},
      {"GetCmd 4", command(4), "GET", "pfilter", "/pfilter/agent/cmd/auditcustom" + query, ""},
      {"GetCmd 5", command(5), "GET", "pfilter", "/pfilter/agent/cmd/auditcustomall" + query, ""},
      {"AckCmd 1", [](cApi& api) { return api.AckCmd(1, json_pack("[i]", 17)); }, "PUT", "pserver",
       "/pserver/agent/cmd/defense", keys + R"(,"agentDefenseCmdIds":[17]})"},
      {"AckCmd 3", [](cApi& api) { return api.AckCmd(3, json_pack("[i]", 18)); }, "PUT", "pfilter",
       "/pfilter/agent/cmd/audit", keys + R"(,"agentAuditCmdIds":[18]})"},
      {"AckCmd 4", [](cApi& api) { return api.AckCmd(4, json_pack("[i,i]", 1, 2)); }, "PUT", "pfilter",
       "/pfilter/agent/cmd/auditcustom", keys + R"(,"agentAuditCustomCmdIds":[1,2]})"},
      {"ModVarloUpdate", [](cApi& api) { int32_t id = 0; return api.ModVarloUpdate(id); }, "GET", "pserver",
       "/pserver/agent/update/modvarlo" + query, ""},
      {"ModVarloUpdateResult", [](cApi& api) { return api.ModVarloUpdateResult(12, "30"); }, "PUT", "pserver",
       "/pserver/agent/update/modvarlo", keys + R"(,"agentExecuteLogId":12,"returnCode":"30"})"},
      {"SysFilter", list([](cApi& api, json_t*& value) { return api.SysFilter(value); }), "GET", "pfilter",
       "/pfilter/agent/filter?csrfTokenKey=%T&compress=false&ipKey=agent-7&authKey=session-9", ""},
      {"SysFilterRef", list([](cApi& api, json_t*& value) { return api.SysFilterRef(value); }), "GET", "pfilter",
       "/pfilter/agent/filterelementreference?csrfTokenKey=%T&minify=true&ipKey=agent-7&authKey=session-9", ""},
      {"EdrDefenseCmd", list([](cApi& api, json_t*& value) { return api.EdrDefenseCmd(value); }), "GET", "pserver",
       "/pserver/agent/edr/edrdefensecmd" + query, ""},
      {"WebFilter 0", list([](cApi& api, json_t*& value) { return api.WebFilter(0, value); }), "GET", "pfilter",
       "/pfilter/agent/webextendsfilters" + query + "&webExtendsFilterType=webfilter", ""},
      {"WebFilter 2", list([](cApi& api, json_t*& value) { return api.WebFilter(2, value); }), "GET", "pfilter",
       "/pfilter/agent/webextendsfilters" + query, ""},
      {"WebFilter -1", list([](cApi& api, json_t*& value) { return api.WebFilter(-1, value); }), "GET", "pfilter",
       "/pfilter/agent/webextendsfilters" + query, ""},
      {"WebFilter 3", list([](cApi& api, json_t*& value) { return api.WebFilter(3, value); }), "GET", "pfilter",
       "/pfilter/agent/conf/wafexcept" + query, ""},
      {"WebFilter 7", list([](cApi& api, json_t*& value) { return api.WebFilter(7, value); }), "GET", "pfilter",
       "/pfilter/agent/conf/webuploadexcept" + query, ""},
      {"LogMasking", list([](cApi& api, json_t*& value) { return api.LogMasking(value); }), "GET", "pfilter",
       "/pfilter/agent/conf/logmasking" + query, ""},
      {"SysUploadExcept", list([](cApi& api, json_t*& value) { return api.SysUploadExcept(value); }), "GET",
       "pfilter", "/pfilter/agent/conf/sysuploadexcept" + query, ""},
  };
  for (const cCase& test : cases) {
    SignIn();
    test.call(m_Api);
    std::vector<cRecordedRequest> requests = m_Server.Requests();
    ASSERT_EQ(2u, requests.size()) << test.name;
    const cRecordedRequest& tokenRequest = requests[0];
    const cRecordedRequest& request = requests[1];
    EXPECT_EQ("GET", tokenRequest.method) << test.name;
    EXPECT_EQ("/" + std::string(test.prefix) + "/csrftoken", tokenRequest.target) << test.name;
    for (const auto& header : kHeaderBlock) EXPECT_FALSE(tokenRequest.HasHeader(header.first)) << test.name;
    Json tokenAnswer = Parse(tokenRequest.answer);
    std::string token = json_string_value(json_object_get(tokenAnswer.get(), "csrfTokenKey"));
    EXPECT_EQ(test.prefix, cFakeManagementServer::TokenPrefix(token)) << test.name;

    EXPECT_EQ(test.method, request.method) << test.name;
    EXPECT_EQ(Replace(test.target, "%T", token), request.target) << test.name;
    EXPECT_EQ(Replace(test.body, "%T", token), request.body) << test.name;
    for (const auto& header : kHeaderBlock) EXPECT_EQ(header.second, request.Header(header.first)) << test.name;
    EXPECT_FALSE(request.HasHeader("BreltModVarloType")) << test.name;
    EXPECT_FALSE(request.HasHeader("Accept")) << test.name;
  }
}

TEST_F(ApiTest, TheHeaderBlockGoesOutInItsOrder) {
  cOneShotServer server("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}");
  ASSERT_TRUE(server.Valid());
  cApi api;
  api.ModVarloInfo("IIS", "2.1");
  api.SetAgentInfo(&m_Info);
  ASSERT_EQ(0, api.Connect(L"127.0.0.1", 0, server.Port()));
  json_decref(api.Request(L"/pserver/agent/systemversion", cApi::VerbPost, "{}", 2));
  std::string head = server.Head();
  std::string block = head.substr(head.find("\r\n") + 2);
  // The transport's own lines stand apart from the block.
  for (const char* own : {"Host: ", "User-Agent: ", "Content-Length: "}) {
    size_t at = block.find(own);
    ASSERT_NE(std::string::npos, at) << own;
    block.erase(at, block.find("\r\n", at) + 2 - at);
  }
  EXPECT_EQ("Content-Type: application/json\r\nOrigin: www.varlo.test\r\nReferrerSourceType: 30\r\n"
            "SanitizerNone: 1\r\nBreltAgentType: SIEM_WIN\r\nBreltAgentVersion: 5.8.0.8\r\n"
            "BreltModVarloType: IIS\r\nBreltModVarloVersion: 2.1\r\n",
            block);
}

TEST_F(ApiTest, ModuleHeadersNeedTypeAndVersion) {
  struct cCase {
    const char* type;
    std::string version;
    bool sent;
  } cases[] = {{"IIS", "2.1", true}, {"IIS", "", false}, {"", "2.1", false}, {nullptr, "2.1", false}};
  SignIn();
  for (const cCase& test : cases) {
    m_Api.ModVarloInfo(test.type, test.version);
    uint32_t mask = 0;
    m_Api.Job(mask);
    cRecordedRequest request = m_Server.Requests().back();
    EXPECT_EQ(test.sent ? "IIS" : "", request.Header("BreltModVarloType"));
    EXPECT_EQ(test.sent ? "2.1" : "", request.Header("BreltModVarloVersion"));
    EXPECT_EQ("5.8.0.8", request.Header("BreltAgentVersion"));
  }
}

TEST_F(ApiTest, ModuleInformationWaitsForTheRecord) {
  cApi api;
  api.ModVarloInfo("IIS", "3.0");
  api.SetAgentInfo(&m_Info);
  int withModule = api.BuildHeaders();
  api.ModVarloInfo(nullptr, "");
  EXPECT_EQ(withModule - static_cast<int>(std::wstring(L"BreltModVarloType: IIS\r\nBreltModVarloVersion: 3.0\r\n").size()),
            api.BuildHeaders());
}

TEST_F(ApiTest, SignIn) {
  NvmVarlo(1).SetString(NvmVarlo::AgentId, "stored");
  // Same agent key as the record: nothing is written.
  m_Info.m_AgentId = "agent-7";
  SignIn();
  std::string stored;
  NvmVarlo(0).GetString(NvmVarlo::AgentId, stored);
  EXPECT_EQ("stored", stored);
  EXPECT_FALSE(m_Api.SessionExpired());

  // A new agent key goes to the record and the settings.
  Answer("POST", "/pauth/login/agent", R"({"returnCode":"0","ipKey":"agent-8","authKey":"session-10"})");
  EXPECT_EQ(0, m_Api.Login());
  EXPECT_EQ("agent-8", m_Info.m_AgentId);
  NvmVarlo(0).GetString(NvmVarlo::AgentId, stored);
  EXPECT_EQ("agent-8", stored);
  uint32_t mask = 0;
  m_Api.Job(mask);
  EXPECT_NE(std::string::npos, m_Server.Requests().back().target.find("&ipKey=agent-8&authKey=session-10"));
}

TEST_F(ApiTest, SignInAnswersThatGiveNoSession) {
  struct cCase {
    const char* answer;
    int result;
  } cases[] = {
      {R"({"returnCode":"0","dataNotFoundCode":"1","ipKey":"k","authKey":"s"})", 1},
      {R"({"returnCode":"0","ipKey":"k"})", -2},
      {R"({"returnCode":"0","ipKey":"k","authKey":7})", -2},
      {R"({"returnCode":"12"})", -5},
  };
  for (const cCase& test : cases) {
    Answer("POST", "/pauth/login/agent", test.answer);
    EXPECT_EQ(test.result, m_Api.Login()) << test.answer;
    EXPECT_TRUE(m_Api.SessionExpired()) << test.answer;
    EXPECT_EQ("agent-old", m_Info.m_AgentId) << test.answer;
  }
}

TEST_F(ApiTest, SignInWithoutAgentKeyKeepsTheOneHeld) {
  Answer("POST", "/pauth/login/agent", R"({"returnCode":"0","authKey":"s1"})");
  EXPECT_EQ(0, m_Api.Login());
  EXPECT_EQ("agent-old", m_Info.m_AgentId);
  uint32_t mask = 0;
  m_Api.Job(mask);
  EXPECT_NE(std::string::npos, m_Server.Requests().back().target.find("&ipKey=agent-old&authKey=s1"));
}

TEST_F(ApiTest, NoSessionSendsNothing) {
  uint32_t mask = 0;
  json_t* list = nullptr;
  auto callsThatNeedASession = [&] {
    EXPECT_EQ(-4, m_Api.Job(mask));
    EXPECT_EQ(-4, m_Api.SysFilter(list));
    EXPECT_EQ(-4, m_Api.SetServerFlag(0, 1));
    EXPECT_EQ(-4, m_Api.AckCmd(0, json_array()));
  };
  callsThatNeedASession();  // never signed in
  EXPECT_EQ(0u, m_Server.RequestCount());

  SignIn();
  Answer("GET", "/pserver/agent/agentjob", R"({"returnCode":"99001"})");
  EXPECT_EQ(-4, m_Api.Job(mask));
  EXPECT_TRUE(m_Api.SessionExpired());
  m_Server.ClearRequests();
  callsThatNeedASession();
  EXPECT_EQ(0u, m_Server.RequestCount());

  // A close drops the session and the agent key value: the next sign-in sends no "ipKey".
  SignIn();
  m_Api.Close();
  ASSERT_EQ(0, m_Api.Connect(L"127.0.0.1", 1, m_Server.Port()));
  callsThatNeedASession();
  EXPECT_EQ(0u, m_Server.RequestCount());
  EXPECT_EQ(0, m_Api.Login());
  EXPECT_EQ(std::string::npos, m_Server.Requests().back().body.find("ipKey"));
  EXPECT_EQ(nullptr, list);
}

TEST_F(ApiTest, WithoutTokenNothingElseIsSent) {
  SignIn();
  uint32_t mask = 0;
  for (const char* tokenAnswer : {R"({"returnCode":"0"})", R"("pserver-1")", R"({"csrfTokenKey":5})"}) {
    Answer("GET", "/pserver/csrftoken", tokenAnswer);
    m_Server.ClearRequests();
    EXPECT_EQ(-1, m_Api.Job(mask)) << tokenAnswer;
    EXPECT_EQ(1u, m_Server.RequestCount()) << tokenAnswer;
  }
  // A token that is no string still goes into a body as it stands.
  EXPECT_EQ(0, m_Api.SetServerFlag(0, 1));
  EXPECT_EQ(R"({"csrfTokenKey":5,"ipKey":"agent-7","authKey":"session-9","isLogUpload":1})",
            m_Server.Requests().back().body);
}

TEST_F(ApiTest, AnswersThatAreNoObjectGiveNoAnswer) {
  SignIn();
  uint32_t mask = 0;
  for (const char* body : {R"("0")", "5", "<html>error</html>", R"({"returnCode":"0"} trailing)"}) {
    Answer("GET", "/pserver/agent/agentjob", body);
    EXPECT_EQ(-1, m_Api.Job(mask)) << body;
  }
}

TEST_F(ApiTest, JobCodes) {
  SignIn();
  Answer("GET", "/pserver/agent/agentjob",
         R"({"returnCode":"0","result":{"list":[{"code":"filter"},{"code":"Filter"},{"code":"edrConf"},{"code":5},)"
         R"({"code":"vulnerability"},{"code":"filter"}]}})");
  uint32_t mask = 0x2;
  EXPECT_EQ(0, m_Api.Job(mask));
  EXPECT_EQ(0x80000902u, mask);

  Answer("GET", "/pserver/agent/agentjob", R"({"returnCode":"0","dataNotFoundCode":"1","result":{"list":[{"code":"audit"}]}})");
  EXPECT_EQ(1, m_Api.Job(mask));
  EXPECT_EQ(0x80000902u, mask);
  Answer("GET", "/pserver/agent/agentjob", R"({"returnCode":"0","result":{"list":{"code":"audit"}}})");
  EXPECT_EQ(0, m_Api.Job(mask));
  EXPECT_EQ(0x80000902u, mask);
}

TEST_F(ApiTest, ReportPeriodsAndSwitches) {
  SignIn();
  struct cCase {
    const char* result;
    uint32_t period;
    uint32_t on;
  } cases[] = {
      {R"({"duration":60000,"isUpload":"1"})", 60000, 1},
      {R"({"duration":60000,"isUpload":"0"})", 0, 0},
      {R"({"duration":60000,"isUpload":"true"})", 0, 0},
      {R"({"duration":60000})", 0, 0},
      {R"({"duration":60000.0,"isUpload":"1"})", 0, 1},
  };
  for (const cCase& test : cases) {
    Answer("GET", "/pserver/agent/conf/systemversion", std::string(R"({"returnCode":"0","result":)") + test.result + "}");
    Answer("GET", "/pserver/agent/conf/weblog", std::string(R"({"returnCode":"0","result":)") + test.result + "}");
    uint32_t period = 7, on = 7;
    EXPECT_EQ(0, m_Api.MonConf(1, period)) << test.result;
    EXPECT_EQ(test.period, period) << test.result;
    EXPECT_EQ(0, m_Api.LogConf(1, on)) << test.result;
    EXPECT_EQ(test.on, on) << test.result;
  }
  Answer("GET", "/pserver/agent/conf/systemversion", R"({"returnCode":"0","dataNotFoundCode":"1"})");
  uint32_t period = 7;
  EXPECT_EQ(1, m_Api.MonConf(1, period));
  EXPECT_EQ(7u, period);
}

TEST_F(ApiTest, EdrModes) {
  SignIn();
  struct cCase {
    const char* info;
    uint32_t detect, block, full;
  } cases[] = {
      {R"({"edrDetectMode":"agent","edrBlockMode":"block","isEdrSysFullUpload":"1"})", 1, 1, 1},
      {R"({"edrDetectMode":"Agent","edrBlockMode":"detect","isEdrSysFullUpload":"10"})", 0, 0, 1},
      {R"({"isEdrSysFullUpload":"0"})", 0, 0, 0},
      {R"({"isEdrSysFullUpload":""})", 0, 0, 0},
      {R"({"isEdrSysFullUpload":true})", 0, 0, 0},
      {R"(null)", 0, 0, 0},
  };
  for (const cCase& test : cases) {
    Answer("GET", "/pserver/agent/edr/conf", std::string(R"({"returnCode":"0","info":)") + test.info + "}");
    uint32_t detect = 7, block = 7, full = 7;
    EXPECT_EQ(0, m_Api.EdrConf(detect, block, full)) << test.info;
    EXPECT_EQ(test.detect, detect) << test.info;
    EXPECT_EQ(test.block, block) << test.info;
    EXPECT_EQ(test.full, full) << test.info;
  }
}

TEST_F(ApiTest, CommandScripts) {
  SignIn();
  ASSERT_TRUE(MakeInstallFolders().empty());
  const std::string file = "C:\\Program Files\\VARLO\\defense.bat";
  json_t* ids = nullptr;
  Answer("GET", "/pserver/agent/cmd/defense", R"({"returnCode":"0","result":{"agentDefenseCmdIds":[]}})");
  EXPECT_EQ(1, m_Api.GetCmd(0, ids, file));
  EXPECT_EQ(nullptr, ids);
  Answer("GET", "/pserver/agent/cmd/defense", R"({"returnCode":"0","result":{"agentDefenseCmdIds":[17]}})");
  EXPECT_EQ(0, m_Api.GetCmd(0, ids, file));
  EXPECT_EQ(1u, json_array_size(ids));
  EXPECT_EQ(17, json_integer_value(json_array_get(ids, 0)));
  json_decref(ids);
  ids = nullptr;
  EXPECT_FALSE(platform::FileExists(file));

  Answer("GET", "/pserver/agent/cmd/defense",
         R"({"returnCode":"0","result":{"agentDefenseCmdIds":[3],"script":")" + Packed("echo 1\necho 2\n") + R"("}})");
  EXPECT_EQ(0, m_Api.GetCmd(0, ids, file));
  json_decref(ids);
  std::string script;
  ASSERT_TRUE(platform::ReadWholeFile(file, script));
  EXPECT_EQ("echo 1\r\necho 2\r\n", script);
}

TEST_F(ApiTest, RuleLists) {
  SignIn();
  const std::string noData = R"({"returnCode":"0","dataNotFoundCode":"1","result":{"list":[1]},"list":[2]})";
  Answer("GET", "/pfilter/agent/filter", noData);
  Answer("GET", "/pfilter/agent/webextendsfilters", noData);
  Answer("GET", "/pfilter/agent/conf/sysuploadexcept", R"({"returnCode":"0","dataNotFoundCode":"1"})");
  json_t* value = nullptr;
  EXPECT_EQ(1, m_Api.SysFilter(value));
  EXPECT_EQ(nullptr, value);
  EXPECT_EQ(0, m_Api.WebFilter(2, value));
  EXPECT_EQ(1u, json_array_size(value));
  EXPECT_EQ(1, json_integer_value(json_array_get(value, 0)));
  json_decref(value);
  value = nullptr;
  EXPECT_EQ(0, m_Api.SysUploadExcept(value));
  EXPECT_TRUE(json_is_array(value));
  EXPECT_EQ(0u, json_array_size(value));
  json_decref(value);

  Answer("GET", "/pfilter/agent/filter", R"({"returnCode":"0","list":[{"id":4}]})");
  value = nullptr;
  EXPECT_EQ(0, m_Api.SysFilter(value));
  EXPECT_EQ(1u, json_array_size(value));
  json_decref(value);
}

TEST_F(ApiTest, EdrCommandsReplaceThePreviousListOnlyOnSuccess) {
  SignIn();
  json_t* commands = json_pack("[s]", "old");
  Answer("GET", "/pserver/agent/edr/edrdefensecmd", R"({"returnCode":"55"})");
  EXPECT_EQ(-5, m_Api.EdrDefenseCmd(commands));
  EXPECT_STREQ("old", json_string_value(json_array_get(commands, 0)));
  Answer("GET", "/pserver/agent/edr/edrdefensecmd", R"({"returnCode":"0","result":{"edrDefenseCmdList":["new"]}})");
  EXPECT_EQ(0, m_Api.EdrDefenseCmd(commands));
  EXPECT_STREQ("new", json_string_value(json_array_get(commands, 0)));
  Answer("GET", "/pserver/agent/edr/edrdefensecmd", R"({"returnCode":"0"})");
  EXPECT_EQ(0, m_Api.EdrDefenseCmd(commands));
  EXPECT_EQ(nullptr, commands);
}

TEST_F(ApiTest, ReferenceListsArriveCompressed) {
  SignIn();
  ASSERT_TRUE(MakeInstallFolders().empty());
  const std::string tempFile = "C:\\Program Files\\VARLO\\temp\\sysfilter-ref.json";
  struct cCase {
    std::string list;
    bool parsed;
  } cases[] = {
      {'"' + Packed(R"({"ipList":["10.0.0.0/8"]})") + '"', true},
      {R"("not base64 of anything")", false},
      {'"' + Packed("{broken") + '"', false},
      {"[1]", false},
  };
  for (const cCase& test : cases) {
    Answer("GET", "/pfilter/agent/filterelementreference", R"({"returnCode":"0","list":)" + test.list + "}");
    json_t* references = nullptr;
    EXPECT_EQ(0, m_Api.SysFilterRef(references)) << test.list;
    EXPECT_EQ(test.parsed, references != nullptr) << test.list;
    if (test.parsed) {
      EXPECT_TRUE(json_is_array(json_object_get(references, "ipList")));
    }
    json_decref(references);
    EXPECT_FALSE(platform::FileExists(tempFile)) << test.list;
  }
}

TEST_F(ApiTest, ModuleUpdateJob) {
  SignIn();
  int32_t id = 5;
  Answer("GET", "/pserver/agent/update/modvarlo", R"({"returnCode":"0"})");
  EXPECT_EQ(0, m_Api.ModVarloUpdate(id));
  EXPECT_EQ(0, id);
  Answer("GET", "/pserver/agent/update/modvarlo", R"({"returnCode":"0","agentExecuteLogId":31})");
  EXPECT_EQ(0, m_Api.ModVarloUpdate(id));
  EXPECT_EQ(31, id);
}

TEST_F(ApiTest, AnOpenConnectionStaysInUse) {
  cFakeManagementServer other(&m_Authority);
  ASSERT_TRUE(other.Start());
  EXPECT_EQ(0, m_Api.Connect(L"localhost", 1, other.Port()));
  json_t* token = m_Api.GetCsrfToken(cApi::PrefixServer);
  json_decref(token);
  EXPECT_EQ(1u, m_Server.RequestCount());
  EXPECT_EQ(0u, other.RequestCount());
}

TEST_F(ApiTest, AFailedConnectKeepsTheSessionForTheNextAttempt) {
  cApi api;
  api.SetAgentInfo(&m_Info);
  EXPECT_EQ(-2, api.Connect(L"", 1, m_Server.Port()));
  EXPECT_EQ(nullptr, api.Request(L"/pauth/csrftoken", cApi::VerbGet, nullptr, 0));
  EXPECT_EQ(0, api.Connect(L"127.0.0.1", 1, m_Server.Port()));
  json_t* token = api.GetCsrfToken(cApi::PrefixAuth);
  EXPECT_TRUE(json_is_string(token));
  json_decref(token);
}

TEST_F(ApiTest, UnknownAuthorityIsRefused) {
  cTestCertificateAuthority stranger;
  cFakeManagementServer impostor(&stranger);
  ASSERT_TRUE(impostor.Start());
  cApi api;
  api.SetAgentInfo(&m_Info);
  ASSERT_EQ(0, api.Connect(L"127.0.0.1", 1, impostor.Port()));
  EXPECT_EQ(-1, api.Login());
  EXPECT_EQ(0u, impostor.RequestCount());
}

// The proxy of the settings and its bypass list alone decide where a request goes: the
// environment's proxy settings, which stand in for the system's automatic proxy, change nothing.
TEST_F(ApiTest, ProxyFromTheSettingsAndItsBypassList) {
  cFakeProxy proxy, environmentProxy;
  ASSERT_TRUE(proxy.Start());
  ASSERT_TRUE(environmentProxy.Start());
  const std::string elsewhere = "http://" + environmentProxy.Address();
  cScopedEnvironment environment({{"no_proxy", "127.0.0.1,localhost"},
                                  {"NO_PROXY", "*"},
                                  {"https_proxy", elsewhere},
                                  {"HTTPS_PROXY", elsewhere},
                                  {"all_proxy", elsewhere}});
  const std::string address = proxy.Address();
  struct cCase {
    std::wstring bypass;
    size_t tunnels;
  } cases[] = {{L"", 1}, {L"*.example.test", 1}, {L"*.example.test;127.0.0.1", 0}};
  constexpr size_t kRequests = 3;
  for (const cCase& test : cases) {
    m_Info.m_Proxy.assign(address.begin(), address.end());
    m_Info.m_ProxyBypass = test.bypass;
    const size_t before = proxy.RequestLines().size();
    const size_t connections = m_Server.AcceptedConnections();
    cApi api;
    api.SetAgentInfo(&m_Info);
    ASSERT_EQ(0, api.Connect(L"127.0.0.1", 1, m_Server.Port()));
    for (size_t request = 0; request < kRequests; ++request) {
      json_t* token = api.GetCsrfToken(cApi::PrefixAuth);
      EXPECT_TRUE(json_is_string(token));
      json_decref(token);
    }
    // Requests of one client share a connection: through the proxy, one tunnel.
    EXPECT_EQ(before + test.tunnels, proxy.RequestLines().size());
    EXPECT_EQ(connections + 1, m_Server.AcceptedConnections());
  }
  EXPECT_EQ("CONNECT 127.0.0.1:" + std::to_string(m_Server.Port()) + " HTTP/1.1", proxy.RequestLines()[0]);
  EXPECT_TRUE(environmentProxy.RequestLines().empty());
}

// A request that fails at the proxy says so, with what the proxy answered.
TEST_F(ApiTest, AProxysFailureIsToldAsTheProxys) {
  cFakeProxy refusing;
  ASSERT_TRUE(refusing.Start());
  refusing.RefuseTunnels(403);
  cRefusingPort down;
  const std::string downAddress = "127.0.0.1:" + std::to_string(down.Port());
  struct cCase {
    std::string proxy;
    std::string reason;
  } cases[] = {
      {refusing.Address(), "the proxy " + refusing.Address() + " refused the tunnel with status 403 (12030)"},
      {downAddress, "the proxy " + downAddress + " failed: connection refused or host unreachable (12029)"},
  };
  for (const cCase& test : cases) {
    cCapturedLog log;
    m_Info.m_Proxy.assign(test.proxy.begin(), test.proxy.end());
    cApi api;
    api.SetAgentInfo(&m_Info);
    ASSERT_EQ(0, api.Connect(L"127.0.0.1", 1, m_Server.Port()));
    EXPECT_EQ(-1, api.Login());
    EXPECT_TRUE(log.Has("request of /pauth/csrftoken failed: " + test.reason)) << log.Text();
  }
  EXPECT_EQ(0u, m_Server.RequestCount());
}

// An answer that keeps coming is waited for however slowly it comes, each byte within the
// receive time-out of the one before. Each of these takes a minute: they are cases of their own.
class SlowAnswerTest : public ApiTest {
 protected:
  // The job list, one byte of rest after each pause: the job's status and how long it took.
  int Job(const std::string& rest, std::chrono::milliseconds pause, std::chrono::steady_clock::duration& took) {
    SignIn();
    const std::string head = R"({"returnCode":"0","result":{"list":[{"code":"logConf"}]})";
    m_Server.Script("GET", "/pserver/agent/agentjob", cScriptedAnswer::Trickling(head, rest, pause));
    uint32_t mask = 0;
    const auto start = std::chrono::steady_clock::now();
    const int result = m_Api.Job(mask);
    took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(result == 0 ? 1u : 0u, mask);
    return result;
  }
  cCapturedLog m_Log;
};

TEST_F(SlowAnswerTest, AByteEveryTwoSecondsForAMinuteIsReadToItsEnd) {
  std::chrono::steady_clock::duration took;
  EXPECT_EQ(0, Job(R"(,"pad":")" + std::string(20, 'x') + R"("})", std::chrono::seconds(2), took)) << m_Log.Text();
  EXPECT_GE(took, std::chrono::seconds(60));
  EXPECT_FALSE(m_Log.Has("failed")) << m_Log.Text();
}

TEST_F(SlowAnswerTest, AByteEveryTwentySecondsForAMinuteIsReadToItsEnd) {
  std::chrono::steady_clock::duration took;
  EXPECT_EQ(0, Job("}  ", std::chrono::seconds(20), took)) << m_Log.Text();
  EXPECT_GE(took, std::chrono::seconds(60));
  EXPECT_FALSE(m_Log.Has("failed")) << m_Log.Text();
}

TEST_F(SlowAnswerTest, AnAnswerThatStallsLongerThanTheReceiveTimeOutFailsAsTimedOut) {
  std::chrono::steady_clock::duration took;
  EXPECT_EQ(-1, Job("}", std::chrono::seconds(31), took)) << m_Log.Text();
  EXPECT_GE(took, std::chrono::seconds(30));
  EXPECT_TRUE(m_Log.Has("request of /pserver/agent/agentjob failed: answer broken off: timed out (12002)"))
      << m_Log.Text();
}

// A run of failures is told at its first and at each change of reason, then by its length.
TEST_F(ApiTest, AFailedRequestIsLoggedWithItsReason) {
  cCapturedLog log;
  cRefusingPort refusing;
  cApi api;
  api.SetAgentInfo(&m_Info);
  ASSERT_EQ(0, api.Connect(L"127.0.0.1", 1, refusing.Port()));
  EXPECT_EQ(-1, api.Login());
  EXPECT_EQ(-1, api.Login());
  api.Close();
  ASSERT_EQ(0, api.Connect(L"127.0.0.1", 1, m_Server.Port()));
  m_Server.Script("GET", "/pauth/csrftoken", cScriptedAnswer(502, "<html>Bad Gateway</html>", "text/html"));
  EXPECT_EQ(-1, api.Login());
  m_Server.Script("GET", "/pauth/csrftoken", cScriptedAnswer(200, R"({"csrfTokenKey":"t"})"));
  json_decref(api.GetCsrfToken(cApi::PrefixAuth));
  EXPECT_EQ(1u, log.Count("request of /pauth/csrftoken failed: connection refused or host unreachable (12029)"))
      << log.Text();
  EXPECT_EQ(1u, log.Count("request of /pauth/csrftoken failed: answer not JSON, status 502")) << log.Text();
  EXPECT_EQ(2u, log.Count("failed:")) << log.Text();
  EXPECT_TRUE(log.Has("request of /pauth/csrftoken succeeded after 3 failed in a row")) << log.Text();

  // A run still going when the client stops is told by its length then.
  {
    cApi stopping;
    stopping.SetAgentInfo(&m_Info);
    ASSERT_EQ(0, stopping.Connect(L"127.0.0.1", 1, refusing.Port()));
    for (int attempt = 0; attempt < 4; ++attempt) EXPECT_EQ(-1, stopping.Login());
  }
  EXPECT_TRUE(log.Has("request of /pauth/csrftoken failed 4 times in a row up to the stop")) << log.Text();
}

// A proxy that is set and cannot be used opens no session: nothing goes out directly.
TEST_F(ApiTest, AProxyThatCannotBeUsedSendsNothing) {
  struct cCase {
    const wchar_t* proxy;
    bool unreadable;
    const char* logged;
  } cases[] = {{L"", true, "the setting Proxy is there but cannot be read"},
               {L" ; ", false, "the proxy  ;  cannot be used: refused by the transport (87)"}};
  for (const cCase& test : cases) {
    cCapturedLog log;
    m_Info.m_Proxy = test.proxy;
    m_Info.m_ProxyUnreadable = test.unreadable;
    cApi api;
    api.SetAgentInfo(&m_Info);
    EXPECT_EQ(-1, api.Connect(L"127.0.0.1", 1, m_Server.Port()));
    EXPECT_EQ(-1, api.Login());
    EXPECT_TRUE(log.Has(std::string("cApi::Connect()=-1: ") + test.logged)) << log.Text();
    EXPECT_TRUE(log.Has(std::string("request of /pauth/csrftoken failed: ") + test.logged)) << log.Text();
  }
  EXPECT_EQ(0u, m_Server.AcceptedConnections());
}

// Through a proxy the port chosen shows without a server on it.
TEST_F(ApiTest, PortZeroIsTheSchemesPort) {
  cFakeProxy proxy;
  ASSERT_TRUE(proxy.Start());
  const std::string address = proxy.Address();
  m_Info.m_Proxy.assign(address.begin(), address.end());
  for (int secure : {1, 0}) {
    cApi api;
    api.SetAgentInfo(&m_Info);
    ASSERT_EQ(0, api.Connect(L"127.0.0.1", secure, 0));
    json_decref(api.GetCsrfToken(cApi::PrefixAuth));
  }
  std::vector<std::string> lines = proxy.RequestLines();
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ("CONNECT 127.0.0.1:443 HTTP/1.1", lines[0]);
  EXPECT_EQ("GET http://127.0.0.1/pauth/csrftoken HTTP/1.1", lines[1]);  // 80 goes unwritten
}

}  // namespace
