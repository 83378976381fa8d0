// The record writer writes what jansson's compact dump writes, byte for byte, refuses the texts
// jansson refuses as strings, and never writes past its room.
#include <gtest/gtest.h>
#include <jansson.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "VarloService/server/RecordWriter.h"

namespace {

// jansson's text of the string, or "refused".
std::string JanssonText(const std::string& bytes) {
  json_t* value = json_stringn(bytes.data(), bytes.size());
  if (!value) return "refused";
  char* dumped = json_dumps(value, JSON_COMPACT | JSON_ENCODE_ANY);
  std::string text = dumped;
  free(dumped);
  json_decref(value);
  return text;
}

std::string WriterText(const std::string& bytes) {
  std::string out(6 * bytes.size() + 2, '\0');
  cRecordWriter writer(out.data(), out.size());
  if (!writer.PutString(bytes)) return "refused";
  out.resize(writer.Length());
  return out;
}

TEST(RecordWriter, StringsAreWrittenAndRefusedAsJanssonDoes) {
  std::vector<std::string> texts = {"", "plain text, long enough for a few words at a time",
                                    "\"quoted\" \\ back/slash \b\f\n\r\t \x7f",
                                    "\xc3\xa9\xe6\x97\xa5\xf0\x9f\x98\x80 after",
                                    std::string("nul\0inside", 10)};
  for (int byte = 0; byte < 256; ++byte) texts.emplace_back(1, static_cast<char>(byte));
  // Bytes around every boundary of UTF-8, strung together at random.
  const unsigned char pieces[] = {0x00, 0x1f, 0x20, '"',  '\\', 'a',  0x7f, 0x80,
                                  0xbf, 0xc0, 0xc1, 0xc2, 0xdf, 0xe0, 0xed, 0xef,
                                  0xf0, 0xf4, 0xf5, 0xff, 0x9f, 0xa0, 0x8f, 0x90};
  std::mt19937 random(20261210);
  for (int i = 0; i < 20000; ++i) {
    std::string text(random() % 14, '\0');
    for (char& c : text) c = static_cast<char>(pieces[random() % sizeof pieces]);
    texts.push_back(text);
  }
  for (const std::string& text : texts) {
    EXPECT_EQ(WriterText(text), JanssonText(text)) << testing::PrintToString(text);
  }
}

TEST(RecordWriter, ValuesAreWrittenAsJanssonDumpsThem) {
  const char* const texts[] = {
      R"({})",
      R"([])",
      R"({"a":{},"b":[],"c":[[],{}]})",
      R"({"Remote-addr":"10.0.0.1","Status":200,"Bytes":-0,"Real":1.5,"Exponent":1e3,"Negative":-0.0,
          "Tiny":1e-7,"Huge":1e300,"Third":0.1,"Big":9223372036854775807,"Small":-9223372036854775808,
          "Flags":[true,false,null],"Nested":{"a":{"b":[1,{"c":"d"}]}}})",
      R"({"\u00e9t\u00e9":"\ud83d\ude00","quote\"key":"back\\slash \/ \t\u0001\u001f\u007f","nul":"a\u0000b"})",
      R"({"dup":1,"dup":2,"order":"kept","a":"last"})",
      R"(["mixed",1,2.25,"x",{"y":[null]}])",
  };
  for (const char* text : texts) {
    json_error_t error;
    json_t* value = json_loads(text, JSON_ALLOW_NUL, &error);
    ASSERT_NE(value, nullptr) << error.text << " in " << text;
    char* dumped = json_dumps(value, JSON_COMPACT);
    std::string out(2 * std::strlen(dumped) + 16, '\0');
    cRecordWriter writer(out.data(), out.size());
    EXPECT_TRUE(writer.PutJson(value));
    out.resize(writer.Length());
    EXPECT_EQ(out, dumped);
    free(dumped);
    json_decref(value);
  }
  cRecordWriter writer(nullptr, 0);
  EXPECT_FALSE(writer.PutJson(nullptr));
}

TEST(RecordWriter, WhatPassesTheRoomIsCountedNotWritten) {
  json_t* value = json_pack("{s:[i,s]}", "ids", 7, "x");
  const std::string expected = R"({"text":"a\"b","value":{"ids":[7,"x"]}})";
  for (size_t room = 0; room <= expected.size(); ++room) {
    std::string out(expected.size() + 8, '#');
    cRecordWriter writer(out.data(), room);
    writer.Put(R"({"text":)");
    ASSERT_TRUE(writer.PutString("a\"b"));
    writer.Put(R"(,"value":)");
    ASSERT_TRUE(writer.PutJson(value));
    writer.Put("}");
    EXPECT_EQ(writer.Length(), expected.size());
    EXPECT_EQ(out.substr(room), std::string(out.size() - room, '#')) << room;
    if (room == expected.size()) {
      EXPECT_EQ(out.substr(0, room), expected);
    }
  }
  json_decref(value);
}

}  // namespace
