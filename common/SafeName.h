#pragma once
// Names that come from outside (manifests, server jobs) are placed under one of our folders;
// such a name must not leave it, nor be one that Windows cannot give a file.
#include <string_view>

// True for a non-empty relative name (sub-folders allowed) with no ".." component, no leading
// "\" or "/", and none of the characters Windows forbids in file names: < > : " | ? * and
// control characters (":" would also name a drive or a stream, a NUL would cut the name short).
// No component may be a device name (CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM0-9, LPT0-9, with
// any extension, in any case) or end with a dot or a blank, which Windows strips: either would
// open another file than the one named.
bool IsSafeRelativeName(std::string_view name);
