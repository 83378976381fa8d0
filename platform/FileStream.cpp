#include <cstdio>
#include <streambuf>

#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/HostPath.h"

namespace platform {

// A stream buffer over a FILE* from OpenFile, so C++ streams share its text-mode rule.
class cFileStream::cBuffer : public std::streambuf {
 public:
  ~cBuffer() override { Close(); }

  bool Open(const std::string& windowsPath, const char* mode) {
    if (m_file) return false;
    m_file = OpenIdentifiedFile(windowsPath, mode, m_identity);
    setg(m_get, m_get, m_get);
    setp(nullptr, nullptr);
    return m_file != nullptr;
  }

  bool IsOpen() const { return m_file != nullptr; }
  const cFileIdentity& Identity() const { return m_identity; }

  bool Close() {
    if (!m_file) return false;
    bool flushed = FlushPut();
    bool closed = std::fclose(m_file) == 0;
    m_file = nullptr;
    return flushed && closed;
  }

 protected:
  int_type underflow() override {
    if (!m_file || !FlushPut()) return traits_type::eof();
    size_t got = std::fread(m_get, 1, sizeof m_get, m_file);
    setg(m_get, m_get, m_get + got);
    return got == 0 ? traits_type::eof() : traits_type::to_int_type(*gptr());
  }

  int_type overflow(int_type c) override {
    if (!m_file || !FlushPut() || !DropGet()) return traits_type::eof();
    setp(m_put, m_put + sizeof m_put);
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(c);
      pbump(1);
    }
    return traits_type::not_eof(c);
  }

  int sync() override { return m_file && FlushPut() && std::fflush(m_file) == 0 ? 0 : -1; }

  pos_type seekoff(off_type offset, std::ios::seekdir direction, std::ios::openmode) override {
    if (!m_file || !FlushPut()) return pos_type(off_type(-1));
    if (direction == std::ios::cur) offset -= egptr() - gptr();  // bytes buffered but not taken
    setg(m_get, m_get, m_get);
    int whence = direction == std::ios::beg ? SEEK_SET : direction == std::ios::cur ? SEEK_CUR : SEEK_END;
    if (fseeko(m_file, offset, whence) != 0) return pos_type(off_type(-1));
    return pos_type(ftello(m_file));
  }

  pos_type seekpos(pos_type position, std::ios::openmode which) override {
    return seekoff(off_type(position), std::ios::beg, which);
  }

 private:
  // Writes the put area and closes it, so that the first write after reads comes through
  // overflow, which puts the file where the reader is.
  bool FlushPut() {
    size_t pending = static_cast<size_t>(pptr() - pbase());
    setp(nullptr, nullptr);
    if (pending == 0) return true;
    return std::fwrite(m_put, 1, pending, m_file) == pending;
  }

  // Before a write that follows reads: the file stands after the read-ahead, so step back to
  // where the reader is.
  bool DropGet() {
    off_t unread = egptr() - gptr();
    setg(m_get, m_get, m_get);
    return unread == 0 || fseeko(m_file, -unread, SEEK_CUR) == 0;
  }

  FILE* m_file = nullptr;
  cFileIdentity m_identity;
  char m_get[8192];
  char m_put[8192];
};

namespace {

const char* ModeText(std::ios::openmode mode) {
  using std::ios;
  bool binary = (mode & ios::binary) != 0;
  mode &= ~(ios::binary | ios::ate);
  struct cMode {
    ios::openmode mode;
    const char* text;
    const char* binaryText;
  };
  static const cMode modes[] = {
      {ios::out, "w", "wb"},
      {ios::out | ios::trunc, "w", "wb"},
      {ios::app, "a", "ab"},
      {ios::out | ios::app, "a", "ab"},
      {ios::in, "r", "rb"},
      {ios::in | ios::out, "r+", "r+b"},
      {ios::in | ios::out | ios::trunc, "w+", "w+b"},
      {ios::in | ios::app, "a+", "a+b"},
      {ios::in | ios::out | ios::app, "a+", "a+b"},
  };
  for (const auto& entry : modes) {
    if (entry.mode == mode) return binary ? entry.binaryText : entry.text;
  }
  return nullptr;
}

}  // namespace

cFileStream::cFileStream() : std::iostream(nullptr), m_buffer(std::make_unique<cBuffer>()) {
  rdbuf(m_buffer.get());
}

cFileStream::cFileStream(const std::string& windowsPath, std::ios::openmode mode) : cFileStream() {
  open(windowsPath, mode);
}

cFileStream::~cFileStream() = default;

void cFileStream::open(const std::string& windowsPath, std::ios::openmode mode) {
  const char* text = ModeText(mode);
  if (!text || !m_buffer->Open(windowsPath, text)) {
    setstate(std::ios::failbit);
    return;
  }
  if ((mode & std::ios::ate) && m_buffer->pubseekoff(0, std::ios::end) == std::streampos(-1)) {
    m_buffer->Close();
    setstate(std::ios::failbit);
    return;
  }
  clear();
}

bool cFileStream::is_open() const { return m_buffer->IsOpen(); }

bool cFileStream::Identity(cFileIdentity& identity) const {
  if (!m_buffer->IsOpen()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  identity = m_buffer->Identity();
  return true;
}

void cFileStream::close() {
  if (!m_buffer->Close()) setstate(std::ios::failbit);
}

}  // namespace platform
