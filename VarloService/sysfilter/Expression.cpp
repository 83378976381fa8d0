#include "VarloService/sysfilter/Expression.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <utility>
#include <vector>

namespace sysfilter {

namespace {
constexpr int kOptions = PCRE_UTF8 | PCRE_DOTALL | PCRE_MULTILINE;
// PCRE uses two thirds of the offset vector for groups: the pairs past the whole match.
constexpr int kVisibleGroups = cExpression::kOvectorSize / 3 - 1;

// A subject this short is matched as the expression stands, under a step limit at every start
// position that shrinks with the square of its length: with a step reading at most the subject,
// all starts together read about this many characters at most, a few milliseconds, while ordinary
// matches of short values keep PCRE's own speed.
constexpr int kPlainLength = 256;
constexpr unsigned long kPlainReads = 4000000;
constexpr unsigned long kMaxStepsPerStart = 10000;
// An expression too large with the callouts has only that limit, at every length.
constexpr unsigned long kLeastStepsPerStart = 1000;

// The charge, in units of about one character read: an item costs as much as reading this many; a
// character compared with a capture twice one read (the charge measures the comparison by making
// it too), and one read as part of a character cluster as much.
constexpr long kItemCost = 12;
constexpr long kComparedCost = 2;
constexpr long kClusterCost = 2;
// A match may spend this much and this much more per character of its subject: what PCRE does in
// about two milliseconds where every step is an item (the dearest work to charge), or reading the
// subject some hundred times over; about 25 ms here.
constexpr long kBaseBudget = 24000000;
constexpr long kBudgetPerCharacter = 8;

// The interpreter (when the JIT study failed) recurses once per pass of a repeated group, about
// 500 bytes of stack each, so its depth is kept to what a thread's stack holds.
constexpr unsigned long kRecursionLimit = 1000;

// The JIT's stack of each matching thread, made at its first match; deeper than PCRE's default
// so that the callouts, which make each frame larger, never end a match that PCRE decides.
constexpr int kJitStackStart = 32 * 1024;
constexpr int kJitStackMax = 1024 * 1024;

class cThreadJitStack {
 public:
  cThreadJitStack() : m_stack(pcre_jit_stack_alloc(kJitStackStart, kJitStackMax)) {}
  ~cThreadJitStack() {
    if (m_stack) pcre_jit_stack_free(m_stack);
  }
  cThreadJitStack(const cThreadJitStack&) = delete;
  cThreadJitStack& operator=(const cThreadJitStack&) = delete;
  pcre_jit_stack* Get() const { return m_stack; }

 private:
  pcre_jit_stack* m_stack;
};

pcre_jit_stack* ThreadJitStack(void*) {
  thread_local cThreadJitStack stack;
  return stack.Get();
}

bool OutOfBound(int result) {
  return result == PCRE_ERROR_MATCHLIMIT || result == PCRE_ERROR_RECURSIONLIMIT ||
         result == PCRE_ERROR_JIT_STACKLIMIT;
}

unsigned long PlainStepsPerStart(int length) {
  const unsigned long square = static_cast<unsigned long>(length) * static_cast<unsigned long>(length);
  return square == 0 ? kMaxStepsPerStart : std::min(kMaxStepsPerStart, kPlainReads / square);
}

// Groups as many and as named as the expression's, each the given text long. "(?J)" lets a name
// stand twice, as it may in the expression and in an item that holds its group.
std::string GroupsLike(const pcre* code, int groups, const std::string& body) {
  std::vector<std::string> names(static_cast<size_t>(groups) + 1);
  int count = 0;
  int entrySize = 0;
  unsigned char* table = nullptr;
  pcre_fullinfo(code, nullptr, PCRE_INFO_NAMECOUNT, &count);
  pcre_fullinfo(code, nullptr, PCRE_INFO_NAMEENTRYSIZE, &entrySize);
  pcre_fullinfo(code, nullptr, PCRE_INFO_NAMETABLE, &table);
  for (int i = 0; i < count && table; ++i) {
    const unsigned char* entry = table + static_cast<ptrdiff_t>(i) * entrySize;
    const int group = (entry[0] << 8) | entry[1];
    if (group > 0 && group <= groups) names[group] = reinterpret_cast<const char*>(entry + 2);
  }
  std::string text = "(?J)";
  for (int group = 1; group <= groups; ++group) {
    text += names[group].empty() ? "(" : "(?<" + names[group] + ">";
    text += body + ")";
  }
  return text;
}
}  // namespace

// What one item may read without moving: its least length in characters besides what it compares,
// the number of times it compares a group's capture, and whether it reads whole character clusters
// (\X), which have no length of their own.
struct cExpression::cItemCost {
  long characters = 0;
  int comparisons = 0;
  bool clusters = false;
};

// What PCRE tells of a text: its least length, and whether it compares a group's capture.
struct cExpression::cReading {
  int least = -1;  // -1: PCRE does not compile it
  bool compares = false;
};

// The cost of each item by its offset in the text, measured at its first callout. Entries are
// written once, and two threads that measure one item at once measure the same.
class cExpression::cItemCosts {
 public:
  explicit cItemCosts(size_t textLength) : m_entries(new std::atomic<uint32_t>[textLength + 1]) {
    for (size_t i = 0; i <= textLength; ++i) m_entries[i].store(0, std::memory_order_relaxed);
  }
  bool Find(size_t position, cItemCost& cost) const {
    const uint32_t entry = m_entries[position].load(std::memory_order_relaxed);
    if ((entry & kKnown) == 0) return false;
    cost.characters = entry & kCharacters;
    cost.comparisons = static_cast<int>((entry >> kComparisonShift) & kComparisons);
    cost.clusters = (entry & kClusters) != 0;
    return true;
  }
  void Keep(size_t position, const cItemCost& cost) {
    const uint32_t characters = static_cast<uint32_t>(std::min<long>(cost.characters, kCharacters));
    const uint32_t comparisons = static_cast<uint32_t>(std::min<int>(cost.comparisons, kComparisons));
    m_entries[position].store(kKnown | characters | (comparisons << kComparisonShift) |
                                  (cost.clusters ? kClusters : 0),
                              std::memory_order_relaxed);
  }

 private:
  static constexpr uint32_t kCharacters = (1u << 20) - 1;
  static constexpr int kComparisonShift = 20;
  static constexpr uint32_t kComparisons = (1u << 10) - 1;
  static constexpr uint32_t kClusters = 1u << 30;
  static constexpr uint32_t kKnown = 1u << 31;
  std::unique_ptr<std::atomic<uint32_t>[]> m_entries;
};

// The state of one charged match, handed to every callout.
struct cExpression::cWork {
  long left;
  int start;     // where the current attempt began
  int position;  // where the previous item began
  const cExpression* expression;
  // The leading repeat: where the run that an earlier attempt's repeat covered ends, and
  // whether the item just tried was that repeat, so that this callout sees where it ended.
  int coveredEnd;
  bool afterLeadingRepeat;
};

cExpression::~cExpression() { Release(); }

cExpression::cExpression(cExpression&& other) noexcept { *this = std::move(other); }

cExpression& cExpression::operator=(cExpression&& other) noexcept {
  if (this != &other) {
    Release();
    m_text = std::move(other.m_text);
    m_plain = std::exchange(other.m_plain, nullptr);
    m_plainStudy = std::exchange(other.m_plainStudy, nullptr);
    m_charged = std::exchange(other.m_charged, nullptr);
    m_chargedStudy = std::exchange(other.m_chargedStudy, nullptr);
    m_options = other.m_options;
    m_groups = other.m_groups;
    m_referencedGroups = other.m_referencedGroups;
    m_groupsOfOne = std::move(other.m_groupsOfOne);
    m_groupsOfTwo = std::move(other.m_groupsOfTwo);
    m_leadingRepeat = other.m_leadingRepeat;
    m_itemCosts.store(other.m_itemCosts.exchange(nullptr));
  }
  return *this;
}

void cExpression::Release() {
  for (pcre_extra* study : {m_plainStudy, m_chargedStudy}) {
    if (study) pcre_free_study(study);
  }
  for (pcre* code : {m_plain, m_charged}) {
    if (code) pcre_free(code);
  }
  m_plain = m_charged = nullptr;
  m_plainStudy = m_chargedStudy = nullptr;
  m_leadingRepeat.reset();
  delete m_itemCosts.exchange(nullptr);
}

int cExpression::Compile(const std::string& text) {
  Release();
  m_text = text;
  const char* error = nullptr;
  int offset = 0;
  m_plain = pcre_compile(text.c_str(), kOptions, &error, &offset, nullptr);
  if (!m_plain) return -1;
  m_charged = pcre_compile(text.c_str(), kOptions | PCRE_AUTO_CALLOUT, &error, &offset, nullptr);
  pcre_fullinfo(m_plain, nullptr, PCRE_INFO_OPTIONS, &m_options);
  pcre_fullinfo(m_plain, nullptr, PCRE_INFO_CAPTURECOUNT, &m_groups);
  pcre_fullinfo(m_plain, nullptr, PCRE_INFO_BACKREFMAX, &m_referencedGroups);
  m_groupsOfOne = GroupsLike(m_plain, m_groups, "x");
  m_groupsOfTwo = GroupsLike(m_plain, m_groups, "xx");
  if (m_referencedGroups == 0) m_leadingRepeat = FindLeadingRepeat(text);
  m_plainStudy = pcre_study(m_plain, PCRE_STUDY_JIT_COMPILE, &error);
  if (m_charged) m_chargedStudy = pcre_study(m_charged, PCRE_STUDY_JIT_COMPILE, &error);
  for (pcre_extra* study : {m_plainStudy, m_chargedStudy}) {
    if (study) pcre_assign_jit_stack(study, &ThreadJitStack, nullptr);
  }
  return m_plainStudy && (m_chargedStudy || !m_charged) ? 1 : -2;
}

int cExpression::Exec(const char* subject, int length, int* ovector) const {
  int options = 0;
  if (length <= kPlainLength || !m_charged) {
    const unsigned long steps = PlainStepsPerStart(length);
    const int result = ExecPlain(subject, length, ovector, m_charged ? steps : std::max(steps, kLeastStepsPerStart));
    if (!OutOfBound(result) || !m_charged) return result;
    options = PCRE_NO_UTF8_CHECK;  // checked by the run before
  }
  return ExecCharged(subject, length, options, ovector);
}

int cExpression::ExecPlain(const char* subject, int length, int* ovector, unsigned long stepsPerStart) const {
  pcre_extra limits = m_plainStudy ? *m_plainStudy : pcre_extra{};
  limits.flags |= PCRE_EXTRA_MATCH_LIMIT | PCRE_EXTRA_MATCH_LIMIT_RECURSION;
  limits.match_limit = stepsPerStart;
  limits.match_limit_recursion = kRecursionLimit;
  return pcre_exec(m_plain, &limits, subject, length, 0, 0, ovector, ovector ? kOvectorSize : 0);
}

int cExpression::ExecCharged(const char* subject, int length, int options, int* ovector) const {
  // Set once, before any charged match can run; PCRE skips callouts while it is unset.
  [[maybe_unused]] static const bool chargeSet = (pcre_callout = &cExpression::Charge, true);
  cWork work{kBaseBudget + kBudgetPerCharacter * length, 0, 0, this, -1, false};
  // A copy per match, so that an expression can be matched on several threads at once.
  pcre_extra limits = m_chargedStudy ? *m_chargedStudy : pcre_extra{};
  limits.flags |= PCRE_EXTRA_CALLOUT_DATA | PCRE_EXTRA_MATCH_LIMIT_RECURSION;
  limits.callout_data = &work;
  limits.match_limit_recursion = kRecursionLimit;
  // The callouts see the groups that back-references compare only in an offset vector.
  int own[kOvectorSize];
  return pcre_exec(m_charged, &limits, subject, length, 0, options, ovector ? ovector : own, kOvectorSize);
}

int cExpression::Charge(pcre_callout_block* block) {
  cWork& work = *static_cast<cWork*>(block->callout_data);
  long cost = kItemCost;
  const bool newAttempt = block->start_match != work.start;
  if (newAttempt) {
    // What lies between the starts was skipped by PCRE's search for a start.
    cost += std::labs(static_cast<long>(block->start_match) - work.start);
    work.start = block->start_match;
  } else {
    cost += std::labs(static_cast<long>(block->current_position) - work.position);
  }
  work.position = block->current_position;
  cost += work.expression->ReadsInPlace(*block);
  work.left -= cost;
  if (work.left < 0) return PCRE_ERROR_MATCHLIMIT;
  return work.expression->SkipsCoveredStart(*block, newAttempt, work) ? 1 : 0;
}

bool cExpression::SkipsCoveredStart(const pcre_callout_block& block, bool newAttempt, cWork& work) const {
  if (!m_leadingRepeat) return false;
  if (work.afterLeadingRepeat && !newAttempt) work.coveredEnd = std::max(work.coveredEnd, block.current_position);
  work.afterLeadingRepeat = false;
  const bool leadingRepeat = static_cast<size_t>(block.pattern_position) == m_leadingRepeat->offset &&
                             static_cast<size_t>(block.next_item_length) == m_leadingRepeat->length &&
                             block.current_position == block.start_match;
  if (!leadingRepeat) return false;
  if (block.current_position <= work.coveredEnd) return true;
  work.afterLeadingRepeat = true;
  return false;
}

long cExpression::ReadsInPlace(const pcre_callout_block& block) const {
  if (block.next_item_length <= 0) return 0;
  cItemCosts* costs = m_itemCosts.load(std::memory_order_acquire);
  if (!costs) {
    auto* made = new cItemCosts(m_text.size());
    if (m_itemCosts.compare_exchange_strong(costs, made, std::memory_order_acq_rel)) {
      costs = made;
    } else {
      delete made;
    }
  }
  // PCRE reports items of the forms it writes anew ("[[:<:]]" is "\\b(?=\\w)") at offsets in what it
  // wrote: those are read as items PCRE cannot read alone.
  const auto position = static_cast<size_t>(block.pattern_position);
  const auto length = static_cast<size_t>(block.next_item_length);
  cItemCost item = Unreadable();
  if (position + length <= m_text.size() && !costs->Find(position, item)) {
    item = Measure(m_text.substr(position, length));
    costs->Keep(position, item);
  }
  const long rest = block.subject_length - block.current_position;
  if (item.clusters && item.characters > 1) return kClusterCost * rest;
  const long compared = item.comparisons > 0 ? std::min(ComparedReads(block, item.comparisons), rest) : 0;
  return std::min(item.characters, rest) + kComparedCost * compared;
}

namespace {
// Whether a comparison of a capture may go on past these two bytes: equal, equal but for the case
// of an ASCII letter, or part of a longer character, which a comparison without regard to case
// may find equal.
bool MayCompareEqual(unsigned char captured, unsigned char subject) {
  if (captured == subject || ((captured | subject) & 0x80) != 0) return true;
  const auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; };
  return lower(captured) == lower(subject);
}
}  // namespace

long cExpression::ComparedReads(const pcre_callout_block& block, int comparisons) const {
  if (m_referencedGroups > kVisibleGroups) return block.subject_length - block.current_position;
  const auto* subject = reinterpret_cast<const unsigned char*>(block.subject);
  long most = 0;
  for (int group = 1; group <= m_referencedGroups && group < block.capture_top; ++group) {
    const int begin = block.offset_vector[2 * group];
    if (begin < 0) continue;
    const long span = block.offset_vector[2 * group + 1] - begin;
    long reads = 0;
    for (long at = block.current_position, i = 0; i < comparisons; ++i, at += span) {
      long same = 0;
      while (same < span && at + same < block.subject_length && MayCompareEqual(subject[begin + same], subject[at + same])) {
        ++same;
      }
      reads += same;
      if (same < span || span == 0) break;
    }
    most = std::max(most, reads);
  }
  return most;
}

cExpression::cItemCost cExpression::Unreadable() const {
  cItemCost cost;
  cost.characters = 1;
  cost.comparisons = m_referencedGroups > 0 ? 1 : 0;
  return cost;
}

cExpression::cItemCost cExpression::Measure(const std::string& item) const {
  const cReading one = Read(m_groupsOfOne + item);
  const cReading two = Read(m_groupsOfTwo + item);
  if (one.least < m_groups || two.least < 2 * m_groups) return Unreadable();
  cItemCost cost;
  cost.clusters = item.compare(0, 2, "\\X") == 0;
  // Each group read in the item's least length adds one character with groups of two.
  const int comparedInLeast = std::max(0, two.least - one.least - m_groups);
  cost.comparisons = std::max(comparedInLeast, one.compares ? 1 : 0);
  cost.characters = std::max(0, one.least - m_groups - comparedInLeast);
  return cost;
}

// What PCRE reads of a text compiled with the expression's options, with and without extended
// syntax (an item may stand where the expression switched it): the larger least length, and
// whether either compares a group.
cExpression::cReading cExpression::Read(const std::string& text) const {
  cReading reading;
  const int options = m_options & ~PCRE_AUTO_CALLOUT;
  for (const int syntax : {options, options ^ PCRE_EXTENDED}) {
    const char* error = nullptr;
    int offset = 0;
    pcre* code = pcre_compile(text.c_str(), syntax, &error, &offset, nullptr);
    if (!code) continue;
    pcre_extra* study = pcre_study(code, 0, &error);
    int least = -1;
    int compared = 0;
    if (pcre_fullinfo(code, study, PCRE_INFO_MINLENGTH, &least) == 0) reading.least = std::max(reading.least, least);
    if (pcre_fullinfo(code, nullptr, PCRE_INFO_BACKREFMAX, &compared) == 0 && compared > 0) reading.compares = true;
    if (study) pcre_free_study(study);
    pcre_free(code);
  }
  return reading;
}

}  // namespace sysfilter
