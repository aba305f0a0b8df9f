// CCommPortPage: tab page 1 of the configuration dialog. Shows the port
// settings, lets the user choose port, baud rate and RTS/CTS, and keeps its
// own copy of the values with a changed flag. Owned by CConfigDlg; user-
// interface thread only.
#pragma once

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
  // Any user change of a list selection, radio button or check box.
  void OnControlChanged() { changed_ = 1; }

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

  IControlView* view_ = nullptr;
  CConfigDlg* owner_ = nullptr;
  int changed_ = 0;
  // Set when the page first becomes visible. Before that the user cannot
  // have touched the controls, and a stored value that has no entry or
  // radio button (say baud index 9) must not come back as -1.
  bool shown_ = false;
};

}  // namespace dravik
