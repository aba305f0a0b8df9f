// CHexSpinCtrl: the spin beside the station number field. Its only state is
// the buddy field's text: each step reads the text as a hexadecimal number,
// adds the step, clamps it to the range and writes it back zero-padded.
// Owned by the station dialog; user-interface thread only.
#pragma once

#include <string>

#include "editor/editor_views.h"

namespace dravik {

class CHexSpinCtrl {
 public:
  // The spin works on control `buddy_id` of `view`.
  void Attach(IControlView* view, int buddy_id);
  void SetRange(int lower, int upper);
  int Lower() const { return lower_; }
  int Upper() const { return upper_; }

  // One step (+1 or -1) from an arrow click or an arrow key. Returns 1: the
  // step is handled here, the spin's own position never moves.
  int OnDeltaPos(int delta);

  // The text the buddy shows after one step from `text`.
  static std::string StepText(const std::string& text, int lower, int upper, int delta);
  // 2, 4 or 8 hexadecimal digits for the range's upper bound.
  static int DigitWidth(int upper);

 private:
  IControlView* view_ = nullptr;
  int buddy_id_ = 0;
  int lower_ = 0;
  int upper_ = 100;
};

}  // namespace dravik
