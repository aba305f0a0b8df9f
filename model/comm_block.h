// CCommBlockDVK: one communication block, a range of PLC addresses read in one
// request and polled on its own period. Owned by its station; read-only while
// communication runs.
#pragma once

#include <string>

#include "model/object_registry.h"

namespace dravik {

class CArchive;

class CCommBlockDVK : public CPersistentObject {
 public:
  static constexpr const char* kClassName = "CCommBlockDVK";

  const char* GetRuntimeClassName() const override { return kClassName; }
  // address text, count, period, area, start.
  void Serialize(CArchive& ar);
  // "%s, %02d Bit" for bit areas, "%s, %02d Word" for word areas.
  std::string Label() const;

  std::string address_text;  // e.g. R100: area prefix and start as typed
  int count = 32;            // bits (bit area) or words (word area)
  int period_ms = 1000;
  int area = 0;              // device area index 0..7
  int start = 1;             // first address within the area, 1-based

  void* tree_item = nullptr;  // editor only: this block's item in the tree
};

}  // namespace dravik
