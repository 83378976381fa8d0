#pragma once
// The raw request form that the masking fixtures and the web fuzz targets share.
#include <jansson.h>

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

// Masking may turn bytes into '*' and do nothing else.
void RequireMaskedCopy(std::string_view before, std::string_view after);

// Whether a JSON body that the parser takes as an object was masked as the parser reads it: each
// top-level member named in the list (an array of strings) whose value is a string of at least
// one byte holds '*' only, and the body holds the other members as they were. True for a body
// that the parser refuses.
bool MaskedAsParsed(std::string_view before, std::string_view after, const json_t* list);
