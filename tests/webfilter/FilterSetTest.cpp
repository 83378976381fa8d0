#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include <sstream>
#include <string>

#include "VarloService/webfilter/FilterSet.h"
#include "tests/webfilter/Json.h"

using namespace webfilter;

namespace {

std::string Selector(const std::string& op, const std::string& value,
                     const std::string& valueType = "string") {
  return R"({"webExtendsFilterFieldValue": ")" + value +
         R"(", "webExtendsFilterFieldSelectOperator": ")" + op +
         R"(", "webExtendsFilterFieldSelectValueType": ")" + valueType + R"("})";
}

std::string Element(const std::string& field, const std::string& type,
                    const std::string& selectors) {
  return R"({"webExtendsFilterFieldName": ")" + field + R"(", "webExtendsFilterFieldType": ")" +
         type + R"(", "webExtendsFilterElementSelectors": [)" + selectors + "]}";
}

std::string Filter(const std::string& id, const std::string& elements) {
  return R"({"webExtendsFilterId": )" + id + R"(, "webExtendsFilterElements": [)" + elements + "]}";
}

// Whether the first filter of the list matches the record.
int FirstMatches(const std::string& filters, const std::string& record) {
  cFilterSet set;
  set.Load(ParseJson("[" + filters + "]"));
  const JsonPtr json = Json(record);
  WebDecodeBuffers buffers;
  WebRecord web(json.get(), buffers);
  return set.Detect(web);
}

}  // namespace

TEST(WebFilter, EachElementTypeWithEachOperator) {
  const std::string host = "Host", ip = "Remote-addr", size = "Req-Content-Length";
  const struct {
    std::string field, type, op, value, valueType, record;
    int expected;
  } cases[] = {
      // Texts.
      {host, "string", "eq", "a.com", "s", R"({"Host": "a.com"})", 1},
      {host, "string", "eq", "a.com", "s", R"({"Host": "a.com.x"})", 0},
      {host, "string", "EQ", "a.com", "s", R"({"Host": "a.com"})", 1},  // unknown: "eq"
      {host, "string", "el", "abc", "s", R"({"Host": "xabcx"})", 1},
      {host, "string", "el", "abc", "s", R"({"Host": "xab"})", 0},
      {host, "string", "el", "<x>", "s", R"({"Host": "a\u0000<x>"})", 1},
      {host, "string", "ne", "a.com", "s", R"({"Host": "b.com"})", 1},
      {host, "string", "ne", "a.com", "s", R"({"Host": "a.com"})", 0},
      {host, "string", "nel", "abc", "s", R"({"Host": "xyz"})", 1},
      {host, "string", "nel", "abc", "s", R"({"Host": "xabcx"})", 0},
      {host, "string", "gt", "a", "s", R"({"Host": "b"})", 0},
      {host, "string", "lt", "b", "s", R"({"Host": "a"})", 0},
      {host, "string", "ge", "a", "s", R"({"Host": "a"})", 0},
      {host, "string", "le", "b", "s", R"({"Host": "a"})", 0},
      {host, "string", "eq", "a", "s", R"({})", 0},
      {host, "string", "el", "a", "s", R"({"Host": null})", 0},
      {host, "string", "ne", "a", "s", R"({})", 1},
      {host, "string", "nel", "abc", "s", R"({"Host": 5})", 1},
      // Expressions.
      {host, "string", "eq", "^adm", "regex", R"({"Host": "administrator"})", 1},
      {host, "string", "eq", "^adm", "regex", R"({"Host": "xadm"})", 0},
      {host, "string", "ne", "^adm", "r", R"({"Host": "xadm"})", 1},
      {host, "string", "nel", "^adm", "r", R"({"Host": "admin"})", 0},
      {host, "string", "gt", "^adm", "r", R"({"Host": "admin"})", 1},
      {host, "string", "eq", "^adm", "s", R"({"Host": "admin"})", 0},
      // Addresses.
      {ip, "ipv4", "eq", "10.1.0.0/16", "", R"({"Remote-addr": "10.1.200.7"})", 1},
      {ip, "ipv4", "eq", "10.1.0.0/16", "", R"({"Remote-addr": "10.2.0.1"})", 0},
      {ip, "ipv4", "el", "10.1.0.0/16", "", R"({"Remote-addr": "10.1.0.1"})", 1},
      {ip, "ipv4", "gt", "10.1.0.0/16", "", R"({"Remote-addr": "10.1.0.1"})", 1},
      {ip, "ipv4", "lt", "10.1.0.0/16", "", R"({"Remote-addr": "10.9.0.1"})", 0},
      {ip, "ipv4", "ge", "10.1.0.0/16", "", R"({"Remote-addr": "10.1.9.9"})", 1},
      {ip, "ipv4", "le", "10.1.0.0/16", "", R"({"Remote-addr": "10.1.9.9"})", 1},
      {ip, "ipv4", "ne", "10.1.0.0/16", "", R"({"Remote-addr": "10.2.0.1"})", 1},
      {ip, "ipv4", "ne", "10.1.0.0/16", "", R"({"Remote-addr": "10.1.2.3"})", 0},
      {ip, "ipv4", "nel", "10.1.0.0/16", "", R"({"Remote-addr": "fe80::1"})", 1},
      {ip, "ipv4", "ne", "10.1.0.0/16", "", R"({})", 1},
      {ip, "ipv4", "eq", "10.1.0.0/16", "", R"({"Remote-addr": "fe80::1"})", 0},
      {ip, "ipv4", "eq", "10.1.2.3", "", R"({"Remote-addr": "10.1.2.3"})", 1},
      {ip, "ipv4", "eq", "10.1.2.3", "", R"({"Remote-addr": "10.1.2.4"})", 0},
      {ip, "ipv4", "eq", "0.0.0.0/0", "", R"({"Remote-addr": "203.0.113.9"})", 1},
      {"X-Forwarded-For", "i", "eq", "192.168.0.0/24", "", R"({"X-Forwarded-For": "192.168.0.77"})",
       1},
      // Numbers: only the four comparisons compare; "eq" never matches.
      {size, "number", "eq", "5", "", R"({"Req-Content-Length": "5"})", 0},
      {size, "number", "eq", "5", "", R"({"Req-Content-Length": 5})", 0},
      {size, "number", "el", "5", "", R"({"Req-Content-Length": "5"})", 0},
      {size, "number", "gt", "100", "", R"({"Req-Content-Length": "101"})", 1},
      {size, "number", "gt", "100", "", R"({"Req-Content-Length": "100"})", 0},
      {size, "number", "gt", "100", "", R"({"Req-Content-Length": 101})", 1},
      {size, "number", "lt", "100", "", R"({"Req-Content-Length": "99"})", 1},
      {size, "number", "lt", "100", "", R"({"Req-Content-Length": 100})", 0},
      {size, "number", "ge", "100", "", R"({"Req-Content-Length": 100})", 1},
      {size, "number", "le", "100", "", R"({"Req-Content-Length": "100"})", 1},
      {size, "number", "le", "100", "", R"({"Req-Content-Length": "101"})", 0},
      {size, "number", "gt", "-10", "", R"({"Req-Content-Length": " -7"})", 1},
      {size, "number", "ne", "5", "", R"({"Req-Content-Length": "abc"})", 1},
      {size, "number", "ne", "5", "", R"({"Req-Content-Length": "6"})", 0},
      {size, "number", "nel", "5", "", R"({"Req-Content-Length": 5.5})", 1},
      {size, "number", "ne", "5", "", R"({})", 1},
      {size, "number", "gt", "5", "", R"({"Req-Content-Length": 5.5})", 0},
      // Decoded fields are compared as text whatever the element type.
      {"Path", "string", "eq", "/a/b+c", "s", R"({"Uri": "/a%2Fb+c"})", 1},
      {"path", "string", "eq", "/x", "s", R"({"path": "/x", "Uri": "/y"})", 1},
      {"Post-body", "string", "eq", "a%3Db", "s",
       R"({"Post-body": "a%3Db", "Req-Content-Type": "application/json"})", 1},
      {"Post-body", "string", "eq", "a=b", "s",
       R"({"Post-body": "a%3Db",
           "Req-Content-Type": "application/x-www-form-urlencoded; charset=UTF-8"})",
       1},
      {"Uri", "number", "eq", "5", "", R"({"Uri": "5"})", 1},
      {"Uri", "number", "el", "5", "", R"({"Uri": "/index"})", 0},
      {"Referer", "string", "nel", "x", "s", R"({})", 1},
      {"Referer", "string", "eq", "", "s", R"({})", 1},
      {"Request", "ipv4", "el", "10.0.0.1", "", R"({"Request": "GET /?h=10.0.0.1 HTTP/1.1"})", 1},
      // Expressions see bytes that are not UTF-8 as '?', and valid sequences as characters.
      {"Uri", "string", "el", "admin", "r", R"({"Uri": "/admin%ff"})", 1},
      {"Uri", "string", "ne", "^/x$", "r", R"({"Uri": "/x%ff"})", 1},
      {"Uri", "string", "eq", "^/.$", "r", R"({"Uri": "/%C3%A9"})", 1},
      {"Uri", "string", "eq", "^/.$", "r", R"({"Uri": "/%F0%9F%98%80"})", 1},
      {"Uri", "string", "eq", "^/[?]{2}$", "r", R"({"Uri": "/%C0%AF"})", 1},
      {"Uri", "string", "eq", "^/[?]{3}$", "r", R"({"Uri": "/%ED%A0%80"})", 1},
      {"Uri", "string", "eq", "^/[?]{2}x$", "r", R"({"Uri": "/%E2%82x"})", 1},
      {"Uri", "string", "eq", "^/[?]{4}$", "r", R"({"Uri": "/%F4%90%80%80"})", 1},
      {"Uri", "string", "el", "?", "s", R"({"Uri": "/%ff"})", 0},
      // The module's own extension member is used as it stands.
      {"Extention", "string", "eq", "php", "s", R"({"Extention": "php", "Uri": "/a.asp"})", 1},
  };
  for (const auto& c : cases) {
    const std::string filter =
        Filter("1", Element(c.field, c.type, Selector(c.op, c.value, c.valueType)));
    EXPECT_EQ(FirstMatches(filter, c.record), c.expected)
        << c.field << " " << c.type << " " << c.op << " " << c.value << " on " << c.record;
  }
}

TEST(WebFilter, AFilterMatchesWhenEveryElementHasAMatchingSelector) {
  const std::string filter =
      Filter("7", Element("Method", "s", Selector("eq", "POST") + "," + Selector("eq", "PUT")) +
                      "," + Element("Uri", "s", Selector("el", "/admin")));
  EXPECT_EQ(FirstMatches(filter, R"({"Method": "PUT", "Uri": "/x/admin/"})"), 1);
  EXPECT_EQ(FirstMatches(filter, R"({"Method": "GET", "Uri": "/x/admin/"})"), 0);
  EXPECT_EQ(FirstMatches(filter, R"({"Method": "POST", "Uri": "/x/"})"), 0);
  EXPECT_EQ(FirstMatches(Filter("8", ""), R"({})"), 0);
}

TEST(WebFilter, SelectorLoadResults) {
  const struct {
    int type;
    std::string selector;
    int expected;
  } cases[] = {
      {kStringElement, Selector("el", "x"), 0},
      {kIpv4Element, Selector("eq", "10.1.2.3/24"), 1},
      {kNumberElement, Selector("gt", "-12"), 2},
      {kStringElement, R"({"webExtendsFilterFieldSelectOperator": "eq"})", -1},
      {kStringElement, R"({"webExtendsFilterFieldValue": 5,
                           "webExtendsFilterFieldSelectOperator": "eq"})",
       -1},
      {kStringElement, R"({"webExtendsFilterFieldValue": "x",
                           "webExtendsFilterFieldSelectValueType": "s"})",
       -2},
      {kIpv4Element, Selector("eq", "10.1.2"), -3},
      {kIpv4Element, Selector("eq", "10.1.2.3/33"), -3},
      {kNumberElement, Selector("gt", "abc"), -4},
      {kNumberElement, Selector("gt", "99999999999999999999"), -4},
      {kStringElement, R"({"webExtendsFilterFieldValue": "x",
                           "webExtendsFilterFieldSelectOperator": "eq"})",
       -5},
      {kStringElement, Selector("eq", "(", "regex"), -6},
  };
  for (const auto& c : cases) {
    cSelector selector;
    const JsonPtr json = Json(c.selector);
    EXPECT_EQ(selector.Load(c.type, json.get()), c.expected) << c.selector;
  }
}

TEST(WebFilter, ElementLoadResults) {
  const struct {
    std::string element;
    int expected;
  } cases[] = {
      {Element("Host", "string", Selector("eq", "a") + "," + Selector("el", "b")), 2},
      {Element("Host", "string", ""), 0},
      {R"({"webExtendsFilterFieldName": "Host", "webExtendsFilterFieldType": "s"})", 0},
      {Element("Host", "string", Selector("eq", "a") + "," + Selector("eq", "(", "r")), 0},
      {R"({"webExtendsFilterFieldType": "s"})", -1},
      {Element("Host", "xml", Selector("eq", "a")), -2},
      {R"({"webExtendsFilterFieldName": "Host"})", -2},
  };
  for (const auto& c : cases) {
    cElement element;
    const JsonPtr json = Json(c.element);
    EXPECT_EQ(element.Load(json.get()), c.expected) << c.element;
  }
}

TEST(WebFilter, AFilterWhoseElementsFailToLoadStaysInTheSetAndNeverMatches) {
  cFilterSet set;
  const std::string good = Filter(R"("first")", Element("Host", "s", Selector("ne", "z")));
  // The second element is fine and would match on its own; the first has an unknown type.
  const std::string bad = Filter("2", Element("Host", "bogus", Selector("ne", "z")) + "," +
                                          Element("Host", "s", Selector("ne", "z")));
  EXPECT_EQ(set.Load(ParseJson("[" + good + "," + bad + "]")), 2);
  EXPECT_EQ(set.Size(), 2u);

  const JsonPtr json = Json(R"({"Host": "a"})");
  WebDecodeBuffers buffers;
  WebRecord record(json.get(), buffers);
  EXPECT_EQ(set.Detect(record), 1);
  EXPECT_EQ(Dump(json_object_get(json.get(), "webExtendsDetects")),
            R"([{"webExtendsFilterId":"first","matchedItem":[]}])");
}

TEST(WebFilter, DetectAppendsOneEntryPerMatchingFilterInOrder) {
  cFilterSet set;
  const std::string any = Element("Host", "s", Selector("el", ""));
  set.Load(ParseJson("[" + Filter("1", any) + "," + Filter(R"({"k": [2]})", any) + "," +
                     Filter("3", Element("Host", "s", Selector("eq", "other"))) + "]"));
  const JsonPtr json = Json(R"({"Host": "a", "webExtendsDetects": [{"module": true}]})");
  WebDecodeBuffers buffers;
  WebRecord record(json.get(), buffers);
  EXPECT_EQ(set.Detect(record), 2);
  EXPECT_EQ(Dump(json_object_get(json.get(), "webExtendsDetects")),
            R"([{"module":true},{"webExtendsFilterId":1,"matchedItem":[]},)"
            R"({"webExtendsFilterId":{"k":[2]},"matchedItem":[]}])");

  // A new list replaces the old one; no list leaves no filters.
  EXPECT_EQ(set.Load(nullptr), 0);
  EXPECT_EQ(set.Detect(record), 0);
}

TEST(WebFilter, LoadFailuresNameTheElementAndTheFilter) {
  std::ostringstream lines;
  const auto previous = spdlog::default_logger();
  auto capture = std::make_shared<spdlog::logger>(
      "capture", std::make_shared<spdlog::sinks::ostream_sink_mt>(lines));
  capture->set_pattern("%l %v");
  spdlog::set_default_logger(capture);
  cFilterSet set;
  set.Load(ParseJson("[" + Filter("42", Element("Path", "s", Selector("eq", "(", "r"))) + "," +
                     Filter(R"({"id": 7})", Element("Host", "bogus", "")) + "]"));
  spdlog::set_default_logger(previous);
  EXPECT_EQ(lines.str(),
            "error WebFilter.Load(E=Uri)=-6\n"
            "error WebFilter.Load(F=42)=0\n"
            "error WebFilter.Load(F={\"id\":7})=-2\n");
}
