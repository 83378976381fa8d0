#include "common/Log.h"

#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/Files.h"

namespace {

constexpr char kLoggerName[] = "event";

void MakeDefault(spdlog::sink_ptr sink) {
  auto logger = std::make_shared<spdlog::logger>(kLoggerName, std::move(sink));
  spdlog::set_default_logger(logger);
}

void FlushEveryRecord() { spdlog::default_logger()->flush_on(spdlog::level::trace); }

// Lead bytes of the characters escaped below: the C1 controls (U+0080-U+009F), the Arabic letter
// mark (U+061C), and the marks, separators and direction controls of U+200E-U+2069.
constexpr unsigned char kC1Lead = 0xC2;
constexpr unsigned char kArabicMarkLead = 0xD8;
constexpr unsigned char kMarksLead = 0xE2;

// Bytes that go into the log as they are, whatever follows them: all but the control characters,
// DEL and the lead bytes above.
constexpr std::array<bool, 256> kAsItIs = [] {
  std::array<bool, 256> asItIs{};
  for (size_t byte = 0x20; byte < asItIs.size(); ++byte) asItIs[byte] = true;
  asItIs[0x7F] = asItIs[kC1Lead] = asItIs[kArabicMarkLead] = asItIs[kMarksLead] = false;
  return asItIs;
}();

// Whether one of the eight bytes of a word is not among those: exact, so a word for which it is
// false goes in whole.
bool MayNeedEscape(uint64_t word) {
  constexpr uint64_t kOnes = 0x0101010101010101;
  constexpr uint64_t kHighBits = 0x8080808080808080;
  const auto hasByteBelow = [](uint64_t bytes, uint64_t limit) { return (bytes - kOnes * limit) & ~bytes & kHighBits; };
  return hasByteBelow(word, 0x20) | hasByteBelow(word ^ (kOnes * 0x7F), 1) | hasByteBelow(word ^ (kOnes * kC1Lead), 1) |
         hasByteBelow(word ^ (kOnes * kArabicMarkLead), 1) | hasByteBelow(word ^ (kOnes * kMarksLead), 1);
}

// The end of the run of bytes from at on that go in as they are.
size_t AsItIsUntil(std::string_view text, size_t at) {
  for (uint64_t word; at + sizeof word <= text.size(); at += sizeof word) {
    std::memcpy(&word, text.data() + at, sizeof word);
    if (MayNeedEscape(word)) break;
  }
  while (at < text.size() && kAsItIs[static_cast<unsigned char>(text[at])]) ++at;
  return at;
}

bool IsContinuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// The line and paragraph separators, and every bidirectional control, with which a viewer would
// show the line's text in another order: the marks U+061C, U+200E and U+200F, the embeddings and
// overrides U+202A-U+202E and the isolates U+2066-U+2069.
bool IsSeparatorOrDirection(uint32_t codePoint) {
  return codePoint == 0x061C || codePoint == 0x200E || codePoint == 0x200F ||
         (codePoint >= 0x2028 && codePoint <= 0x202E) || (codePoint >= 0x2066 && codePoint <= 0x2069);
}

struct cEscape {
  size_t bytes = 0;  // of the text; 0 when the character there goes in as it is
  std::string_view form;
};

// The escape of the character at text[at]: a control character (C0, DEL, and C1, among them
// U+0085, which some readers take for a line's end), a separator or a direction control.
cEscape EscapeAt(std::string_view text, size_t at, char (&form)[8]) {
  const unsigned char byte = static_cast<unsigned char>(text[at]);
  if (byte < 0x20 || byte == 0x7F) {
    switch (byte) {
      case '\n':
        return {1, "\\n"};
      case '\r':
        return {1, "\\r"};
      case '\t':
        return {1, "\\t"};
      default:
        return {1, {form, static_cast<size_t>(std::snprintf(form, sizeof form, "\\x%02x", byte))}};
    }
  }
  const size_t left = text.size() - at;
  uint32_t codePoint = 0;
  size_t bytes = 0;
  if (byte == kC1Lead && left >= 2 && static_cast<unsigned char>(text[at + 1]) <= 0x9F &&
      IsContinuation(text[at + 1])) {
    codePoint = static_cast<unsigned char>(text[at + 1]);
    bytes = 2;
  } else if (byte == kArabicMarkLead && left >= 2 && IsContinuation(text[at + 1])) {
    codePoint = 0x600 | (text[at + 1] & 0x3F);
    if (!IsSeparatorOrDirection(codePoint)) return {};
    bytes = 2;
  } else if (byte == kMarksLead && left >= 3 && IsContinuation(text[at + 1]) && IsContinuation(text[at + 2])) {
    codePoint = 0x2000 | (static_cast<uint32_t>(text[at + 1] & 0x3F) << 6) | (text[at + 2] & 0x3F);
    if (!IsSeparatorOrDirection(codePoint)) return {};
    bytes = 3;
  } else {
    return {};
  }
  return {bytes, {form, static_cast<size_t>(std::snprintf(form, sizeof form, "\\u%04x", codePoint))}};
}

}  // namespace

int InitFileLog(const std::string& windowsPath) {
  try {
    MakeDefault(std::make_shared<spdlog::sinks::rotating_file_sink_mt>(platform::MapPath(windowsPath),
                                                                        kLogFileBytes, kLogFiles, false));
  } catch (const spdlog::spdlog_ex& error) {
    SPDLOG_ERROR("{}", error.what());
  }
  FlushEveryRecord();
  return 0;
}

void InitConsoleLog() {
  MakeDefault(std::make_shared<spdlog::sinks::stdout_color_sink_mt>());
  FlushEveryRecord();
}

std::string ForLog(std::string_view text, size_t maxBytes) {
  std::string logged;
  logged.reserve(std::min(text.size(), maxBytes) + 32);
  size_t taken = 0;
  // Where the bytes that went in as they are begin, after the last escape: a cut backs up no
  // further.
  size_t asItIsFrom = 0;
  char form[8];
  for (;;) {
    // Runs that need no escape are copied whole.
    size_t runEnd = taken;
    cEscape escape;
    for (;; ++runEnd) {
      runEnd = AsItIsUntil(text, runEnd);
      if (runEnd == text.size() || (escape = EscapeAt(text, runEnd, form)).bytes > 0) break;
    }
    const size_t room = maxBytes - logged.size();
    if (runEnd - taken > room) {
      logged.append(text, taken, room);
      taken += room;
      break;
    }
    logged.append(text, taken, runEnd - taken);
    taken = runEnd;
    if (taken == text.size()) return logged;
    if (escape.form.size() > maxBytes - logged.size()) break;
    logged += escape.form;
    taken += escape.bytes;
    asItIsFrom = taken;
  }
  // A cut falls before a UTF-8 sequence, not inside it; the bytes of a sequence went in as they are.
  while (taken > asItIsFrom && IsContinuation(text[taken])) {
    --taken;
    logged.pop_back();
  }
  return logged + "... (" + std::to_string(text.size()) + " bytes)";
}
