// The status page's HTML, CSS and script (http_page.html), built into the
// program by cmake/embed_file.cmake so that nothing is read or fetched at run
// time. Constant; any thread.
#pragma once

#include <cstddef>

namespace dravik::host {

extern const char kStatusPage[];
extern const size_t kStatusPageSize;

}  // namespace dravik::host
