#include "VarloService/weblog/LineReader.h"

#include <cstring>

cLineReader::cLineReader(size_t longestLine, size_t chunkBytes)
    : m_LongestLine(longestLine), m_Chunk(chunkBytes) {}

void cLineReader::Begin(std::istream& file, int64_t offset, int64_t skipFrom) {
  m_File = &file;
  // The end of the last reading is not the end of the file any more.
  file.clear();
  file.seekg(offset);
  m_ChunkStart = offset;
  m_At = m_End = 0;
  m_Offset = offset;
  m_SkipFrom = skipFrom;
}

bool cLineReader::Fill() {
  if (m_At < m_End) return true;
  m_ChunkStart += static_cast<int64_t>(m_End);
  m_At = 0;
  m_File->read(m_Chunk.data(), static_cast<std::streamsize>(m_Chunk.size()));
  m_End = static_cast<size_t>(m_File->gcount());
  return m_End > 0;
}

cLineReader::eStep cLineReader::Next(std::string_view& line) {
  while (Fill()) {
    const char* start = m_Chunk.data() + m_At;
    const char* feed = static_cast<const char*>(std::memchr(start, '\n', m_End - m_At));
    const size_t length = feed ? static_cast<size_t>(feed - start) : m_End - m_At;
    const int64_t lineStart = m_ChunkStart + static_cast<int64_t>(m_At);
    if (m_SkipFrom >= 0) {
      m_At += feed ? length + 1 : length;
      m_Offset = m_ChunkStart + static_cast<int64_t>(m_At);
      if (!feed) return kPassing;
      const int64_t skipFrom = m_SkipFrom;
      m_SkipFrom = -1;
      return Skipped(skipFrom, m_Offset - 1 - skipFrom);
    }
    if (!feed) return LongLine(lineStart, length, line);
    m_At += length + 1;
    m_Offset = m_ChunkStart + static_cast<int64_t>(m_At);
    if (length > m_LongestLine) return Skipped(lineStart, static_cast<int64_t>(length));
    line = std::string_view(start, length);
    return kLine;
  }
  return kEnd;
}

cLineReader::eStep cLineReader::LongLine(int64_t lineStart, size_t scanned, std::string_view& line) {
  m_At = m_End;
  for (;;) {
    if (scanned > m_LongestLine) {
      // Passed over from here on, without being held.
      m_SkipFrom = lineStart;
      m_Offset = lineStart + static_cast<int64_t>(scanned);
      return kPassing;
    }
    // A line not whole yet is read again from its start the next time.
    if (!Fill()) return kEnd;
    const char* feed = static_cast<const char*>(std::memchr(m_Chunk.data(), '\n', m_End));
    if (!feed) {
      scanned += m_End;
      m_At = m_End;
      continue;
    }
    const size_t inChunk = static_cast<size_t>(feed - m_Chunk.data());
    const size_t length = scanned + inChunk;
    m_At = inChunk + 1;
    const int64_t next = m_ChunkStart + static_cast<int64_t>(m_At);
    if (length > m_LongestLine) {
      m_Offset = next;
      return Skipped(lineStart, static_cast<int64_t>(length));
    }
    // Its end known, the line is read whole, and the reading goes on past it.
    m_Long.resize(length);
    m_File->clear();
    m_File->seekg(lineStart);
    m_File->read(m_Long.data(), static_cast<std::streamsize>(length));
    const bool whole = static_cast<size_t>(m_File->gcount()) == length;
    // A file cut under it leaves the line to be looked for again.
    if (whole) m_Offset = next;
    m_File->clear();
    m_File->seekg(m_Offset);
    m_ChunkStart = m_Offset;
    m_At = m_End = 0;
    if (!whole) return kEnd;
    line = std::string_view(m_Long.data(), length);
    return kLine;
  }
}

cLineReader::eStep cLineReader::Skipped(int64_t lineStart, int64_t length) {
  m_SkippedFrom = lineStart;
  m_SkippedBytes = length;
  return kSkipped;
}
