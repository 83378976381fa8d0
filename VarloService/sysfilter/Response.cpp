#include "VarloService/sysfilter/Response.h"

#include <spdlog/spdlog.h>

#include <string>
#include <utility>

#include "VarloService/actions/Uilt.h"
#include "VarloService/sysfilter/EvtRecord.h"
#include "VarloService/sysfilter/JsonText.h"
#include "common/Log.h"

namespace sysfilter {

namespace {

// A command that could not be built (not UTF-8) is recorded as the empty text.
json_t* OrEmptyText(json_t* built) { return built ? built : json_string(""); }

void CopyMember(json_t* to, const json_t* from, const char* key) {
  if (json_t* value = json_object_get(from, key)) json_object_set(to, key, value);
}

}  // namespace

cResponse::~cResponse() {
  if (m_object) json_decref(m_object);
}

cResponse::cResponse(cResponse&& other) noexcept
    : m_defence(std::move(other.m_defence)),
      m_recover(std::move(other.m_recover)),
      m_elements(std::move(other.m_elements)),
      m_isAutoDefense(other.m_isAutoDefense),
      m_object(std::exchange(other.m_object, nullptr)) {}

int cResponse::Load(json_t* filterId, const json_t* response, cRefLists& owner) {
  const json_t* responseId = json_object_get(response, "edrFilterElementId");
  if (json_is_null(responseId)) return -1;

  if (m_object) json_decref(m_object);
  m_object = json_object();
  if (filterId) json_object_set(m_object, "filterId", filterId);
  for (const char* key :
       {"edrFilterElementId", "isAutoDefense", "edrDefenseOrderNo", "edrDefenseType"}) {
    CopyMember(m_object, response, key);
  }
  m_isAutoDefense = JsonFlag(json_object_get(response, "isAutoDefense"));
  m_defence.Parse(json_string_value(json_object_get(response, "edrDefenseTypeOrder")));
  if (JsonFlag(json_object_get(response, "isUseRecover"))) {
    m_recover.Parse(json_string_value(json_object_get(response, "edrRecoverCommand")));
  }
  return LoadElements(m_elements, json_object_get(response, "edrFilterElementJson"), owner);
}

int cResponse::Action(EvtRecord& record, bool block) {
  for (const cElement& element : m_elements) {
    if (element.Test(record.Body(), &m_defence) != 1) {
      m_defence.Clear();
      return 0;
    }
  }
  json_t* built = m_defence.Build();
  const bool runs = block && m_isAutoDefense && built != nullptr;
  // Only a command that would run can be refused: one that is only recorded (block off, or a
  // manual response) keeps its result true.
  const bool refused = runs && m_defence.HasUnsafeValue();
  m_defence.Clear();
  built = OrEmptyText(built);
  const std::string command = json_string_value(built);
  json_object_set_new(m_object, "edrAgentDefenseCommand", built);

  SPDLOG_INFO("*** Response({})={}", m_isAutoDefense ? "auto" : "manual", ForLog(command));
  if (refused) {
    SPDLOG_WARN("*** Response refused: a captured value holds command-line characters");
  } else if (runs) {
    std::string output;
    RunCommandCapture(command, output);
    SPDLOG_INFO("--> Result={}", ForLog(output, kLoggedContentBytes));
  }
  json_object_set_new(m_object, "edrAgentDefenseResult", json_boolean(!refused));
  json_object_set_new(m_object, "edrAgentRecoverCommand", OrEmptyText(m_recover.Build()));
  record.AddEdrAgentDefense(m_object);
  return 1;
}

}  // namespace sysfilter
