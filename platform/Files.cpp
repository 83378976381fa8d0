#include "platform/Files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/Environment.h"
#include "platform/Errors.h"
#include "platform/HostPath.h"
#include "platform/NoCase.h"

namespace platform {
namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool IsDriveLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

struct cDefaultVariable {
  const char* name;
  const char* value;
};

// Variables every Windows process has; the host has none of them.
constexpr cDefaultVariable defaultVariables[] = {
    {"windir", "C:\\Windows"},           {"SystemRoot", "C:\\Windows"},
    {"SystemDrive", "C:"},               {"ProgramFiles", "C:\\Program Files"},
    {"ProgramData", "C:\\ProgramData"},  {"TEMP", "C:\\Windows\\Temp"},
    {"TMP", "C:\\Windows\\Temp"},
};

bool LookupVariable(const std::string& name, std::string& value) {
  if (GetVariable(name, value)) return true;
  for (const auto& variable : defaultVariables) {
    if (EqualNoCase(name, variable.name)) {
      value = variable.value;
      return true;
    }
  }
  return false;
}

// The name of the entry of folder that equals name without regard to case.
bool FindEntryNoCase(const std::string& folder, const std::string& name, std::string& found) {
  DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
  if (!dir) return false;
  bool matched = false;
  while (dirent* entry = readdir(dir)) {
    if (EqualNoCase(entry->d_name, name)) {
      found = entry->d_name;
      matched = true;
      break;
    }
  }
  closedir(dir);
  return matched;
}

// Appends components to base, matching existing names without regard to case.
std::string ResolveComponents(std::string base, const std::vector<std::string>& components) {
  bool parentExists = true;
  for (const auto& component : components) {
    std::string matched = parentExists ? MatchEntry(base, component) : std::string();
    parentExists = !matched.empty();
    base = parentExists ? matched : JoinHost(base, component);
  }
  return base;
}

// Splits on both separators, dropping empty and "." components; ".." removes the previous
// component, and at the top it is kept for relative paths and dropped otherwise.
std::vector<std::string> SplitComponents(const std::string& path, bool keepLeadingParents) {
  std::vector<std::string> components;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = start;
    while (end < path.size() && !IsSeparator(path[end])) ++end;
    std::string component = path.substr(start, end - start);
    if (component == "..") {
      if (!components.empty() && components.back() != "..") {
        components.pop_back();
      } else if (keepLeadingParents) {
        components.push_back(component);
      }
    } else if (!component.empty() && component != ".") {
      components.push_back(component);
    }
    start = end + 1;
  }
  return components;
}

}  // namespace

std::string JoinHost(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  if (folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

std::vector<std::string> SplitList(const std::string& list, char separator) {
  std::vector<std::string> items;
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(separator, start);
    if (end == std::string::npos) end = list.size();
    if (end > start) items.push_back(list.substr(start, end - start));
    start = end + 1;
  }
  return items;
}

namespace {

DWORD OpenError(int hostErrno, const std::string& hostPath) {
  if (hostErrno == ENOENT) {
    // Windows tells a missing folder on the way from a missing file.
    size_t slash = hostPath.rfind('/');
    struct stat info;
    if (slash != std::string::npos && slash > 0 && stat(hostPath.substr(0, slash).c_str(), &info) != 0) {
      return ERROR_PATH_NOT_FOUND;
    }
  }
  if (hostErrno == EEXIST) return ERROR_FILE_EXISTS;
  // A pipe or device that nobody holds open at its other end.
  if (hostErrno == ENXIO) return ERROR_ACCESS_DENIED;
  return ErrorFromErrno(hostErrno);
}

}  // namespace

int OpenRegularFile(const std::string& hostPath, int flags) {
  int fd = open(hostPath.c_str(), flags | O_CLOEXEC | O_NONBLOCK, 0666);
  if (fd < 0) {
    SetLastError(OpenError(errno, hostPath));
    return -1;
  }
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    SetLastError(ERROR_ACCESS_DENIED);
    return -1;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

std::string MatchEntry(const std::string& folder, const std::string& name) {
  std::string exact = JoinHost(folder, name);
  struct stat info;
  if (lstat(exact.c_str(), &info) == 0) return exact;
  std::string actual;
  return FindEntryNoCase(folder, name, actual) ? JoinHost(folder, actual) : std::string();
}

std::string MachineRoot() {
  std::string value;
  if (!GetVariable("VARLO_ROOT", value) || value.empty()) value = "/var/lib/varlo";
  if (value[0] != '/') {
    // A relative root would move with the current folder.
    char* current = getcwd(nullptr, 0);
    if (current) {
      value = std::string(current) + "/" + value;
      std::free(current);
    }
  }
  while (value.size() > 1 && value.back() == '/') value.pop_back();
  return value;
}

std::string StateFolder() { return MachineRoot() + "/platform"; }

std::string ExpandEnvironment(const std::string& text) {
  std::string result;
  size_t position = 0;
  while (position < text.size()) {
    size_t open = text.find('%', position);
    size_t close = open == std::string::npos ? open : text.find('%', open + 1);
    if (close == std::string::npos) break;
    std::string value;
    if (close > open + 1 && LookupVariable(text.substr(open + 1, close - open - 1), value)) {
      result.append(text, position, open - position);
      result += value;
      position = close + 1;
    } else {
      // Not a reference: keep the first "%" and look for one from the second on.
      result.append(text, position, close - position);
      position = close;
    }
  }
  result.append(text, position, std::string::npos);
  return result;
}

std::string MapPath(const std::string& path) {
  if (path.empty()) return path;
  if (path[0] == '/') return path;  // already a host path
  bool trailing = IsSeparator(path.back());
  std::string base;
  std::string rest;
  bool relative = false;
  if (path.size() >= 2 && IsDriveLetter(path[0]) && path[1] == ':') {
    base = MachineRoot() + "/" + static_cast<char>(std::toupper(static_cast<unsigned char>(path[0])));
    rest = path.substr(2);
  } else if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
    base = MachineRoot() + "/UNC";
    rest = path.substr(2);
  } else if (IsSeparator(path[0])) {
    base = MachineRoot() + "/C";
    rest = path;
  } else {
    relative = true;
    rest = path;
  }
  std::string mapped = ResolveComponents(base, SplitComponents(rest, relative));
  if (mapped.empty()) mapped = ".";
  if (trailing && mapped.back() != '/') mapped += '/';
  return mapped;
}

namespace {

bool Fail(int hostErrno) {
  SetLastError(ErrorFromErrno(hostErrno));
  return false;
}

bool StatPath(const std::string& windowsPath, struct stat& info) {
  if (stat(MapPath(windowsPath).c_str(), &info) != 0) return Fail(errno);
  return true;
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t written = write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

// The rename of a replaced file lives in its folder, which is flushed so the rename survives a
// crash.
void FlushFolderOf(const std::string& hostPath) {
  const size_t slash = hostPath.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : hostPath.substr(0, slash + 1);
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

bool CopyFileBytes(const std::string& from, const std::string& to) {
  std::string bytes;
  return ReadWholeFile(from, bytes) && WriteFileAtomically(to, bytes);
}

}  // namespace

bool FileExists(const std::string& windowsPath) {
  struct stat info;
  return StatPath(windowsPath, info);
}

bool FolderExists(const std::string& windowsPath) {
  struct stat info;
  if (!StatPath(windowsPath, info)) return false;
  if (S_ISDIR(info.st_mode)) return true;
  SetLastError(ERROR_PATH_NOT_FOUND);
  return false;
}

int64_t FileSize(const std::string& windowsPath) {
  struct stat info;
  if (!StatPath(windowsPath, info)) return -1;
  return static_cast<int64_t>(info.st_size);
}

bool DeletePath(const std::string& windowsPath) {
  std::string host = MapPath(windowsPath);
  struct stat info;
  if (lstat(host.c_str(), &info) != 0) return Fail(errno);
  int result = S_ISDIR(info.st_mode) ? rmdir(host.c_str()) : unlink(host.c_str());
  return result == 0 || Fail(errno);
}

bool DeleteTree(const std::string& windowsPath) {
  struct stat info;
  if (lstat(MapPath(windowsPath).c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
    std::vector<std::string> names;
    ListFolder(windowsPath, names);
    const bool separated = !windowsPath.empty() && IsSeparator(windowsPath.back());
    for (const std::string& name : names) DeleteTree(windowsPath + (separated ? "" : "\\") + name);
  }
  return DeletePath(windowsPath);
}

bool MoveReplacing(const std::string& from, const std::string& to) {
  std::string hostFrom = MapPath(from);
  std::string hostTo = MapPath(to);
  if (rename(hostFrom.c_str(), hostTo.c_str()) == 0) return true;
  if (errno != EXDEV) return Fail(errno);
  return CopyFileBytes(hostFrom, hostTo) && (unlink(hostFrom.c_str()) == 0 || Fail(errno));
}

bool CreateFolders(const std::string& windowsPath) {
  std::string host = MapPath(windowsPath);
  for (size_t slash = host.find('/', 1);; slash = host.find('/', slash + 1)) {
    std::string prefix = host.substr(0, slash);
    if (!prefix.empty() && mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) return Fail(errno);
    if (slash == std::string::npos) break;
  }
  struct stat info;
  if (stat(host.c_str(), &info) != 0) return Fail(errno);
  if (!S_ISDIR(info.st_mode)) return Fail(EEXIST);
  return true;
}

bool MakeSystemFolders() { return CreateFolders(kSystemFolder) && CreateFolders(kHostsFolder); }

bool MarkExecutable(const std::string& windowsPath) {
  const std::string host = MapPath(windowsPath);
  struct stat info;
  if (stat(host.c_str(), &info) != 0) return Fail(errno);
  return chmod(host.c_str(), info.st_mode | S_IXUSR | S_IXGRP | S_IXOTH) == 0 || Fail(errno);
}

bool ListFolder(const std::string& windowsPath, std::vector<std::string>& names) {
  DIR* dir = opendir(MapPath(windowsPath).c_str());
  if (!dir) return Fail(errno);
  names.clear();
  while (dirent* entry = readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      names.emplace_back(entry->d_name);
    }
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return true;
}

bool WriteFileAtomically(const std::string& windowsPath, const std::string& bytes) {
  static std::atomic<unsigned> counter{0};
  std::string host = MapPath(windowsPath);
  std::string temporary = host + ".tmp." + std::to_string(getpid()) + "." + std::to_string(counter++);
  int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    int error = errno;
    return Fail(error == ENOENT ? ENOTDIR : error);
  }
  bool written = WriteAll(fd, bytes.data(), bytes.size()) && fsync(fd) == 0;
  int error = errno;
  if (close(fd) != 0 && written) {
    written = false;
    error = errno;
  }
  if (written && rename(temporary.c_str(), host.c_str()) == 0) {
    FlushFolderOf(host);
    return true;
  }
  if (written) error = errno;
  unlink(temporary.c_str());
  return Fail(error);
}

bool ReadWholeFile(const std::string& windowsPath, std::string& bytes) {
  int fd = OpenRegularFile(MapPath(windowsPath), O_RDONLY);
  if (fd < 0) return false;
  bytes.clear();
  char chunk[65536];
  for (;;) {
    ssize_t got = read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      int error = errno;
      close(fd);
      return Fail(error);
    }
    if (got == 0) break;
    bytes.append(chunk, static_cast<size_t>(got));
  }
  close(fd);
  return true;
}

}  // namespace platform
