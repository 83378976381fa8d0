#pragma once
// The repeat of one character that every attempt of an expression begins with ("[^\\]+$",
// "\w+\d", "(?<name>\S+)@"), where the attempt's outcome depends on nothing but where that
// repeat ends. An attempt that starts inside the run such a repeat covered in an earlier attempt
// can only try ends that the earlier one tried and failed: PCRE's JIT skips it, and so must a
// match that PCRE sees only through callouts, which keep the JIT from finding the repeat.
#include <cstddef>
#include <optional>
#include <string_view>

namespace sysfilter {

struct cLeadingRepeat {
  size_t offset;  // of the repeat's item in the text, as PCRE reports it to a callout
  size_t length;  // of the item: the character, class or type and its quantifier
};

// Read conservatively: none for an expression that holds anything that could make an attempt
// depend on more than where the repeat ends (conditions, verbs, recursion, subroutine calls,
// \Q, extended syntax, a repeated or atomic group around the repeat, a lazy repeat). Whether
// the expression compares groups (back-references) is PCRE's to tell, and the caller's to ask.
std::optional<cLeadingRepeat> FindLeadingRepeat(std::string_view text);

}  // namespace sysfilter
