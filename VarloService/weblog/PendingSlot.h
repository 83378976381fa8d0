#pragma once
// One JSON value handed from the service thread to a collector: a newer value replaces one that
// was not taken yet, and the reference passes with it.
#include <jansson.h>

#include <mutex>

class cPendingSlot {
 public:
  cPendingSlot() = default;
  ~cPendingSlot() { Set(nullptr); }
  cPendingSlot(const cPendingSlot&) = delete;
  cPendingSlot& operator=(const cPendingSlot&) = delete;

  // Takes over value's reference (null only drops what is pending).
  void Set(json_t* value) {
    std::lock_guard<std::mutex> guard(m_Mutex);
    json_decref(m_Value);
    m_Value = value;
  }
  // The pending value with its reference, or null; the slot is empty afterwards.
  json_t* Take() {
    std::lock_guard<std::mutex> guard(m_Mutex);
    json_t* value = m_Value;
    m_Value = nullptr;
    return value;
  }

 private:
  std::mutex m_Mutex;
  json_t* m_Value = nullptr;
};
