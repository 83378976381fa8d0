#pragma once
// The fuzz targets of the web rule engine and the raw request form their inputs share with the
// masking fixtures. Each target takes any bytes and traps when the code under test breaks one of
// its promises; the sanitizers catch the rest.
#include <jansson.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

// The names the fixtures and the targets mask.
extern const char* const kFuzzMaskList;

// A request as the fixtures write it: the request line, a LF, the content type (an empty line
// for none), a LF, and the body, every byte of which is kept.
struct RawRequest {
  std::string_view request;
  std::string_view contentType;
  std::string_view body;
};

RawRequest SplitRawRequest(std::string_view bytes);

// A new access-log record of the request: "Request", "Req-Content-Type" (when given) and
// "Post-body", byte for byte.
json_t* RawRequestRecord(const RawRequest& request);

// The masked parts of a record back in the raw request form.
std::string_view RecordText(const json_t* record, const char* member);

// Raw request form: masking of multipart bodies, and the parser driven on its own.
int FuzzMultipart(const uint8_t* data, size_t size);
// Raw request form: the percent-decoding of the four decoded fields and pair masking.
int FuzzPercentDecode(const uint8_t* data, size_t size);
// One access-log line: parsing, every field look-up, the exception lists, filters and masking.
int FuzzRecordLine(const uint8_t* data, size_t size);
