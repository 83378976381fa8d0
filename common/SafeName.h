#pragma once
// Names that come from outside (manifests, server jobs) are placed under one of our folders;
// such a name must not leave it.
#include <string_view>

// True for a non-empty relative name (sub-folders allowed) with no ".." component, no drive or
// stream ":", no leading "\" or "/" and no control character (a NUL would cut the name short).
bool IsSafeRelativeName(std::string_view name);
