#include "platform/EventChannelStore.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>

#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/NoCase.h"

namespace platform {

namespace {

// The channels of a Windows client out of the box, with their default state. Sysmon's channel and
// those of server roles appear only when created.
const cChannelConfig kStockChannels[] = {
    {"Application", true},
    {"System", true},
    {"Setup", true},
    {"Security", true},
    {"Microsoft-Windows-DriverFrameworks-UserMode/Operational", false},
    {"Microsoft-Windows-Kernel-PnP/Configuration", true},
    {"Microsoft-Windows-Windows Defender/Operational", true},
    {"Microsoft-Windows-TaskScheduler/Operational", false},
    {"Microsoft-Windows-TerminalServices-LocalSessionManager/Operational", true},
    {"Microsoft-Windows-TerminalServices-RemoteConnectionManager/Operational", true},
    {"Microsoft-Windows-PowerShell/Operational", true},
    {"Microsoft-Windows-PrintService/Operational", false},
    {"Microsoft-Windows-Windows Firewall With Advanced Security/Firewall", true},
    {"Microsoft-Windows-Shell-Core/Operational", true},
    {"Microsoft-Windows-NetworkProfile/Operational", true},
    {"Microsoft-Windows-User Profile Service/Operational", true},
    {"Microsoft-Windows-SMBClient/Operational", true},
    {"Microsoft-Windows-SMBClient/Connectivity", true},
    {"Microsoft-Windows-RemoteDesktopServices-RdpCoreTS/Operational", true},
    {"Microsoft-Windows-DNS-Client/Operational", false},
    {"Microsoft-Windows-Partition/Diagnostic", true},
};

bool Fail(DWORD error) {
  SetLastError(error);
  return false;
}

// Channel names hold "/" and blanks; folder names keep letters, digits and ".-_" (lower case, as
// names compare without regard to case) and write every other byte as %XX.
std::string FolderName(const std::string& channel) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string name;
  for (char c : LowerAscii(channel)) {
    unsigned char byte = static_cast<unsigned char>(c);
    if ((byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9') || c == '-' || c == '_' ||
        (c == '.' && !name.empty())) {
      name += c;
    } else {
      name += '%';
      name += kHex[byte >> 4];
      name += kHex[byte & 15];
    }
  }
  return name;
}

std::string ConfigText(const cChannelConfig& config) {
  return "Name=" + config.name + "\nEnabled=" + (config.enabled ? "1" : "0") + "\n";
}

std::string StoreFolder() {
  std::string store = StateFolder() + "/eventlog";
  struct stat info;
  if (stat(store.c_str(), &info) == 0) return store;
  // A new store is filled aside and renamed into place, so that racing processes agree on it.
  static std::atomic<unsigned> counter{0};
  std::string fresh = store + ".new." + std::to_string(getpid()) + "." + std::to_string(counter++);
  bool filled = CreateFolders(fresh);
  for (const cChannelConfig& channel : kStockChannels) {
    std::string folder = fresh + "/" + FolderName(channel.name);
    filled = filled && CreateFolders(folder) && WriteFileAtomically(folder + "/config", ConfigText(channel));
  }
  if (!filled || rename(fresh.c_str(), store.c_str()) != 0) {
    std::error_code ignored;
    std::filesystem::remove_all(fresh, ignored);
  }
  return store;
}

// Holds a lock on the journal (created when missing) for the life of the object.
class cJournalLock {
 public:
  cJournalLock(const std::string& channel, int lockKind, int openFlags)
      : m_fd(open(ChannelJournal(channel).c_str(), openFlags | O_CREAT | O_CLOEXEC, 0644)) {
    if (m_fd >= 0 && flock(m_fd, lockKind) != 0) {
      close(m_fd);
      m_fd = -1;
    }
    if (m_fd < 0) SetLastError(ErrorFromErrno(errno));
  }
  ~cJournalLock() {
    if (m_fd >= 0) close(m_fd);  // releases the lock
  }
  cJournalLock(const cJournalLock&) = delete;
  cJournalLock& operator=(const cJournalLock&) = delete;
  int Fd() const { return m_fd; }

 private:
  int m_fd;
};

}  // namespace

std::string ChannelFolder(const std::string& channel) { return StoreFolder() + "/" + FolderName(channel); }

std::string ChannelJournal(const std::string& channel) { return ChannelFolder(channel) + "/journal"; }

unsigned long InjectedSubscribeFailure() {
  std::string text;
  if (!ReadWholeFile(StoreFolder() + "/subscribe-fails", text)) return 0;
  return std::strtoul(text.c_str(), nullptr, 10);
}

bool ReadChannelConfig(const std::string& channel, cChannelConfig& config) {
  std::string text;
  if (channel.empty() || !ReadWholeFile(ChannelFolder(channel) + "/config", text)) {
    return Fail(ERROR_EVT_CHANNEL_NOT_FOUND);
  }
  config.name = channel;
  config.enabled = false;
  size_t position = 0;
  while (position < text.size()) {
    size_t end = text.find('\n', position);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(position, end - position);
    if (line.rfind("Name=", 0) == 0) config.name = line.substr(5);
    if (line.rfind("Enabled=", 0) == 0) config.enabled = line.substr(8) == "1";
    position = end + 1;
  }
  return true;
}

bool WriteChannelConfig(const cChannelConfig& config) {
  std::string folder = ChannelFolder(config.name);
  if (!CreateFolders(folder)) return false;
  return WriteFileAtomically(folder + "/config", ConfigText(config));
}

long long JournalEnd(const std::string& channel) {
  cJournalLock lock(channel, LOCK_SH, O_RDONLY);
  if (lock.Fd() < 0) return -1;
  struct stat info;
  if (fstat(lock.Fd(), &info) != 0) return -1;
  return static_cast<long long>(info.st_size);
}

std::string JournalFrames(const std::vector<std::string>& events) {
  std::string frames;
  for (const std::string& event : events) {
    frames += std::to_string(event.size());
    frames += '\n';
    frames += event;
    frames += '\n';
  }
  return frames;
}

bool AppendJournal(const std::string& channel, const std::vector<std::string>& events) {
  cChannelConfig config;
  if (!ReadChannelConfig(channel, config)) return false;
  if (!config.enabled) return Fail(ERROR_NOT_SUPPORTED);
  const std::string frames = JournalFrames(events);
  cJournalLock lock(channel, LOCK_EX, O_WRONLY | O_APPEND);
  if (lock.Fd() < 0) return false;
  size_t written = 0;
  while (written < frames.size()) {
    ssize_t count = write(lock.Fd(), frames.data() + written, frames.size() - written);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return Fail(ErrorFromErrno(errno));
    written += static_cast<size_t>(count);
  }
  return true;
}

}  // namespace platform
