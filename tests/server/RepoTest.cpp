// The repository client against the fake repository: endpoint, text files, downloads and
// manifest-checked packages.
#include "VarloService/server/Repo.h"

#include <map>

#include "common/Nvm.h"
#include "common/Sha256.h"
#include "platform/Files.h"
#include "tests/server/ServerFixture.h"
#include "tests/support/CapturedLog.h"
#include "tests/support/FakeRepository.h"

namespace {

const std::string kFolder = "C:\\ModVarlo\\";

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::string Read(const std::string& path) {
  std::string content;
  return platform::ReadWholeFile(path, content) ? content : "<missing>";
}

class RepoTest : public cServerTest {
 protected:
  void SetUp() override {
    cServerTest::SetUp();
    ASSERT_TRUE(m_Repository.Start());
    ASSERT_TRUE(platform::CreateFolders(kFolder + "32"));
    m_Repo.SetAgentInfo(&m_Info);
    ASSERT_EQ(0, m_Repo.Connect(L"127.0.0.1", 1, m_Repository.Port()));
  }

  cFakeRepository m_Repository{&m_Authority};
  cAgentInfo m_Info;
  cRepo m_Repo;
};

TEST_F(RepoTest, EndpointFromTheSettingsOrTheDefault) {
  cRepo repo;
  EXPECT_EQ(1, repo.LoadEndpoint());
  EXPECT_EQ(L"repo.varlo.test", repo.m_Host);
  EXPECT_EQ(1, repo.m_Secure);
  EXPECT_EQ(443, repo.m_Port);

  NvmDomain(1).SetString(NvmDomain::Repo, "http://127.0.0.1:8080/files");
  EXPECT_EQ(0, repo.LoadEndpoint());
  EXPECT_EQ(L"127.0.0.1", repo.m_Host);
  EXPECT_EQ(0, repo.m_Secure);
  EXPECT_EQ(8080, repo.m_Port);
}

TEST_F(RepoTest, PlainRepositoryByAFourLetterScheme) {
  cFakeRepository plain(nullptr);
  ASSERT_TRUE(plain.Start());
  plain.AddFile("/v4/agent/win/version", "5.9.0.1\r\n");
  NvmDomain(1).SetString(NvmDomain::Repo, plain.Url("/"));
  cRepo repo;
  ASSERT_EQ(0, repo.LoadEndpoint());
  ASSERT_EQ(0, repo.Connect(repo.m_Host, repo.m_Secure, repo.m_Port));
  std::string text;
  EXPECT_EQ(0, repo.GetText(L"v4/agent/win/version", text));
  EXPECT_EQ("5.9.0.1\r\n", text);
  std::vector<std::string> names;
  const cRecordedRequest request = plain.Requests()[0];
  for (const auto& header : request.headers) names.push_back(header.first);
  EXPECT_EQ((std::vector<std::string>{"Host", "User-Agent"}), names);
}

TEST_F(RepoTest, GetText) {
  m_Repository.AddFile("/v4/module/iis/version", "2.0");
  m_Repository.AddFile("/empty", "");
  std::string text;
  EXPECT_EQ(0, m_Repo.GetText(L"/v4/module/iis/version", text));
  EXPECT_EQ("2.0", text);
  EXPECT_EQ(0, m_Repo.GetText(L"/empty", text));
  EXPECT_EQ("2.0", text);
  EXPECT_EQ(-3, m_Repo.GetText(L"/missing", text));
  EXPECT_EQ("2.0", text);
  EXPECT_FALSE(m_Repository.Requests()[0].HasHeader("Content-Type"));

  cRefusingPort refusing;
  cRepo unreachable;
  ASSERT_EQ(0, unreachable.Connect(L"127.0.0.1", 1, refusing.Port()));
  EXPECT_EQ(0, unreachable.GetText(L"/v4/module/iis/version", text));
  EXPECT_EQ("2.0", text);
  EXPECT_EQ(-1, cRepo().GetText(L"/x", text));
}

TEST_F(RepoTest, DownloadWritesTheBodyOfASuccessfulAnswerOnly) {
  m_Repository.AddFile("/setup.exe", std::string("MZ\0\r\n\x01", 6));
  EXPECT_EQ(0, m_Repo.Download(L"/setup.exe", kFolder + "setup.exe"));
  EXPECT_EQ(std::string("MZ\0\r\n\x01", 6), Read(kFolder + "setup.exe"));
  EXPECT_EQ(0, m_Repo.Download(L"/missing", kFolder + "page"));
  EXPECT_EQ("", Read(kFolder + "page")) << "an error page is no file";
  EXPECT_EQ(-3, m_Repo.Download(L"/setup.exe", kFolder + "no\\such\\folder\\setup.exe"));
  EXPECT_EQ(-1, cRepo().Download(L"/setup.exe", kFolder + "setup.exe"));

  cRefusingPort refusing;
  cRepo unreachable;
  ASSERT_EQ(0, unreachable.Connect(L"127.0.0.1", 1, refusing.Port()));
  EXPECT_EQ(0, unreachable.Download(L"/setup.exe", kFolder + "setup.exe"));
  EXPECT_EQ("", Read(kFolder + "setup.exe"));
}

TEST_F(RepoTest, PackagesCountTheVerifiedFiles) {
  const std::map<std::string, std::string> files = {{"a.dll", "alpha"}, {"32/b.dll", "beta"}};
  const std::string lf = cFakeRepository::Manifest(files, "\n");
  struct cCase {
    const char* name;
    std::string manifest;
    int verified;
  } cases[] = {
      {"LF", lf, 2},
      {"CR LF", cFakeRepository::Manifest(files, "\r\n"), 2},
      {"one line, blanks and tabs", Sha256Hex("alpha") + " \ta.dll  " + Sha256Hex("beta") + "\t32/b.dll", 2},
      {"upper-case digests", Upper(Sha256Hex("alpha")) + "\na.dll\n" + Upper(Sha256Hex("beta")) + "\n32/b.dll\n", 0},
      {"odd last word", lf + Sha256Hex("gamma") + "\n", 2},
      {"short digest", Sha256Hex("alpha").substr(1) + "\na.dll\n", 0},
      {"a listed file is missing", lf + Sha256Hex("gamma") + "\nc.dll\n", 2},
      {"empty file with the empty digest", Sha256Hex("") + "\nempty.dll\n", 0},
      {"a sub-folder that does not exist yet is made", Sha256Hex("alpha") + "\n64/a.dll\n", 1},
      {"no folder stays for a file that failed", Sha256Hex("gamma") + "\nnew/sub/c.dll\n", 0},
      {"empty manifest", "", 0},
  };
  m_Repository.AddFile("/v4/module/iis/a.dll", "alpha");
  m_Repository.AddFile("/v4/module/iis/32/b.dll", "beta");
  m_Repository.AddFile("/v4/module/iis/empty.dll", "");
  m_Repository.AddFile("/v4/module/iis/64/a.dll", "alpha");
  for (const cCase& test : cases) {
    for (const char* name : {"a.dll", "32\\b.dll"}) platform::DeletePath(kFolder + name);
    m_Repository.AddFile("/v4/module/iis/manifest", test.manifest);
    EXPECT_EQ(test.verified, m_Repo.DownloadPackage(L"/v4/module/iis/", kFolder)) << test.name;
    EXPECT_EQ(test.manifest, Read(kFolder + "manifest")) << test.name;
    if (test.verified == 2) {
      EXPECT_EQ("alpha", Read(kFolder + "a.dll")) << test.name;
      EXPECT_EQ("beta", Read(kFolder + "32\\b.dll")) << test.name;
    } else {
      EXPECT_FALSE(platform::FileExists(kFolder + "a.dll")) << test.name;
    }
    std::vector<std::string> names;
    platform::ListFolder(kFolder, names);
    for (const std::string& name : names) EXPECT_EQ(std::string::npos, name.find(".download")) << test.name;
    EXPECT_FALSE(platform::FileExists(kFolder + "new")) << test.name;
  }
}

TEST_F(RepoTest, AnErrorPageForTheManifestInstallsNothingAndMakesNoFolder) {
  auto expectNothingInstalled = [this](const char* answer) {
    SCOPED_TRACE(answer);
    cCapturedLog log;
    m_Repository.ClearRequests();
    EXPECT_EQ(0, m_Repo.DownloadPackage(L"/v4/missing/", kFolder));
    EXPECT_EQ(1u, m_Repository.RequestCount()) << "only the manifest is asked for";
    std::vector<std::string> names;
    platform::ListFolder(kFolder, names);
    EXPECT_EQ((std::vector<std::string>{"32", "manifest"}), names);
    EXPECT_TRUE(log.Has("manifest of /v4/missing/ gives no valid entry")) << log.Text();
  };
  expectNothingInstalled("404");
  // A server that answers a missing file with its error page and 200.
  m_Repository.AddFile("/v4/missing/manifest", "<html>Not Found</html>");
  expectNothingInstalled("an error page with 200");
}

TEST_F(RepoTest, LargeFilesArriveWhole) {
  std::string large(1 << 20, '\0');
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>((i * 7919) >> 5);
  m_Repository.AddPackage("/big/", {{"large.bin", large}});
  EXPECT_EQ(1, m_Repo.DownloadPackage(L"/big/", kFolder));
  EXPECT_EQ(large, Read(kFolder + "large.bin"));
}

TEST_F(RepoTest, AnUnverifiedFileNeverReplacesAGoodOne) {
  ASSERT_TRUE(platform::WriteFileAtomically(kFolder + "a.dll", "alpha"));
  ASSERT_TRUE(platform::WriteFileAtomically(kFolder + "c.dll", "gamma"));
  m_Repository.AddFile("/pkg/manifest", Sha256Hex("alpha") + "\na.dll\n" + Sha256Hex("gamma") + "\nc.dll\n");
  m_Repository.AddFile("/pkg/a.dll", "alp");  // cut short
  // c.dll is not there: the error page comes back.
  EXPECT_EQ(0, m_Repo.DownloadPackage(L"/pkg/", kFolder));
  EXPECT_EQ("alpha", Read(kFolder + "a.dll"));
  EXPECT_EQ("gamma", Read(kFolder + "c.dll"));
  EXPECT_FALSE(platform::FileExists(kFolder + "a.dll.download"));
  EXPECT_FALSE(platform::FileExists(kFolder + "c.dll.download"));
}

TEST_F(RepoTest, NamesThatLeaveTheFolderOrAreNoUtf8AreRefused) {
  for (const char* name : {"../escape.dll", "32/../../escape.dll", "/escape.dll", "C:\\escape.dll", "caf\xe9.dll"}) {
    m_Repository.AddFile("/pkg/manifest", Sha256Hex("evil") + "\n" + name + "\n");
    EXPECT_EQ(0, m_Repo.DownloadPackage(L"/pkg/", kFolder)) << name;
  }
  EXPECT_FALSE(platform::FileExists("C:\\escape.dll"));
  EXPECT_EQ(5u, m_Repository.RequestCount()) << "only the manifests were fetched";
}

TEST_F(RepoTest, UnreachableRepository) {
  EXPECT_EQ(-1, cRepo().DownloadPackage(L"/pkg/", kFolder));
  cRefusingPort refusing;
  cRepo unreachable;
  ASSERT_EQ(0, unreachable.Connect(L"127.0.0.1", 1, refusing.Port()));
  EXPECT_EQ(0, unreachable.DownloadPackage(L"/pkg/", kFolder));
  EXPECT_EQ("", Read(kFolder + "manifest"));
  EXPECT_EQ(-1, unreachable.DownloadPackage(L"/pkg/", "C:\\NoSuchFolder\\"));
}

}  // namespace
