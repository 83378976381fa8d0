#pragma once
// JSON values of the web rule tests, released with their holder.
#include <gtest/gtest.h>
#include <jansson.h>

#include <cstdlib>
#include <memory>
#include <string>

struct JsonRelease {
  void operator()(json_t* value) const { json_decref(value); }
};
using JsonPtr = std::unique_ptr<json_t, JsonRelease>;

// A new reference to the parsed text (strings may hold NUL); fails the test when it does not
// parse.
inline json_t* ParseJson(const std::string& text) {
  json_error_t error;
  json_t* value = json_loadb(text.data(), text.size(), JSON_DECODE_ANY | JSON_ALLOW_NUL, &error);
  EXPECT_NE(value, nullptr) << error.text << " in " << text;
  return value;
}

inline JsonPtr Json(const std::string& text) { return JsonPtr(ParseJson(text)); }

inline std::string StringMember(const json_t* object, const char* key) {
  const json_t* value = json_object_get(object, key);
  return std::string(json_string_value(value) ? json_string_value(value) : "",
                     json_string_length(value));
}

// Compact JSON text of a value, keys in their order.
inline std::string Dump(const json_t* value) {
  char* text = json_dumps(value, JSON_COMPACT | JSON_ENCODE_ANY);
  std::string dumped = text ? text : "";
  free(text);
  return dumped;
}
