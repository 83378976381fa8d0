#pragma once
// The job bits that the management server's job codes set, and the kinds of its command scripts.
#include <cstdint>

enum : uint32_t {
  kJobLogConf = 0x1,
  kJobDefense = 0x2,
  kJobAudit = 0x4,
  kJobAuditCustom = 0x8,
  kJobSysUploadExcept = 0x10,
  kJobWebUploadExcept = 0x20,
  kJobFilter = 0x100,
  kJobFilterReference = 0x200,
  kJobEdrDefenseCmd = 0x400,
  kJobEdrConf = 0x800,
  kJobWebExtendsFilter = 0x1000,
  kJobWebFilter = 0x2000,
  kJobWafExcept = 0x8000,
  kJobLogMasking = 0x100000,
  kJobModVarloUpdate = 0x200000,
  kJobModVarloDelete = 0x400000,
  kJobHostIsolateClear = 0x10000000,
  kJobHostIsolate = 0x20000000,
  kJobHostShutdown = 0x40000000,
};

// The four lists of the web side, which its start fetches all together.
constexpr uint32_t kJobsWebLists =
    kJobLogMasking | kJobWebFilter | kJobWafExcept | kJobWebUploadExcept;

// Command-script kinds of cApi::GetCmd: even ones for this agent, odd ones for all agents.
enum : int {
  kCmdDefense = 0,
  kCmdDefenseAll = 1,
  kCmdAudit = 2,
  kCmdAuditAll = 3,
  kCmdAuditCustom = 4,
  kCmdAuditCustomAll = 5,
};

// Lists of cApi::WebFilter.
enum : int32_t {
  kWebFilterList = 0,
  kWafExceptList = 3,
  kWebUploadExceptList = 4,
};

// The two switches of cApi::LogConf and the two periods of cApi::MonConf.
enum : int { kSysLog = 0, kWebLog = 1 };
enum : int { kResourceReport = 0, kOsReport = 1 };

