#include "editor/comm_port_page.h"

#include <cstdio>

#include "editor/config_dlg.h"
#include "model/serial_port.h"

namespace dravik {

const char* const CCommPortPage::kBaudEntries[7] = {"  300", "  600", " 1200", " 2400",
                                                    " 4800", " 9600", "19200"};

namespace {
// A radio group: the index of the checked button, -1 when none is.
int GetRadio(IControlView* view, int first_id, int count) {
  for (int i = 0; i < count; ++i) {
    if (view->GetCheck(first_id + i)) return i;
  }
  return -1;
}

void SetRadio(IControlView* view, int first_id, int count, int index) {
  for (int i = 0; i < count; ++i) view->SetCheck(first_id + i, i == index ? 1 : 0);
}
}  // namespace

void CCommPortPage::LoadSettings(CConfigDlg* owner, const CSerialPort& settings) {
  owner_ = owner;
  changed_ = 0;
  port_index = settings.port;
  baud_index = settings.baud;
  parity_index = settings.parity;
  data_bits_index = settings.data_bits;
  stop_bits_index = settings.stop_bits;
  checksum = (settings.options & CSerialPort::kUseChecksum) ? 1 : 0;
  rts_cts = (settings.options & CSerialPort::kRtsCts) ? 1 : 0;
}

void CCommPortPage::StoreSettings(CSerialPort& settings) {
  if (view_ && shown_) GetControls();
  settings.port = port_index;
  settings.baud = baud_index;
  settings.parity = parity_index;
  settings.data_bits = data_bits_index;
  settings.stop_bits = stop_bits_index;
  uint32_t options = settings.options & ~(CSerialPort::kUseChecksum | CSerialPort::kRtsCts);
  if (checksum) options |= CSerialPort::kUseChecksum;
  if (rts_cts) options |= CSerialPort::kRtsCts;
  settings.options = options;
}

void CCommPortPage::PutControls() {
  view_->SetCurSel(kIdPortList, port_index);
  view_->SetCurSel(kIdBaudList, baud_index);
  SetRadio(view_, kIdParityNone, 3, parity_index);
  SetRadio(view_, kIdDataBits7, 2, data_bits_index);
  SetRadio(view_, kIdStopBits1, 2, stop_bits_index);
  view_->SetCheck(kIdChecksum, checksum);
  view_->SetCheck(kIdRtsCts, rts_cts);
}

void CCommPortPage::GetControls() {
  port_index = view_->GetCurSel(kIdPortList);
  baud_index = view_->GetCurSel(kIdBaudList);
  parity_index = GetRadio(view_, kIdParityNone, 3);
  data_bits_index = GetRadio(view_, kIdDataBits7, 2);
  stop_bits_index = GetRadio(view_, kIdStopBits1, 2);
  checksum = view_->GetCheck(kIdChecksum) ? 1 : 0;
  rts_cts = view_->GetCheck(kIdRtsCts) ? 1 : 0;
}

void CCommPortPage::OnInitDialog(IControlView* view) {
  view_ = view;
  if (view_ == nullptr) return;
  PutControls();
  for (int n = 1; n <= kPortCount; ++n) {
    char entry[16];
    std::snprintf(entry, sizeof entry, "COM%d", n);
    view_->AddString(kIdPortList, entry);
  }
  view_->SetCurSel(kIdPortList, port_index);
  RememberControls();
}

int CCommPortPage::ReadControl(int id) const {
  if (id == kIdPortList || id == kIdBaudList) return view_->GetCurSel(id);
  return view_->GetCheck(id);
}

void CCommPortPage::RememberControls() {
  for (size_t i = 0; i < kTrackedIds.size(); ++i) shown_values_[i] = ReadControl(kTrackedIds[i]);
}

void CCommPortPage::OnControlChanged(int id) {
  if (view_ == nullptr) return;
  for (size_t i = 0; i < kTrackedIds.size(); ++i) {
    if (kTrackedIds[i] != id) continue;
    if (ReadControl(id) == shown_values_[i]) return;
    changed_ = 1;
    // A radio button also unchecks its neighbour: take every control anew.
    RememberControls();
    return;
  }
}

void CCommPortPage::OnShow(bool visible) {
  if (!visible) return;
  shown_ = true;
  if (owner_ == nullptr) return;
  owner_->EnableButton(kIdEdit, false);
  owner_->EnableButton(kIdDelete, false);
  owner_->EnableButton(kIdAddStation, false);
  owner_->EnableButton(kIdAddBlock, false);
}

}  // namespace dravik
