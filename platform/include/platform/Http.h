#pragma once
// WinHTTP in its synchronous form: a session (user agent and proxy rules), a connection (one host
// and port) and requests on it. WinHTTP's defaults hold everywhere: certificate and host-name checks
// on, connect time-out 60 s, send and receive 30 s (a call fails once the other end has moved no
// byte for 30 s, however long an answer that keeps coming takes; the answer's head comes within
// 90 s of the send, connecting included), redirects followed
// (never from HTTPS to HTTP), HTTP/1.1, no decompression, cookies kept per session. Nothing is
// added to a request beyond the caller's headers, "Host", "User-Agent", "Content-Length" and the
// cookies of the session.
//
// Requests of one connection handle share a kept-alive connection. A request sent on a kept
// connection that the server had closed meanwhile, before any byte of an answer came, goes out
// once more on a new connection, as WinHTTP does; a request on a new connection, or one of whose
// answer any byte had come (a status line cut short too), is never sent again. An answer whose
// head the connection's end cuts off fails the request (ERROR_WINHTTP_INVALID_SERVER_RESPONSE).
//
// The body is received as the caller reads it: the layer keeps only a small window of it ahead of
// the reads. Closing a request handle from another thread ends a call blocked on it, which fails
// with ERROR_WINHTTP_OPERATION_CANCELLED.
//
// Trust: the host's certificate authorities, and beside them every certificate in the PEM file
// TrustedCaFile() when it exists (tests and the local demonstration place their own authority there).
#include <string>

#include "platform/Errors.h"

typedef void* HINTERNET;
typedef uint16_t INTERNET_PORT;

constexpr DWORD WINHTTP_ACCESS_TYPE_DEFAULT_PROXY = 0;  // direct, as an unconfigured machine
constexpr DWORD WINHTTP_ACCESS_TYPE_NO_PROXY = 1;
constexpr DWORD WINHTTP_ACCESS_TYPE_NAMED_PROXY = 3;
constexpr DWORD WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY = 4;  // the environment's proxies here

constexpr DWORD WINHTTP_FLAG_SECURE = 0x00800000;

constexpr INTERNET_PORT INTERNET_DEFAULT_HTTP_PORT = 80;
constexpr INTERNET_PORT INTERNET_DEFAULT_HTTPS_PORT = 443;

#define WINHTTP_NO_PROXY_NAME nullptr
#define WINHTTP_NO_PROXY_BYPASS nullptr
#define WINHTTP_NO_REFERER nullptr
#define WINHTTP_DEFAULT_ACCEPT_TYPES nullptr
#define WINHTTP_NO_ADDITIONAL_HEADERS nullptr
#define WINHTTP_NO_REQUEST_DATA nullptr
#define WINHTTP_NO_HEADER_INDEX nullptr
#define WINHTTP_HEADER_NAME_BY_INDEX nullptr

// Query levels of WinHttpQueryHeaders.
constexpr DWORD WINHTTP_QUERY_STATUS_CODE = 19;
constexpr DWORD WINHTTP_QUERY_FLAG_NUMBER = 0x20000000;

// Errors left in the last error.
constexpr DWORD ERROR_WINHTTP_TIMEOUT = 12002;
constexpr DWORD ERROR_WINHTTP_INVALID_URL = 12005;
constexpr DWORD ERROR_WINHTTP_NAME_NOT_RESOLVED = 12007;
constexpr DWORD ERROR_WINHTTP_OPERATION_CANCELLED = 12017;
constexpr DWORD ERROR_WINHTTP_HEADER_NOT_FOUND = 12150;
constexpr DWORD ERROR_WINHTTP_INCORRECT_HANDLE_STATE = 12019;
constexpr DWORD ERROR_WINHTTP_INCORRECT_HANDLE_TYPE = 12018;
constexpr DWORD ERROR_WINHTTP_CANNOT_CONNECT = 12029;
constexpr DWORD ERROR_WINHTTP_CONNECTION_ERROR = 12030;
constexpr DWORD ERROR_WINHTTP_INVALID_SERVER_RESPONSE = 12152;
constexpr DWORD ERROR_WINHTTP_SECURE_FAILURE = 12175;

// A session. proxyName (named proxy only) is WinHTTP's list: entries "[scheme=][http://]host[:port]"
// separated by ";" or blanks, an entry without a scheme serving both. proxyBypass: host patterns
// with "*" wildcards, separated by ";" or blanks, compared without regard to case; "<local>" matches
// every host name without a dot. A named proxy list without one entry is refused
// (ERROR_INVALID_PARAMETER), so a proxy that is set never turns into going direct. The named proxy
// and its bypass list alone decide, as do the direct modes; only the automatic mode takes the
// environment's proxy settings (https_proxy, no_proxy, ...), standing in for the system's. Only
// the synchronous form exists: flags must be 0.
HINTERNET WinHttpOpen(const wchar_t* userAgent, DWORD accessType, const wchar_t* proxyName,
                      const wchar_t* proxyBypass, DWORD flags);

// A connection to one host and port; nothing is sent before the first request.
HINTERNET WinHttpConnect(HINTERNET session, const wchar_t* serverName, INTERNET_PORT port,
                         DWORD reserved);

// A request: verb null is GET; objectName is the path with its query, sent exactly as given;
// version, referrer and accept types must be the defaults (null).
HINTERNET WinHttpOpenRequest(HINTERNET connection, const wchar_t* verb, const wchar_t* objectName,
                             const wchar_t* version, const wchar_t* referrer,
                             const wchar_t** acceptTypes, DWORD flags);

// Sends the request and waits for the answer's head. headers: "Name: value" lines ending in CR LF;
// headersLength in characters, or (DWORD)-1 for a NUL-terminated block; empty values are sent empty.
// FALSE when the server cannot be reached, the certificate is refused or no answer came.
BOOL WinHttpSendRequest(HINTERNET request, const wchar_t* headers, DWORD headersLength,
                        const void* optional, DWORD optionalLength, DWORD totalLength,
                        uintptr_t context);
BOOL WinHttpReceiveResponse(HINTERNET request, void* reserved);

// Bytes that the next read delivers; 0 at the end of the body. When the transfer broke off, the
// bytes received before stay readable and the query after them fails with the transfer's error.
BOOL WinHttpQueryDataAvailable(HINTERNET request, DWORD* available);
BOOL WinHttpReadData(HINTERNET request, void* buffer, DWORD bytesToRead, DWORD* bytesRead);

// Only the status code: as a DWORD with WINHTTP_QUERY_FLAG_NUMBER, else as wide text with its NUL
// (bufferLength in bytes, 122 with the size needed when it is too small).
BOOL WinHttpQueryHeaders(HINTERNET request, DWORD infoLevel, const wchar_t* name, void* buffer,
                         DWORD* bufferLength, DWORD* index);

BOOL WinHttpCloseHandle(HINTERNET handle);

namespace platform {
// The PEM file of certificate authorities trusted beside the host's: <machine root>/platform/trusted-ca.pem.
std::string TrustedCaFile();

// A request whose send failed at its proxy, before any connection through it to the server: the
// proxy ("host:port") and the status it refused the tunnel with, 0 when it gave none (it could not
// be reached, or closed or timed out first). The proxy is empty for every other request.
struct cHttpProxyFailure {
  std::string proxy;
  DWORD status = 0;
};
cHttpProxyFailure HttpProxyFailure(HINTERNET request);
}  // namespace platform
