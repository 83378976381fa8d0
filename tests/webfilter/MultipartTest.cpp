#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "VarloService/webfilter/Multipart.h"

namespace {

// Writes every event as a letter, data runs in brackets: B body, P part, F field, V value,
// H headers complete, D data, E part end, Z body end.
struct Recorder {
  std::string events;
  const char* body = nullptr;
  size_t stopAt = SIZE_MAX;  // a data run that starts here stops the parse
};

Recorder& Of(MultipartState& parser) { return *static_cast<Recorder*>(parser.userData); }

template <char Letter>
int Note(MultipartState& parser) {
  Of(parser).events += Letter;
  return 0;
}

template <char Letter>
int Run(MultipartState& parser, char* run, size_t length) {
  Recorder& recorder = Of(parser);
  recorder.events += std::string(1, Letter) + "[" + std::string(run, length) + "]";
  return static_cast<size_t>(run - recorder.body) == recorder.stopAt ? 1 : 0;
}

constexpr MultipartCallbacks kRecording{&Note<'B'>, &Note<'P'>, &Run<'F'>,  &Run<'V'>,
                                        &Note<'H'>, &Run<'D'>,  &Note<'E'>, &Note<'Z'>};

struct Parsed {
  std::string events;
  size_t consumed;
};

Parsed Parse(std::string body, const char* boundary = "XyZ", size_t stopAt = SIZE_MAX) {
  MultipartState parser;
  parser.boundaryLength = static_cast<uint32_t>(std::strlen(boundary));
  std::memcpy(parser.boundary, boundary, parser.boundaryLength);
  Recorder recorder{"", body.data(), stopAt};
  parser.userData = &recorder;
  const size_t consumed = ParseMultipart(parser, kRecording, body.data(), body.size());
  return {recorder.events, consumed};
}

}  // namespace

TEST(ParseMultipart, DeliversEveryEventInOrder) {
  const std::string body =
      "preamble\r\n--XyZ\r\n"
      "Content-Disposition: form-data; name=\"a\"\r\n"
      "X-Empty:\r\n"
      "\r\n"
      "1\r\n"
      "--XyZ\r\n"
      "\r\n"
      "two words\r\n"
      "--XyZ--\r\n"
      "epilogue --XyZ";
  const Parsed parsed = Parse(body);
  EXPECT_EQ(parsed.events,
            "BPF[Content-Disposition]V[form-data; name=\"a\"]F[X-Empty]HD[1]EPHD[two words]EZ");
  EXPECT_EQ(parsed.consumed, body.size());
}

TEST(ParseMultipart, HeldBackBytesAreDeliveredAsData) {
  const struct {
    std::string value, runs;
  } cases[] = {
      {"x\ry", "D[x]D[\r]D[y]"},
      {"x\r\ny", "D[x]D[\r\n]D[y]"},
      {"x\r\n-y", "D[x]D[\r\n-]D[y]"},
      {"x\r\n--Xa", "D[x]D[\r\n--X]D[a]"},
      {"x\r\n--XyQ", "D[x]D[\r\n--Xy]D[Q]"},
      {"\r\n", "D[\r\n]"},
  };
  for (const auto& c : cases) {
    const Parsed parsed = Parse("--XyZ\r\n\r\n" + c.value + "\r\n--XyZ--");
    EXPECT_EQ(parsed.events, "BPH" + c.runs + "EZ") << c.value;
  }
}

TEST(ParseMultipart, StopsAtTheFirstByteThatBreaksTheLayout) {
  const struct {
    std::string body;
    size_t stop;
  } cases[] = {
      {"--XyQ\r\n", 4},
      {"--XyZ\n", 5},
      {"--XyZ\r\r", 6},
      {"--XyZ\r\nBad Header: x\r\n", 10},
      {"--XyZ\r\nName: x\rX", 15},
      {"--XyZ\r\n\rX", 8},
      {"--XyZ\r\n\r\nv\r\n--XyZx", 17},
      {"--XyZ\r\n\r\nv\r\n--XyZ\rX", 18},
      {"--XyZ\r\n\r\nv\r\n--XyZ-X", 18},
  };
  for (const auto& c : cases) EXPECT_EQ(Parse(c.body).consumed, c.stop) << c.body;
}

TEST(ParseMultipart, ACallbackStopsTheParseAtItsByte) {
  const std::string body = "--XyZ\r\n\r\nvalue\r\n--XyZ--";
  const Parsed parsed = Parse(body, "XyZ", body.find("value"));
  EXPECT_EQ(parsed.events, "BPHD[value]");
  EXPECT_EQ(parsed.consumed, body.find("value") + 5);
}

TEST(ParseMultipart, DataCutOffAtTheEndIsStillDelivered) {
  EXPECT_EQ(Parse("--XyZ\r\n\r\nunfinished").events, "BPHD[unfinished]");
  EXPECT_EQ(Parse("--XyZ\r\n\r\nv\r\n--X").events, "BPHD[v]");
  EXPECT_EQ(Parse("").consumed, 0u);
}

TEST(ParseMultipart, RefusesABoundaryLongerThanItsField) {
  MultipartState parser;
  parser.boundaryLength = kMaxBoundaryLength + 1;
  char body[] = "--x";
  EXPECT_EQ(ParseMultipart(parser, kRecording, body, 3), 0u);
}
