#pragma once
// One EDR response of a filter: its own element tests, whose named groups fill the defence
// command, and the object that goes with every event for which it ran.
#include <jansson.h>

#include <vector>

#include "VarloService/sysfilter/CmdTemplate.h"
#include "VarloService/sysfilter/Element.h"
#include "VarloService/sysfilter/RefLists.h"

class EvtRecord;

namespace sysfilter {

class cResponse {
 public:
  cResponse() = default;
  ~cResponse();
  cResponse(cResponse&& other) noexcept;
  cResponse& operator=(cResponse&& other) = delete;
  cResponse(const cResponse&) = delete;
  cResponse& operator=(const cResponse&) = delete;

  // The number of elements loaded; -1 when "edrFilterElementId" is JSON null. A response without
  // elements is of no use to its filter.
  int Load(json_t* filterId, const json_t* response, cRefLists& owner);

  // When every element matches: builds the command, runs it when block and automatic defence
  // are both on, and adds the response object to the record's "edrAgentDefenseList". 1 when the
  // response ran, 0 when an element did not match. A command that would run but whose captured
  // values hold characters its interpreter acts on, or whitespace outside double quotes, is
  // refused and recorded with "edrAgentDefenseResult" false.
  int Action(EvtRecord& record, bool block);

 private:
  cCmdTemplate m_defence;
  cCmdTemplate m_recover;
  std::vector<cElement> m_elements;
  bool m_isAutoDefense = false;
  json_t* m_object = nullptr;
};

}  // namespace sysfilter
