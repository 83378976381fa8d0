#pragma once
// What each kind of server answer may carry, and how long it may take. An answer beyond either
// bound is a failed request, so neither a program's memory nor the length of a request follows
// what a server chooses to send.
#include <cstdint>
#include <functional>
#include <string>

#include "platform/Http.h"

struct cAnswerLimit {
  uint32_t maxBytes;
  uint32_t timeLimitMs;  // from the opening of the request to the answer's last byte
};

constexpr uint32_t kKiB = 1024;
constexpr uint32_t kMiB = 1024 * kKiB;
// Room for the transport's own waits (connecting 60 s, the answer's head 30 s) and a slow body.
constexpr uint32_t kAnswerTimeLimitMs = 120000;

// A management-server answer: job lists, settings, rule lists, command scripts.
constexpr cAnswerLimit kJsonAnswer{4 * kMiB, kAnswerTimeLimitMs};
// A CSRF token's answer, and a version file: one line.
constexpr cAnswerLimit kLineAnswer{4 * kKiB, kAnswerTimeLimitMs};
// An upload server's answer: its return code.
constexpr cAnswerLimit kUploadAnswer{64 * kKiB, kAnswerTimeLimitMs};
// A text of the repository: the remote-control file, a package's manifest.
constexpr cAnswerLimit kTextAnswer{1 * kMiB, kAnswerTimeLimitMs};
// One file of a package.
constexpr cAnswerLimit kPackageFile{64 * kMiB, 600000};

// What a compressed reference list or script may inflate to.
constexpr uint32_t kMaxInflatedBytes = 4 * kJsonAnswer.maxBytes;

enum class eAnswerEnd {
  Complete,   // the transport has no more
  BrokenOff,  // a query or a read failed; what came before was delivered
  TooLarge,   // beyond the limit's bytes
  TooSlow,    // not complete within the limit's time
  Refused,    // the sink refused a chunk, or there was no memory for one
};

// Hands an answer's body to sink in the chunks the transport announces, until one of the ends
// above; openedMs is the clock's tick when the request was opened.
eAnswerEnd ReadAnswer(HINTERNET request, const cAnswerLimit& limit, uint64_t openedMs,
                      const std::function<bool(const char*, uint32_t)>& sink);

// Why the limit ended an answer, for the log ("over 4096 bytes", "not complete within 120 s");
// empty for any other end.
std::string LimitPassed(eAnswerEnd end, const cAnswerLimit& limit);
