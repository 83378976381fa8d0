#pragma once
// JSON in and out of the rule tests.
#include <gtest/gtest.h>
#include <jansson.h>

#include <cstdlib>
#include <string>

inline json_t* Json(const char* text) {
  json_error_t error;
  json_t* value = json_loads(text, 0, &error);
  EXPECT_NE(value, nullptr) << error.text << ": " << text;
  return value;
}

// A server-shaped fixture of the data folder beside these tests.
inline json_t* Fixture(const char* name) {
  json_error_t error;
  const std::string path = std::string(VARLO_SYSFILTER_FIXTURES) + "/" + name;
  json_t* value = json_load_file(path.c_str(), 0, &error);
  EXPECT_NE(value, nullptr) << path << ": " << error.text;
  return value;
}

// Compact JSON with the members in their order; "none" for no value.
inline std::string Compact(const json_t* value) {
  if (!value) return "none";
  char* dumped = json_dumps(value, JSON_COMPACT | JSON_ENCODE_ANY);
  const std::string text = dumped ? dumped : "";
  free(dumped);
  return text;
}
