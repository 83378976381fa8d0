#pragma once
// The whole lines of a file that only grows, read from an offset on through a buffer of its own:
// a line within one read is handed out where it lies, a longer one once its line feed has been
// found, and one longer than the longest line taken is passed over up to its line feed without
// being held, also across readings while it is still being written. Passing over hands back
// after every chunk, so that whoever reads can stop within a line of any length.
#include <cstddef>
#include <cstdint>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

class cLineReader {
 public:
  static constexpr size_t kChunkBytes = 65536;

  enum eStep {
    kLine,     // a whole line
    kSkipped,  // a line longer than the longest taken has ended
    kPassing,  // a chunk of a line too long to take was passed over; its end is still ahead
    kEnd,      // nothing whole is left in the file as it stands
  };

  // longestLine: the most bytes of a line (its line feed not counted) that is handed out.
  explicit cLineReader(size_t longestLine, size_t chunkBytes = kChunkBytes);

  // Reads file from offset on: the start of a line, or, while a line is passed over (skipFrom, its
  // first byte's offset, is not negative), the first of its bytes not looked at yet.
  void Begin(std::istream& file, int64_t offset, int64_t skipFrom);
  // The next step; for kLine, line holds the line without its line feed until the next call.
  eStep Next(std::string_view& line);

  // Past the last line handed out or passed over, or past the bytes looked at of a line that is
  // being passed over: where the next reading begins.
  int64_t Offset() const { return m_Offset; }
  // The first byte's offset of the line being passed over, -1 when none is.
  int64_t SkipFrom() const { return m_SkipFrom; }
  // The first byte's offset and the length of the line that the last kSkipped told of.
  int64_t SkippedFrom() const { return m_SkippedFrom; }
  int64_t SkippedBytes() const { return m_SkippedBytes; }

 private:
  // Reads the next chunk when the one in hand is used up; false at the end of the file.
  bool Fill();
  // A line that runs past the chunk in hand, from lineStart on, of which scanned bytes are seen:
  // its end is looked for before it is held. kPassing when it turns out too long to take, with
  // SkipFrom() set.
  eStep LongLine(int64_t lineStart, size_t scanned, std::string_view& line);
  // Tells of the line from lineStart on, of length bytes, that was passed over.
  eStep Skipped(int64_t lineStart, int64_t length);

  const size_t m_LongestLine;
  std::istream* m_File = nullptr;
  std::vector<char> m_Chunk;
  size_t m_At = 0;   // the first byte of m_Chunk not handled yet
  size_t m_End = 0;  // past the last byte read into m_Chunk
  int64_t m_ChunkStart = 0;  // the file offset of m_Chunk[0]
  std::string m_Long;  // a line longer than the chunk, only ever grown
  int64_t m_Offset = 0;
  int64_t m_SkipFrom = -1;
  int64_t m_SkippedFrom = -1;
  int64_t m_SkippedBytes = 0;
};
