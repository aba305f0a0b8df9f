// CEngineBase: what the document knows of its run-time engine. The document
// owns the engine through this base and deletes it without knowing the
// runtime; the engine's destructor stops its threads before anything else.
#pragma once

namespace dravik {

class CEngineBase {
 public:
  virtual ~CEngineBase() = default;
};

}  // namespace dravik
