// The libFuzzer entry of one target function, chosen when the executable is built.
#include "fuzz/targets/FuzzTargets.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  DiscardLogLines();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return VARLO_FUZZ_TARGET(data, size);
}
