#include "fuzz/targets/FuzzTargets.h"

#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include <memory>

const std::vector<cFuzzTarget>& FuzzTargets() {
  static const std::vector<cFuzzTarget> targets = {
      {"Multipart", FuzzMultipart},
      {"PercentDecode", FuzzPercentDecode},
      {"RecordLine", FuzzRecordLine},
      {"WebFilterList", FuzzWebFilterList},
      {"WebExceptList", FuzzWebExceptList},
      {"MaskList", FuzzMaskList},
      {"EventRecord", FuzzEventRecord},
      {"EventFilterList", FuzzEventFilterList},
      {"EventExceptList", FuzzEventExceptList},
      {"Expression", FuzzExpression},
      {"Base64Inflate", FuzzBase64Inflate},
      {"Manifest", FuzzManifest},
      {"RemoteControl", FuzzRemoteControl},
      {"ServiceMessage", FuzzServiceMessage},
      {"ServerUrl", FuzzServerUrl},
      {"ProxyList", FuzzProxyList},
      {"RegistryText", FuzzRegistryText},
      {"JournalFrames", FuzzJournalFrames},
      {"CommandLine", FuzzCommandLine},
  };
  return targets;
}

void DiscardLogLines() {
  spdlog::set_default_logger(
      std::make_shared<spdlog::logger>("event", std::make_shared<spdlog::sinks::null_sink_mt>()));
}
