#pragma once
// A PCRE expression (UTF-8, dot-all, multi-line, studied for the JIT) whose every match is bounded
// in its work, however long its subject, without changing a result that PCRE reaches in ordinary
// time.
//
// PCRE's own step limit bounds no time: its count starts again at every start position, and one
// item may read far without a step (a repeat scanned to its end, a back-reference compared, a
// counted repeat that fails near its count). So the expression is compiled twice: as it stands,
// and with a callout before every item that charges the match for its work. A short subject is
// matched as it stands, under a step limit that keeps the worst case of its length small; what
// that limit stops, and every longer subject, is matched with the charge. An item costs a constant
// plus the characters moved since the item before, plus what it may read without moving: PCRE
// itself tells each item's least length (counting the groups it compares), and the groups that
// back-references compare are measured as captured at that moment.
#include <pcre.h>

#include <atomic>
#include <optional>
#include <string>

#include "VarloService/sysfilter/LeadingRepeat.h"

namespace sysfilter {

class cExpression {
 public:
  cExpression() = default;
  ~cExpression();
  cExpression(cExpression&& other) noexcept;
  cExpression& operator=(cExpression&& other) noexcept;
  cExpression(const cExpression&) = delete;
  cExpression& operator=(const cExpression&) = delete;

  // 1 compiled and studied, -1 PCRE does not compile the text, -2 the study failed (the expression
  // runs unstudied, in PCRE's interpreter). An expression that PCRE compiles only without the
  // callouts (too large with them) is compiled and matched as it stands, its steps bounded at
  // every start position.
  int Compile(const std::string& text);
  bool IsCompiled() const { return m_plain != nullptr; }

  // The offset vector of a match: 120 integers, room for 39 groups.
  static constexpr int kOvectorSize = 120;

  // pcre_exec's result for the whole subject from offset 0, with an offset vector of
  // kOvectorSize integers or none; PCRE_ERROR_MATCHLIMIT when the match ran out of its bound.
  int Exec(const char* subject, int length, int* ovector) const;

  // For the named substrings of a match: both forms have the same groups and names.
  const pcre* Code() const { return m_plain; }

 private:
  struct cItemCost;
  class cItemCosts;
  struct cReading;
  struct cWork;
  // PCRE's callout: charges the match for the item it is about to try.
  static int Charge(pcre_callout_block* block);

  int ExecPlain(const char* subject, int length, int* ovector, unsigned long stepsPerStart) const;
  int ExecCharged(const char* subject, int length, int options, int* ovector) const;
  // What the item at this offset of the text may read without moving, for the callout there.
  long ReadsInPlace(const pcre_callout_block& block) const;
  // Whether the callout stands before the leading repeat at the start of an attempt that
  // begins inside the run an earlier attempt's repeat covered: every end it could reach there
  // failed already.
  bool SkipsCoveredStart(const pcre_callout_block& block, bool newAttempt, cWork& work) const;
  // What the comparisons of an item read: each compares the subject with a group's capture for as
  // long as they may be equal (a group of those a back-reference may compare), one after another.
  long ComparedReads(const pcre_callout_block& block, int comparisons) const;
  // An item's cost as PCRE reads its text alone; an item it cannot read alone (a part of a
  // construct) is charged as one character and, where the expression compares groups, one
  // comparison.
  cItemCost Measure(const std::string& item) const;
  cItemCost Unreadable() const;
  cReading Read(const std::string& text) const;
  void Release();

  std::string m_text;
  pcre* m_plain = nullptr;
  pcre_extra* m_plainStudy = nullptr;
  pcre* m_charged = nullptr;  // none when too large with the callouts
  pcre_extra* m_chargedStudy = nullptr;
  int m_options = 0;          // as compiled, options set at the start of the text included
  int m_groups = 0;
  int m_referencedGroups = 0;  // the highest group a back-reference compares
  std::optional<cLeadingRepeat> m_leadingRepeat;
  // Groups as many and as named as the expression's, each one character long ("x"), or two.
  std::string m_groupsOfOne;
  std::string m_groupsOfTwo;
  // Made at the first callout, shared by the threads that match the expression.
  mutable std::atomic<cItemCosts*> m_itemCosts{nullptr};
};

}  // namespace sysfilter
