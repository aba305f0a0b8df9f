// `dravik-host run`: the composition root. It builds the line session and
// the faces the options ask for (the terminal always; MQTT with its plain
// topics or Sparkplug B; the status page), wires each face to the session
// through its own FaceQueue, runs the line and takes it all down again in
// order. No protocol code lives here.
#pragma once

#include "tools/host/command_line.h"

namespace dravik::host {

// Returns the exit status.
int Run(const RunOptions& o);

}  // namespace dravik::host
