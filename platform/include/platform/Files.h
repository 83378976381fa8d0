#pragma once
// Windows paths and file access. Every file-system call of the agent goes through here, so the
// Windows path texts of the agent stay as they are and land under the machine root.
#include <cstdio>
#include <cstdint>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "platform/Errors.h"

namespace platform {

// The folder that holds the whole stand-in machine: $VARLO_ROOT, or /var/lib/varlo when unset.
std::string MachineRoot();

// Where the stand-in layer keeps its own state files ($VARLO_ROOT/platform).
std::string StateFolder();

// The system folder of a Windows host, where its tools lie.
constexpr char kSystemFolder[] = "C:\\Windows\\System32";
// The folder of the host's hosts file.
constexpr char kHostsFolder[] = "C:\\Windows\\System32\\drivers\\etc";

// Makes the folders every Windows host has and the agent relies on (the system folder and the
// hosts file's folder), where a new machine root lacks them; false with last error when one fails.
bool MakeSystemFolders();

// Windows path to host path.
// - "%NAME%" is a name like any other: Windows file calls expand no environment references.
// - "C:\x\y" and "C:/x/y" become $VARLO_ROOT/C/x/y (drive letter upper case); "\x\y" is on drive C.
// - Each component that already exists is matched without regard to case, so "c:\windows\system32"
//   and "C:\Windows\System32" are one folder; components that do not exist keep the given case.
// - ".." never climbs above the drive, so a mapped path stays under the machine root.
// - Relative paths stay relative to the current folder (backslashes become "/", components are
//   matched the same way); host-absolute paths ("/tmp/x") are kept as they stand.
// - A trailing separator is kept.
std::string MapPath(const std::string& windowsPath);

// Expands "%NAME%" references from the environment (unknown references are left as they stand),
// as the command interpreter does; windir, SystemRoot, SystemDrive, ProgramFiles, ProgramData and
// TEMP have Windows defaults when unset.
std::string ExpandEnvironment(const std::string& text);

// Opens a file like fopen, with Windows modes: without "b" the stream is in text mode (LF written
// as CR LF, CR LF read as LF); with "b" bytes pass untouched. "r", "w", "a", "+", "x" as in C.
// Only files are opened: a folder, a pipe or a device is refused with 5 at once, never waited on.
// Null with last error (2, 3, 5, 80) on failure.
FILE* OpenFile(const std::string& windowsPath, const char* mode);

// What Windows tells of an open file to know it from every other file (GetFileInformationByHandle):
// the serial number of its volume and its index there. A file's index is its own while any handle
// holds the file open, so a file made anew under the name of one that is held open is told apart
// even where the index of a deleted file is given again.
struct cFileIdentity {
  uint64_t volumeSerial = 0;
  uint64_t fileIndex = 0;

  bool operator==(const cFileIdentity& other) const {
    return volumeSerial == other.volumeSerial && fileIndex == other.fileIndex;
  }
  bool operator!=(const cFileIdentity& other) const { return !(*this == other); }
};

// C++ file streams over OpenFile, with the same text-mode rule (text unless std::ios::binary).
// They behave as the standard file streams do, exceptions() included; a file that does not open
// leaves the reason in last error, as OpenFile does. A file held open for reading never keeps its
// writer from writing, replacing or deleting it.
class cFileStream : public std::iostream {
 public:
  cFileStream();
  cFileStream(const std::string& windowsPath, std::ios::openmode mode);
  ~cFileStream() override;
  cFileStream(const cFileStream&) = delete;
  cFileStream& operator=(const cFileStream&) = delete;

  void open(const std::string& windowsPath, std::ios::openmode mode);
  bool is_open() const;
  void close();
  // The identity of the open file; false with ERROR_INVALID_HANDLE when none is open.
  bool Identity(cFileIdentity& identity) const;

 private:
  class cBuffer;
  std::unique_ptr<cBuffer> m_buffer;
};

// Input and output shorthands with the defaults of std::ifstream and std::ofstream.
class cInputFile : public cFileStream {
 public:
  cInputFile() = default;
  explicit cInputFile(const std::string& windowsPath, std::ios::openmode mode = std::ios::in)
      : cFileStream(windowsPath, mode | std::ios::in) {}
};
class cOutputFile : public cFileStream {
 public:
  cOutputFile() = default;
  explicit cOutputFile(const std::string& windowsPath, std::ios::openmode mode = std::ios::out)
      : cFileStream(windowsPath, mode | std::ios::out) {}
};

// File operations on Windows paths. Each returns false (or -1) with the Windows error in last error.
bool FileExists(const std::string& windowsPath);    // a file or a folder
bool FolderExists(const std::string& windowsPath);
int64_t FileSize(const std::string& windowsPath);   // -1 when missing
bool DeletePath(const std::string& windowsPath);    // a file or an empty folder
// A file, or a folder with everything in it; a link inside is removed, never followed.
bool DeleteTree(const std::string& windowsPath);
bool MoveReplacing(const std::string& from, const std::string& to);
bool CreateFolders(const std::string& windowsPath); // every missing folder on the way; true if present
// Windows starts a program from any file it can read; this host only from one marked executable.
bool MarkExecutable(const std::string& windowsPath);
// Names of the entries of a folder ("." and ".." left out), sorted.
bool ListFolder(const std::string& windowsPath, std::vector<std::string>& names);
// Writes the whole file through a temporary file and a rename, so readers see old or new only;
// the file and then its folder are flushed, so after a crash it is whole, old or new.
bool WriteFileAtomically(const std::string& windowsPath, const std::string& bytes);
// Reads a whole file in binary (a file only, as OpenFile).
bool ReadWholeFile(const std::string& windowsPath, std::string& bytes);

}  // namespace platform
