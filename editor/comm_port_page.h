// CCommPortPage: tab page 1 of the configuration dialog. Shows the port
// settings, lets the user choose port, baud rate and RTS/CTS, and keeps its
// own copy of the values with a changed flag. Owned by CConfigDlg; user-
// interface thread only.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "editor/editor_views.h"

namespace dravik {

class CConfigDlg;
class CSerialPort;

class CCommPortPage {
 public:
  static constexpr const char* kClassName = "CCommPortPage";
  static constexpr const char* kCaption = "통신포트";
  static constexpr int kPortCount = 256;

  // The baud list's entries, right-aligned to five characters.
  static const char* const kBaudEntries[7];

  // Takes the owner and the settings; clears the changed flag. May come
  // before the page window exists.
  void LoadSettings(CConfigDlg* owner, const CSerialPort& settings);
  // Reads the controls (once the page has been shown) and writes the values
  // back, leaving option bits other than checksum and RTS/CTS as they were.
  void StoreSettings(CSerialPort& settings);

  // The page window exists: put the values into the controls and fill the
  // port list.
  void OnInitDialog(IControlView* view);
  void OnShow(bool visible);
  // The user acted on list `id` (9013, 9014), a radio button or a check
  // box. Only a real change sets the changed flag: choosing the entry that
  // was already selected, or clicking the radio button that was already
  // checked, leaves it as it was.
  void OnControlChanged(int id);

  int Changed() const { return changed_; }
  void ClearChanged() { changed_ = 0; }

  int port_index = -1;
  int baud_index = -1;
  int parity_index = -1;
  int data_bits_index = -1;
  int stop_bits_index = -1;
  int checksum = 0;
  int rts_cts = 0;

 private:
  void PutControls();
  void GetControls();
  int ReadControl(int id) const;
  void RememberControls();

  // The controls that report user changes, and what each showed after the
  // last change (or after the page was created).
  static constexpr std::array<int, 11> kTrackedIds = {
      kIdPortList,  kIdBaudList,  kIdParityNone, kIdParityEven, kIdParityOdd, kIdDataBits7,
      kIdDataBits8, kIdStopBits1, kIdStopBits2,  kIdChecksum,   kIdRtsCts};
  std::array<int, kTrackedIds.size()> shown_values_{};

  IControlView* view_ = nullptr;
  CConfigDlg* owner_ = nullptr;
  int changed_ = 0;
  // Set when the page first becomes visible. Before that the user cannot
  // have touched the controls, and a stored value that has no entry or
  // radio button (say baud index 9) must not come back as -1.
  bool shown_ = false;
};

}  // namespace dravik
