// LineSettingsFile: the settings of one serial line beyond the project file,
// read from an INI file when communication is prepared. The engine reads it
// once per preparation on the host's thread and keeps the result; nothing
// else reads the file. Every setting defaults to the line's plain behaviour.
//
// File: /etc/draviknet/draviknet.conf, or $DRAVIKNET_CONFIG when set; parsed
// with libinih. One section per port, named as the port is (COM1, COM2, ...):
//
//   key              value                       default  meaning
//   demote_after     0..1000 (0 = off)           0        failures in a row after
//                                                         which a station is skipped
//   demote_seconds   1..86400                    10       how long it is skipped
//   probe_timeout_ms 50..3000                    1000     how long the probe of a
//                                                         demoted station waits
//
// Comments start with ';' or '#' at the start of a line, ';' after a value.
// A line must fit libinih's own line buffer (200 bytes in Debian's build);
// a longer line, or one holding a NUL byte, is refused by its number.
// A missing file is no error. An unreadable or malformed file, an unknown key
// or a section that names no port gets one log line (file, line, problem) and
// the whole file is then ignored: the line runs with the defaults.
#pragma once

#include <string>

namespace dravik {

struct DemotionSettings {
  int after = 0;     // failures in a row; 0 = demotion off
  int seconds = 10;  // how long a demoted station is skipped
  // How long the probe of a demoted station waits for its reply. A PLC that
  // answers at all answers in tens of milliseconds; a silent one would
  // otherwise cost the live stations the full receive time-out every probe.
  int probe_timeout_ms = 1000;
};

struct LineSettingsFile {
  DemotionSettings demotion;
  // How long a station's data counts as fresh after its last good read, for
  // dravik-host's faces; 0: learnt from the line's own cycle. The driver
  // itself does not use it.
  int stale_after_ms = 0;
};

// The file's path: $DRAVIKNET_CONFIG when set and not empty, else the system's.
std::string LineSettingsPath();

// Reads the settings of `port` ("COMn") from `path`. On a problem, *problem
// is set to one line naming the file, the line (0 for the file as a whole)
// and what is wrong, and the defaults are returned.
LineSettingsFile ReadLineSettings(const std::string& path, const std::string& port,
                                  std::string* problem);

// ReadLineSettings on LineSettingsPath(), logging the problem (flags 0).
LineSettingsFile LoadLineSettings(const std::string& port);

}  // namespace dravik
