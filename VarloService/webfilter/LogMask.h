#pragma once
// Masking of sensitive request parameters before a record is uploaded: the values of the listed
// names in the query string of "Request" and in form, JSON and multipart bodies become '*', byte
// for byte, in the record's own texts. No value changes its length and no other byte changes.
// Masking fails closed: a JSON body is read as a tolerant reader reads it, so a NUL, a body cut
// short or bytes that are not JSON never leave a listed value in clear.
#include <jansson.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "VarloService/webfilter/Multipart.h"

class cLogMask {
 public:
  cLogMask();
  ~cLogMask();
  cLogMask(const cLogMask&) = delete;
  cLogMask& operator=(const cLogMask&) = delete;

  // Takes over the reference of a new list of names (JSON array of strings) and releases the old
  // one; no list masks nothing.
  void Conf(json_t* list);

  // Masks the record (a JSON object) and returns the number of masking actions: one for the
  // query string, one for the body.
  int Mask(json_t* record);

  // Masks the values of "name=value" pairs separated by '&' or ';' within `length` bytes; 1 when
  // any was masked.
  int MaskPairs(char* text, size_t length);

  // Fills the value with '*' when the name is listed (without regard to case); 1 when it did.
  int MaskValue(const char* name, size_t nameLength, char* value, size_t valueLength);

 private:
  bool Lists(std::string_view name) const;
  int MaskJson(char* body, size_t length);
  int MaskMultipart(std::string_view contentType, char* body, size_t length);

  static int OnPartBegin(MultipartState& parser);
  static int OnHeaderField(MultipartState& parser, char* run, size_t length);
  static int OnHeaderValue(MultipartState& parser, char* run, size_t length);
  static int OnPartData(MultipartState& parser, char* run, size_t length);

  json_t* m_List = nullptr;
  // Progress of the current part: -1 before the first, 0 looking for Content-Disposition, 1 its
  // value comes next, 2 the name is known, 3 the first data has been seen.
  int32_t m_PartState = -1;
  uint32_t m_MaskedCount = 0;
  const char* m_PartName = nullptr;
  uint32_t m_PartNameLength = 0;
  MultipartCallbacks m_Callbacks;
};
