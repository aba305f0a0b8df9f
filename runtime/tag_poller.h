// CTagPoller: polls one host tag whose address lies in no communication block,
// once per polling cycle. Created by tag binding on the host's thread (under
// the engine's structure lock); polled only by the scheduler thread.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "model/station_info.h"
#include "model/tag_binding.h"
#include "runtime/line_context.h"
#include "runtime/read_request.h"

namespace dravik {

class CTagPoller {
 public:
  CTagPoller(const LineContext& line, CStationInfoDVK* station, int area, uint32_t address,
             const TagBinding& binding);

  // Words (or one bit) this tag reads: 1 for a bit tag, else L/2 rounded up
  // (at least 1, so an 8-bit tag in a register still reads its word).
  static int CountFor(const TagBinding& binding);

  void BuildRequest();
  bool HasRequest() const { return request_.length > 0; }
  void Poll();
  void DispatchChanges(const std::array<uint8_t, kDataImageBytes>& image);
  void ResetState() { has_previous_ = 0; }

  CStationInfoDVK* Station() const { return station_; }
  int Area() const { return area_; }
  uint32_t Address() const { return address_; }
  int Count() const { return count_; }
  const TagBinding& Binding() const { return binding_; }
  // An exchange status tag: told the result of every exchange of this poller.
  void AddStatusBinding(const TagBinding& binding) { status_bindings_.push_back(binding); }

 private:
  const LineContext& line_;  // the engine's, which outlives this
  CStationInfoDVK* station_;
  std::array<uint8_t, kDataImageBytes> previous_{};
  int area_;
  uint32_t address_;
  int count_;
  TagBinding binding_;
  std::vector<TagBinding> status_bindings_;
  ReadRequest request_;
  int has_previous_ = 0;
  std::array<uint8_t, kReplyBufferBytes> reply_{};
  std::string detail_;
};

}  // namespace dravik
