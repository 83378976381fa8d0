// OpenFile: host files with Windows open modes and text-mode line ends.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <cstring>
#include <string>
#include <vector>

#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/HostPath.h"

namespace platform {
namespace {

// A text-mode stream over a binary host stream: LF is written as CR LF and CR LF is read as LF.
// Positions are those of the host file, as in Windows text mode.
struct cTextCookie {
  FILE* raw;
};

ssize_t ReadText(void* cookie, char* buffer, size_t size) {
  FILE* raw = static_cast<cTextCookie*>(cookie)->raw;
  size_t kept = 0;
  // A chunk that was one CR before a pushed-back LF yields nothing; 0 would mean end of file.
  while (kept == 0) {
    size_t got = std::fread(buffer, 1, size, raw);
    if (got == 0) return std::ferror(raw) ? -1 : 0;
    for (size_t i = 0; i < got; ++i) {
      if (buffer[i] == '\r') {
        int next = i + 1 < got ? static_cast<unsigned char>(buffer[i + 1]) : std::fgetc(raw);
        if (i + 1 >= got && next != EOF) std::ungetc(next, raw);
        if (next == '\n') continue;
      }
      buffer[kept++] = buffer[i];
    }
  }
  return static_cast<ssize_t>(kept);
}

ssize_t WriteText(void* cookie, const char* data, size_t size) {
  FILE* raw = static_cast<cTextCookie*>(cookie)->raw;
  std::string translated;
  translated.reserve(size + size / 16 + 2);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == '\n') translated += '\r';
    translated += data[i];
  }
  if (std::fwrite(translated.data(), 1, translated.size(), raw) != translated.size()) return -1;
  return static_cast<ssize_t>(size);
}

int SeekText(void* cookie, off64_t* position, int whence) {
  FILE* raw = static_cast<cTextCookie*>(cookie)->raw;
  if (fseeko(raw, *position, whence) != 0) return -1;
  *position = ftello(raw);
  return *position < 0 ? -1 : 0;
}

int CloseText(void* cookie) {
  auto* text = static_cast<cTextCookie*>(cookie);
  int result = std::fclose(text->raw);
  delete text;
  return result;
}

// open(2) flags of an fopen mode ("r", "w+", "ax", ...).
int HostOpenFlags(const std::string& mode) {
  const bool update = mode.find('+') != std::string::npos;
  int flags = update ? O_RDWR : mode[0] == 'r' ? O_RDONLY : O_WRONLY;
  if (mode[0] == 'w') flags |= O_CREAT | O_TRUNC;
  if (mode[0] == 'a') flags |= O_CREAT | O_APPEND;
  if (mode[0] != 'r' && mode.find('x') != std::string::npos) flags |= O_EXCL;
  return flags;
}

}  // namespace

FILE* OpenFile(const std::string& windowsPath, const char* mode) {
  cFileIdentity unused;
  return OpenIdentifiedFile(windowsPath, mode, unused);
}

FILE* OpenIdentifiedFile(const std::string& windowsPath, const char* mode, cFileIdentity& identity) {
  std::string hostMode;
  bool binary = false;
  for (const char* c = mode; c && *c; ++c) {
    if (*c == 'b') {
      binary = true;
    } else if (*c == 'r' || *c == 'w' || *c == 'a' || *c == '+' || *c == 'x') {
      hostMode += *c;
    } else if (*c != 't') {
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
  }
  if (hostMode.empty() || std::strchr("rwa", hostMode[0]) == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  int fd = OpenRegularFile(MapPath(windowsPath), HostOpenFlags(hostMode));
  if (fd < 0) return nullptr;
  // The device and inode of an open file stay its own until it is closed, as a file index does.
  struct stat info;
  if (fstat(fd, &info) != 0) {
    int error = errno;
    close(fd);
    SetLastError(ErrorFromErrno(error));
    return nullptr;
  }
  identity.volumeSerial = static_cast<uint64_t>(info.st_dev);
  identity.fileIndex = static_cast<uint64_t>(info.st_ino);
  std::string streamMode = hostMode;
  streamMode.erase(std::remove(streamMode.begin(), streamMode.end(), 'x'), streamMode.end());
  FILE* raw = fdopen(fd, (streamMode + "b").c_str());
  if (!raw) {
    int error = errno;
    close(fd);
    SetLastError(ErrorFromErrno(error));
    return nullptr;
  }
  if (binary) return raw;
  cookie_io_functions_t functions{ReadText, WriteText, SeekText, CloseText};
  auto cookie = std::make_unique<cTextCookie>(cTextCookie{raw});
  FILE* text = fopencookie(cookie.get(), streamMode.c_str(), functions);
  if (!text) {
    int error = errno;
    std::fclose(raw);
    SetLastError(ErrorFromErrno(error));
    return nullptr;
  }
  cookie.release();  // CloseText frees it
  return text;
}

}  // namespace platform
