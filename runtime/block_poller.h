// CBlockPoller: polls one communication block — at most once per block period
// it reads the block's whole range, keeps the data image and posts an event
// for every bound tag whose data changed. Created by the engine on the host's
// thread; polled only by the scheduler thread. Bindings are appended on the
// host's thread under the engine's structure lock, which the scheduler holds
// (shared) while it polls.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "model/comm_block.h"
#include "model/station_info.h"
#include "model/tag_binding.h"
#include "runtime/line_context.h"
#include "runtime/read_request.h"

namespace dravik {

class CBlockPoller {
 public:
  // A bit block larger than one request's count byte is read in chunks.
  static constexpr int kMaxChunks = 2;

  CBlockPoller(const LineContext& line, CStationInfoDVK* station, const CCommBlockDVK* block);

  // Builds the read request(s). False, with `why` set, when the block cannot
  // be polled (its data does not fit the image, or its area or count is
  // invalid); such a poller never polls and takes no tags.
  bool BuildRequest(std::string* why);
  bool IsUsable() const { return chunk_count_ > 0; }

  void Poll();
  void DispatchChanges(const std::array<uint8_t, kDataImageBytes>& image);
  // Start: forget the previous data and the last poll time.
  void ResetState() {
    has_previous_ = 0;
    last_poll_tick_ = 0;
  }

  // True when the tag [address, end) lies in this block (same station, area).
  bool Holds(const CStationInfoDVK* station, int area, uint32_t address, uint32_t end) const;
  // Appends a binding; returns its index.
  int AddBinding(const TagBinding& binding);
  // An exchange status tag: told the result of every exchange of this block.
  void AddStatusBinding(const TagBinding& binding) { status_bindings_.push_back(binding); }

  CStationInfoDVK* Station() const { return station_; }
  const CCommBlockDVK* Block() const { return block_; }
  const std::vector<TagBinding>& Bindings() const { return bindings_; }

 private:
  // Chunk k covers bits/words [first, first + count) of the block.
  struct Chunk {
    ReadRequest request;
    int first = 0;
    int count = 0;
  };
  int ImageWordsFilled() const;
  int ExchangeAll(std::array<uint8_t, kDataImageBytes>& image);

  const LineContext& line_;  // the engine's, which outlives this
  CStationInfoDVK* station_;
  const CCommBlockDVK* block_;
  int has_previous_ = 0;
  uint32_t last_poll_tick_ = 0;
  std::array<uint8_t, kDataImageBytes> previous_{};
  std::vector<TagBinding> bindings_;
  std::vector<TagBinding> status_bindings_;
  std::array<Chunk, kMaxChunks> chunks_{};
  int chunk_count_ = 0;
  std::array<uint8_t, kReplyBufferBytes> reply_{};
  std::string detail_;
};

}  // namespace dravik
