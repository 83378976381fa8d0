#pragma once
// The fuzz targets: one per parser of outside input. Each takes any bytes, returns 0, and traps
// when the code under test breaks one of its promises; the sanitizers catch the rest. Nothing is
// run, sent or written: rules are tested with blocking off, and no target touches the machine
// root. The seeds of a target lie in fuzz/corpus/<name>.
#include <cstddef>
#include <cstdint>
#include <vector>

struct cFuzzTarget {
  const char* name;
  int (*run)(const uint8_t* data, size_t size);
};

// Every target, by subject.
const std::vector<cFuzzTarget>& FuzzTargets();

// Log lines are still formatted, as the service formats them, but go nowhere.
void DiscardLogLines();

// Web rules. Raw request form (RawRequest.h): masking of multipart bodies, and the parser on its
// own.
int FuzzMultipart(const uint8_t* data, size_t size);
// Raw request form: the percent-decoding of the four decoded fields and pair masking.
int FuzzPercentDecode(const uint8_t* data, size_t size);
// One access-log line: parsing, every field look-up, the exception lists, filters and masking.
int FuzzRecordLine(const uint8_t* data, size_t size);
// The server's web-filter list, the two web exception lists and the masking list, each loaded and
// then tested on a few fixed records.
int FuzzWebFilterList(const uint8_t* data, size_t size);
int FuzzWebExceptList(const uint8_t* data, size_t size);
int FuzzMaskList(const uint8_t* data, size_t size);

// Event rules. The rendered XML of one event (UTF-8, or UTF-16 units when it is not UTF-8),
// parsed and tested on fixed filters and exceptions.
int FuzzEventRecord(const uint8_t* data, size_t size);
// [filters, reference lists] as one JSON array, loaded and tested on fixed events.
int FuzzEventFilterList(const uint8_t* data, size_t size);
// The event upload exceptions, loaded and tested on fixed events.
int FuzzEventExceptList(const uint8_t* data, size_t size);
// "expression\0value": one filter expression compiled and matched under its bound, beside plain
// PCRE.
int FuzzExpression(const uint8_t* data, size_t size);

// Encodings: base64 text of a zlib or gzip stream, decoded and inflated, and both round trips.
int FuzzBase64Inflate(const uint8_t* data, size_t size);

// Repository: a folder's manifest, and the remote-control file.
int FuzzManifest(const uint8_t* data, size_t size);
int FuzzRemoteControl(const uint8_t* data, size_t size);

// One message of the service slot, as any local process may write it.
int FuzzServiceMessage(const uint8_t* data, size_t size);

// Server links: a server URL of the settings, and "proxies\0bypass list\0host" for the proxy a
// connection takes.
int FuzzServerUrl(const uint8_t* data, size_t size);
int FuzzProxyList(const uint8_t* data, size_t size);

// The stand-in's stores: the registry's hive text, and the event journal's frames.
int FuzzRegistryText(const uint8_t* data, size_t size);
int FuzzJournalFrames(const uint8_t* data, size_t size);

// A Windows command line, split into the arguments of the program it starts.
int FuzzCommandLine(const uint8_t* data, size_t size);
