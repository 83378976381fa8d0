#include "VarloService/webfilter/Multipart.h"

#include <cstring>

namespace {

enum : uint8_t {
  kBeforeFirst = 0,
  kFirstDash = 1,
  kFirstBoundary = 2,
  kHeaderLineStart = 3,
  kHeaderField = 4,
  kHeaderValueStart = 5,
  kHeaderValue = 6,
  kHeaderValueLf = 7,
  kHeadersEndLf = 8,
  kData = 9,
  kDataCr = 10,
  kDataCrLf = 11,
  kDataDash = 12,
  kDataBoundary = 14,
  kAfterBoundary = 15,
  kAfterBoundaryCr = 16,
  kClosingDash = 17,
  kEnd = 18
};

// The token characters of RFC 7230 ("tchar").
bool IsTokenChar(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

int Notify(MultipartNotify callback, MultipartState& parser) {
  return callback ? callback(parser) : 0;
}

int Deliver(MultipartData callback, MultipartState& parser, char* run, size_t length) {
  return callback ? callback(parser, run, length) : 0;
}

}  // namespace

size_t ParseMultipart(MultipartState& parser, const MultipartCallbacks& callbacks, char* body,
                      size_t length) {
  if (parser.boundaryLength > kMaxBoundaryLength) return 0;
  const MultipartCallbacks& cb = callbacks;
  size_t mark = 0;  // start of the header or data run being read
  size_t i = 0;
  // Moves back into the data state so that the current byte is read again as data; the bytes
  // held back since `from` are delivered first.
  auto resumeData = [&](size_t from) {
    parser.state = kData;
    mark = i;
    return Deliver(cb.onPartData, parser, body + from, i - from);
  };

  while (i < length) {
    const char c = body[i];
    switch (parser.state) {
      case kBeforeFirst:
        if (c == '-') parser.state = kFirstDash;
        break;
      case kFirstDash:
        if (c == '-') {
          parser.index = 0;
          parser.state = kFirstBoundary;
        } else {
          parser.state = kBeforeFirst;
        }
        break;
      case kFirstBoundary:
        if (parser.index < parser.boundaryLength && c == parser.boundary[parser.index]) {
          ++parser.index;
        } else if (parser.index == parser.boundaryLength && c == '\r') {
          ++parser.index;
        } else if (parser.index == parser.boundaryLength + 1 && c == '\n') {
          if (Notify(cb.onBodyBegin, parser) || Notify(cb.onPartBegin, parser)) return i;
          parser.index = 0;
          parser.state = kHeaderLineStart;
        } else {
          return i;
        }
        break;
      case kHeaderLineStart:
        if (c == '\r') {
          parser.state = kHeadersEndLf;
          break;
        }
        parser.state = kHeaderField;
        mark = i;
        continue;
      case kHeaderField:
        if (IsTokenChar(static_cast<unsigned char>(c))) break;
        if (i > mark && Deliver(cb.onHeaderField, parser, body + mark, i - mark)) return i;
        if (c != ':') return i;
        parser.state = kHeaderValueStart;
        break;
      case kHeaderValueStart:
        if (c == ' ' || c == '\t') break;
        parser.state = kHeaderValue;
        mark = i;
        continue;
      case kHeaderValue:
        if (c != '\r') break;
        if (i > mark && Deliver(cb.onHeaderValue, parser, body + mark, i - mark)) return i;
        parser.state = kHeaderValueLf;
        break;
      case kHeaderValueLf:
        if (c != '\n') return i;
        parser.state = kHeaderLineStart;
        break;
      case kHeadersEndLf:
        if (c != '\n') return i;
        if (Notify(cb.onHeadersComplete, parser)) return i;
        parser.state = kData;
        mark = i + 1;
        break;
      case kData:
        if (c != '\r') break;
        if (i > mark && Deliver(cb.onPartData, parser, body + mark, i - mark)) return i;
        parser.state = kDataCr;
        break;
      case kDataCr:
        if (c == '\n') {
          parser.state = kDataCrLf;
          break;
        }
        if (resumeData(i - 1)) return i;
        continue;
      case kDataCrLf:
        if (c == '-') {
          parser.state = kDataDash;
          break;
        }
        if (resumeData(i - 2)) return i;
        continue;
      case kDataDash:
        if (c == '-') {
          parser.index = 0;
          parser.state = kDataBoundary;
          break;
        }
        if (resumeData(i - 3)) return i;
        continue;
      case kDataBoundary:
        if (parser.index == parser.boundaryLength) {
          parser.index = 0;
          parser.state = kAfterBoundary;
          continue;
        }
        if (c == parser.boundary[parser.index]) {
          ++parser.index;
          break;
        }
        if (resumeData(i - 4 - parser.index)) return i;
        continue;
      case kAfterBoundary:
        if (c == '\r') {
          parser.state = kAfterBoundaryCr;
        } else if (c == '-') {
          parser.state = kClosingDash;
        } else {
          return i;
        }
        break;
      case kAfterBoundaryCr:
        if (c != '\n') return i;
        if (Notify(cb.onPartEnd, parser) || Notify(cb.onPartBegin, parser)) return i;
        parser.state = kHeaderLineStart;
        break;
      case kClosingDash:
        if (c != '-') return i;
        if (Notify(cb.onPartEnd, parser) || Notify(cb.onBodyEnd, parser)) return i;
        parser.state = kEnd;
        break;
      default:  // after the closing boundary
        break;
    }
    ++i;
  }
  // A body cut off inside a value still hands that value over.
  if (parser.state == kData && length > mark) {
    Deliver(cb.onPartData, parser, body + mark, length - mark);
  }
  return length;
}
