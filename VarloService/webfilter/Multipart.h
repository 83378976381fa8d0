#pragma once
// A one-pass parser of multipart/form-data bodies that reports what it sees through callbacks,
// with no allocation: its whole state is one fixed record.
#include <cstddef>
#include <cstdint>

constexpr size_t kMaxBoundaryLength = 69;

struct MultipartState {
  char boundary[kMaxBoundaryLength + 1] = {};
  uint32_t boundaryLength = 0;  // 1 to kMaxBoundaryLength
  uint32_t index = 0;           // boundary bytes matched so far
  uint8_t state = 0;
  void* userData = nullptr;
};

// Each callback returns 0 to go on; anything else stops the parse at the current byte. Data
// callbacks get a run of bytes inside the body itself, which they may change in place. Empty
// slots are skipped.
using MultipartNotify = int (*)(MultipartState& parser);
using MultipartData = int (*)(MultipartState& parser, char* run, size_t length);

struct MultipartCallbacks {
  MultipartNotify onBodyBegin = nullptr;
  MultipartNotify onPartBegin = nullptr;
  MultipartData onHeaderField = nullptr;
  MultipartData onHeaderValue = nullptr;
  MultipartNotify onHeadersComplete = nullptr;
  MultipartData onPartData = nullptr;
  MultipartNotify onPartEnd = nullptr;
  MultipartNotify onBodyEnd = nullptr;
};

// Returns the number of bytes consumed: `length`, or the position of the byte at which the body
// stopped following the multipart layout (or a callback stopped the parse). Data that runs up to
// the end of a cut-off body is still delivered.
size_t ParseMultipart(MultipartState& parser, const MultipartCallbacks& callbacks, char* body,
                      size_t length);
