// Host facts and counters from a seeded registry, adapter list and /proc files.
#include <gtest/gtest.h>

#include <fstream>
#include <optional>

#include "VarloService/sysinfo/SystemInfo.h"
#include "common/AgentInfo.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Registry.h"
#include "tests/support/RecordingTools.h"
#include "tests/support/TempMachineRoot.h"

namespace {

void WriteStateFile(const std::string& name, const std::string& text) {
  std::string path = platform::StateFolder() + "/" + name;
  platform::CreateFolders(path.substr(0, path.rfind('/')));
  std::ofstream(path) << text;
}

class cOsKey {
 public:
  cOsKey() {
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, kOsVersionKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                    &m_Key, nullptr);
  }
  ~cOsKey() { RegCloseKey(m_Key); }
  void Text(const char* name, const std::string& value) {
    RegSetValueExA(m_Key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>(value.size() + 1));
  }
  void Number(const char* name, DWORD value) {
    RegSetValueExA(m_Key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
  }

 private:
  HKEY m_Key = nullptr;
};

class SystemInfoTest : public ::testing::Test {
 protected:
  void Init() {
    m_Record.emplace();
    m_Info.Init(&*m_Record);
  }
  cTempMachineRoot m_Root;
  std::optional<cAgentInfo> m_Record;
  cSystemInfo m_Info;
};

struct cOsCase {
  const char* name;
  const char* installationType;
  std::optional<DWORD> major, minor;
  const char* currentVersion;
  const char* build;
  const char* expectedName;
  const char* expectedWorkType;
  const char* expectedVersion;
};

TEST_F(SystemInfoTest, OperatingSystemFromTheVersionKey) {
  const cOsCase cases[] = {
      {"Windows 10 Enterprise", "Client", 10, 0, nullptr, "22631", "Windows 11 Enterprise", "1",
       "10.0"},
      {"Windows Server 2019 Datacenter", "Server", 10, 0, nullptr, "20348",
       "Windows Server 2022 Datacenter", "2", "10.0"},
      {"Windows 10 Pro", "Client", 10, 0, nullptr, "19045", "Windows 10 Pro", "1", "10.0"},
      {"Windows 7 Professional", "Client", std::nullopt, std::nullopt, "6.1", "7601",
       "Windows 7 Professional", "1", "6.1"},
      // A newer server than the correction is meant for keeps its name.
      {"Windows Server 2025 Datacenter", "Server", 10, 0, nullptr, "26100",
       "Windows Server 2025 Datacenter", "2", "10.0"},
      {"Windows 10 Pro", "Embedded", 10, std::nullopt, nullptr, "22000", "Windows 10 Pro", "0",
       "10."},
  };
  for (const auto& each : cases) {
    cTempMachineRoot root;
    {
      cOsKey key;
      key.Text("ProductName", each.name);
      key.Text("InstallationType", each.installationType);
      if (each.major) key.Number("CurrentMajorVersionNumber", *each.major);
      if (each.minor) key.Number("CurrentMinorVersionNumber", *each.minor);
      if (each.currentVersion) key.Text("CurrentVersion", each.currentVersion);
      key.Text("CurrentBuild", each.build);
    }
    Init();
    EXPECT_EQ(m_Record->m_OsName, each.expectedName) << each.name << " " << each.build;
    EXPECT_EQ(m_Record->m_OsWorkType, each.expectedWorkType) << each.name;
    EXPECT_EQ(m_Record->m_OsMajor + "." + m_Record->m_OsMinor, each.expectedVersion) << each.name;
  }
}

TEST_F(SystemInfoTest, WithoutTheVersionKeyTheFieldsKeepTheirStartValues) {
  Init();
  EXPECT_EQ(m_Record->m_OsName, "");
  EXPECT_EQ(m_Record->m_OsWorkType, "0");
  EXPECT_EQ(m_Record->m_OsMajor, "");
}

TEST_F(SystemInfoTest, AddressOfTheFirstUsedAdapterWithAGatewayElseOfTheLastUsedOne) {
  struct cCase {
    const char* adapters;
    int expected;
    const char* address;
  } cases[] = {
      {"lo up - 127.0.0.1\neth0 up 0a:00 10.0.0.5\neth1 up 0b:00 192.168.1.9 gateway 192.168.1.1\n"
       "eth2 up 0c:00 172.16.0.3 gateway 172.16.0.1\n",
       2, "192.168.1.9"},
      {"eth0 up 0a:00 10.0.0.5\neth1 up 0b:00 10.0.0.6\n", 1, "10.0.0.6"},
      {"eth0 down 0a:00 10.0.0.5 gateway 10.0.0.1\neth1 up 0b:00 -\nlo up - 127.0.0.1\n", 0,
       "9.9.9.9"},
  };
  Init();
  for (const auto& each : cases) {
    WriteStateFile("adapters.txt", each.adapters);
    m_Record->m_IpAddr = "9.9.9.9";
    EXPECT_EQ(m_Info.UpdateIpAddr(), each.expected) << each.adapters;
    EXPECT_EQ(m_Record->m_IpAddr, each.address) << each.adapters;
  }
}

TEST_F(SystemInfoTest, HostNameWithoutItsDomain) {
  WriteStateFile("hostname", "web-01.example.test\n");
  Init();
  EXPECT_EQ(m_Record->m_HostName, "web-01");
}

TEST_F(SystemInfoTest, CountersReadNothingUntilTheSecondCollectionThenRatesInTheirUnits) {
  platform::cManualClock clock;
  platform::SetClock(&clock);
  WriteStateFile("proc/stat", "cpu  100 0 100 800 0 0 0 0 0 0\n");
  WriteStateFile("proc/diskstats",
                 "8 0 sda 1 0 0 0 0 0 0 0 0 1000 0\n8 1 sda1 1 0 0 0 0 0 0 0 0 9000 0\n");
  WriteStateFile(
      "proc/net/dev",
      "Inter-|   Receive\n face |bytes\n    lo: 5 0 0 0 0 0 0 0 5 0 0 0 0 0 0 0\n"
      "  eth0: 10 0 0 0 0 0 0 0 20 0 0 0 0 0 0 0\n  eth1: 1000 0 0 0 0 0 0 0 500 0 0 0 0 0 0 0\n");
  Init();
  ASSERT_NE(m_Info.m_RxCounter, nullptr) << "the last listed instance is measured";
  PDH_FMT_COUNTERVALUE value{};
  ASSERT_EQ(PdhCollectQueryData(m_Info.m_Query), PDH_CSTATUS_VALID_DATA);
  for (PDH_HCOUNTER counter :
       {m_Info.m_CpuCounter, m_Info.m_DiskCounter, m_Info.m_RxCounter, m_Info.m_TxCounter}) {
    EXPECT_EQ(PdhGetFormattedCounterValue(counter, PDH_FMT_DOUBLE, nullptr, &value),
              PDH_INVALID_DATA);
  }

  clock.Advance(2000);
  WriteStateFile("proc/stat", "cpu  150 0 150 1700 0 0 0 0 0 0\n");
  WriteStateFile("proc/diskstats",
                 "8 0 sda 1 0 0 0 0 0 0 0 0 2000 0\n8 1 sda1 1 0 0 0 0 0 0 0 0 9000 0\n");
  WriteStateFile(
      "proc/net/dev",
      "  eth0: 10 0 0 0 0 0 0 0 20 0 0 0 0 0 0 0\n  eth1: 5000 0 0 0 0 0 0 0 1500 0 0 0 0 0 0 0\n");
  ASSERT_EQ(PdhCollectQueryData(m_Info.m_Query), PDH_CSTATUS_VALID_DATA);
  const std::pair<PDH_HCOUNTER, double> expected[] = {{m_Info.m_CpuCounter, 10.0},
                                                      {m_Info.m_DiskCounter, 50.0},
                                                      {m_Info.m_RxCounter, 2000.0},
                                                      {m_Info.m_TxCounter, 500.0}};
  for (const auto& [counter, reading] : expected) {
    ASSERT_EQ(PdhGetFormattedCounterValue(counter, PDH_FMT_DOUBLE, nullptr, &value),
              PDH_CSTATUS_VALID_DATA);
    EXPECT_DOUBLE_EQ(value.doubleValue, reading);
  }
  platform::SetClock(nullptr);
}

TEST_F(SystemInfoTest, MemoryAndDiskUseInPercent) {
  WriteStateFile("proc/meminfo", "MemTotal: 1000 kB\nMemFree: 100 kB\nMemAvailable: 250 kB\n");
  MEMORYSTATUSEX memory{};
  memory.dwLength = sizeof(memory);
  ASSERT_TRUE(GlobalMemoryStatusEx(&memory));
  EXPECT_EQ(memory.ullTotalPhys, 1024000u);
  EXPECT_EQ(memory.dwMemoryLoad, 75u);
  ULARGE_INTEGER free{}, total{}, totalFree{};
  ASSERT_TRUE(GetDiskFreeSpaceExA(nullptr, &free, &total, &totalFree));
  EXPECT_GT(total.QuadPart, 0u);
  EXPECT_LE(totalFree.QuadPart, total.QuadPart);
}

TEST_F(SystemInfoTest, ReleaseIdAndUpdateLinesChangeOnce) {
  cRecordingTools tools(m_Root.Path() + "/tools");
  tools.Add("wmic", 0, "HotFixID  InstalledOn  \r\nKB5034441  1/10/2024  \r\nXKB1 x\r\n\r\n");
  {
    cOsKey key;
    key.Text("CurrentVersion", "6.3");
    key.Text("ReleaseId", "2009");
  }
  Init();
  EXPECT_EQ(m_Info.UpdateOsPatchInfo(), 2);
  EXPECT_EQ(m_Record->m_OsReleaseId, "2009");
  EXPECT_EQ(m_Record->m_HotFixes, "KB5034441  1/10/2024  \r,");
  EXPECT_EQ(m_Info.UpdateOsPatchInfo(), 0);
  EXPECT_EQ(tools.Calls("wmic"), std::vector<std::string>(2, "wmic QFE get HotFixID, InstalledOn"));
}

}  // namespace
