#pragma once
// Text is UTF-8 inside the program; UTF-16 at the event-log interface, and wide text (std::wstring,
// UTF-16 where wchar_t has 16 bits, as on Windows) at the HTTPS layer, host names and proxy
// settings. Malformed input becomes U+FFFD.
#include <string>
#include <string_view>

std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);
// The same into out, whose room is kept from one call to the next.
void Utf16ToUtf8(std::u16string_view text, std::string& out);
std::wstring Utf8ToWide(std::string_view text);
std::string WideToUtf8(std::wstring_view text);

// Byte by byte, as the settings values are copied into wide fields: each byte one wide character.
std::wstring WidenBytes(std::string_view bytes);
// Each wide character cut to its low byte.
std::string NarrowBytes(std::wstring_view text);
