#pragma once
// The registry: a persistent store under the machine root shared by every process. Key and value
// names compare without regard to case, values keep their type and raw bytes, and every write is
// atomic and serialised between processes.
#include "platform/Errors.h"

typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef DWORD REGSAM;

#define HKEY_CLASSES_ROOT (reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000000u)))
#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000001u)))
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000002u)))
#define HKEY_USERS (reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000003u)))

constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_WRITE = 0x20006;
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;
constexpr REGSAM KEY_WOW64_64KEY = 0x0100;

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_QWORD = 11;

constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// Each returns ERROR_SUCCESS or a Windows error number: 2 key or value not found, 5 a write through
// a key opened without write access, 6 a bad handle, 161 a bad key path, 234 a buffer too small,
// 259 no more items, 1009 a damaged store (left as it is), 1018 the open key was deleted.
// The store is the file "registry/HKLM" (HKCU, HKU, HKCR) in the stand-in's StateFolder().

// Opens an existing key (subKey null or "" opens hKey itself again).
LONG RegOpenKeyExA(HKEY hKey, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result);
// Opens a key, creating it and every missing key above it. className and security are ignored.
LONG RegCreateKeyExA(HKEY hKey, LPCSTR subKey, DWORD reserved, LPSTR className, DWORD options,
                     REGSAM access, const void* security, PHKEY result, LPDWORD disposition);
// Copies a value's raw bytes. data null: only *dataSize (needed size) and *type are set.
// *dataSize too small: 234 with the needed size in *dataSize. type and dataSize may be null.
LONG RegQueryValueExA(HKEY hKey, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD dataSize);
// Stores dataSize raw bytes with the given type (valueName null or "" is the key's default value).
LONG RegSetValueExA(HKEY hKey, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD dataSize);
LONG RegDeleteValueA(HKEY hKey, LPCSTR valueName);
// Deletes a key that has no sub-keys.
LONG RegDeleteKeyA(HKEY hKey, LPCSTR subKey);
// The index-th value in stored order: name (with *nameSize in characters, NUL excluded on
// return), type and data as RegQueryValueExA; 259 past the last one.
LONG RegEnumValueA(HKEY hKey, DWORD index, LPSTR name, LPDWORD nameSize, LPDWORD reserved,
                   LPDWORD type, LPBYTE data, LPDWORD dataSize);
// The index-th direct sub-key name; 259 past the last one.
LONG RegEnumKeyExA(HKEY hKey, DWORD index, LPSTR name, LPDWORD nameSize, LPDWORD reserved,
                   LPSTR className, LPDWORD classSize, void* lastWriteTime);
LONG RegCloseKey(HKEY hKey);
