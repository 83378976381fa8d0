#include "common/AnswerLimits.h"

#include <new>

#include "platform/Clock.h"

eAnswerEnd ReadAnswer(HINTERNET request, const cAnswerLimit& limit, uint64_t openedMs,
                      const std::function<bool(const char*, uint32_t)>& sink) {
  std::string chunk;
  uint64_t received = 0;
  for (;;) {
    DWORD available = 0;
    if (!WinHttpQueryDataAvailable(request, &available)) return eAnswerEnd::BrokenOff;
    if (available == 0) return eAnswerEnd::Complete;
    try {
      if (chunk.size() < available) chunk.resize(available);
    } catch (const std::bad_alloc&) {
      return eAnswerEnd::Refused;
    }
    DWORD read = 0;
    if (!WinHttpReadData(request, chunk.data(), available, &read)) return eAnswerEnd::BrokenOff;
    received += read;
    if (received > limit.maxBytes) return eAnswerEnd::TooLarge;
    if (platform::Clock().TickMs() - openedMs > limit.timeLimitMs) return eAnswerEnd::TooSlow;
    if (!sink(chunk.data(), read)) return eAnswerEnd::Refused;
  }
}

std::string LimitPassed(eAnswerEnd end, const cAnswerLimit& limit) {
  if (end == eAnswerEnd::TooLarge) return "over " + std::to_string(limit.maxBytes) + " bytes";
  if (end == eAnswerEnd::TooSlow) return "not complete within " + std::to_string(limit.timeLimitMs / 1000) + " s";
  return {};
}
