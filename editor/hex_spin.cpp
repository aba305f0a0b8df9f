#include "editor/hex_spin.h"

#include <cstdint>
#include <cstdio>

#include "model/device_areas.h"

namespace dravik {

void CHexSpinCtrl::Attach(IControlView* view, int buddy_id) {
  view_ = view;
  buddy_id_ = buddy_id;
}

void CHexSpinCtrl::SetRange(int lower, int upper) {
  lower_ = lower;
  upper_ = upper;
}

int CHexSpinCtrl::DigitWidth(int upper) {
  int width = 2;
  if (upper > 255) width = 4;
  if (upper > 65535) width = 8;
  return width;
}

std::string CHexSpinCtrl::StepText(const std::string& text, int lower, int upper, int delta) {
  uint32_t parsed = 0;
  if (!ReadUnsigned(text, 16, &parsed)) parsed = 0;
  // Wrap-around arithmetic in 32 bits, as the original's int did.
  int value = static_cast<int>(parsed + static_cast<uint32_t>(delta));
  if (value > upper) {
    value = upper;
  } else if (value < lower) {
    value = lower;
  }
  char format[16];
  std::snprintf(format, sizeof format, "%%0%dX", DigitWidth(upper));
  char out[16];
  std::snprintf(out, sizeof out, format, static_cast<unsigned>(value));
  return out;
}

int CHexSpinCtrl::OnDeltaPos(int delta) {
  if (view_ == nullptr) return 1;
  view_->SetText(buddy_id_, StepText(view_->GetText(buddy_id_), lower_, upper_, delta));
  return 1;
}

}  // namespace dravik
