#include "fuzz/targets/RawRequest.h"

#include "fuzz/targets/FuzzSupport.h"

const char* const kFuzzMaskList = R"(["card", "phone", "password", "token", "k"])";

RawRequest SplitRawRequest(std::string_view bytes) {
  RawRequest request;
  const size_t first = bytes.find('\n');
  request.request = bytes.substr(0, first);
  if (first == std::string_view::npos) return request;
  const std::string_view rest = bytes.substr(first + 1);
  const size_t second = rest.find('\n');
  request.contentType = rest.substr(0, second);
  if (second != std::string_view::npos) request.body = rest.substr(second + 1);
  return request;
}

json_t* RawRequestRecord(const RawRequest& request) {
  json_t* record = json_object();
  json_object_set_new(record, "Request", JsonBytes(request.request));
  if (!request.contentType.empty()) {
    json_object_set_new(record, "Req-Content-Type", JsonBytes(request.contentType));
  }
  json_object_set_new(record, "Post-body", JsonBytes(request.body));
  return record;
}

std::string_view RecordText(const json_t* record, const char* member) {
  const json_t* value = json_object_get(record, member);
  return std::string_view(json_string_value(value), json_string_length(value));
}

void RequireMaskedCopy(std::string_view before, std::string_view after) {
  Require(before.size() == after.size());
  for (size_t i = 0; i < before.size(); ++i) Require(before[i] == after[i] || after[i] == '*');
}

namespace {

bool Lists(const json_t* list, std::string_view name) {
  for (size_t entry = 0; entry < json_array_size(list); ++entry) {
    const json_t* listed = json_array_get(list, entry);
    if (json_is_string(listed) &&
        std::string_view(json_string_value(listed), json_string_length(listed)) == name)
      return true;
  }
  return false;
}

bool AllMasked(const json_t* value) {
  const std::string_view text(json_string_value(value) ? json_string_value(value) : "",
                              json_string_length(value));
  return !text.empty() && text.find_first_not_of('*') == std::string_view::npos;
}

}  // namespace

bool MaskedAsParsed(std::string_view before, std::string_view after, const json_t* list) {
  json_t* parsed = json_loadb(before.data(), before.size(), 0, nullptr);
  json_t* masked = json_loadb(after.data(), after.size(), 0, nullptr);
  bool same = !json_is_object(parsed) ||
              (json_is_object(masked) && json_object_size(masked) == json_object_size(parsed));
  const char* key;
  json_t* value;
  if (json_is_object(parsed) && same) {
    json_object_foreach(parsed, key, value) {
      const json_t* now = json_object_get(masked, key);
      same = same && (Lists(list, key) && json_is_string(value) && json_string_length(value) > 0
                          ? AllMasked(now)
                          : json_equal(now, value));
    }
  }
  json_decref(parsed);
  json_decref(masked);
  return same;
}
