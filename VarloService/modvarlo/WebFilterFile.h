#pragma once
// The web filters handed to the web-server module: "C:\ModVarlo\webfilter.json" holds the
// server's list as compact JSON with sorted keys, followed by the 32 raw bytes of that text's
// SHA-256. The file is rewritten only when its content changes.
#include <jansson.h>

#include <cstdint>
#include <string>

#include "common/Sha256.h"

constexpr char kWebFilterFile[] = "C:\\ModVarlo\\webfilter.json";

// The last 32 bytes of the file; 32 zero bytes when it is missing, shorter or unreadable.
void StoredDigest(const std::string& path, uint8_t digest[SHA256_DIGEST_BYTES]);

// Writes text (null stands for "[]") and its digest to path unless digest, the digest of the
// file as it stands, is already the text's; empty text removes the file. digest then holds the
// new one. 0 unchanged; 1 written or removed; -1 the file could not be written.
int UpdateFileWithHash(const std::string& path, const char* text,
                       uint8_t digest[SHA256_DIGEST_BYTES]);

// Brings kWebFilterFile up to the list (null: no list); the result of UpdateFileWithHash.
int WriteWebFilterFile(const json_t* list);
