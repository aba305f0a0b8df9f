// Whole-file reads and replace-on-success writes for the project file. A read
// refuses files above a size limit instead of allocating for them; a write
// goes to a temporary file beside the target and is renamed over it only once
// every byte is on disk, so a failed save never leaves a half-written file.
// Stateless; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace dravik {

bool FileExists(const std::string& path);
bool ReadWholeFile(const std::string& path, size_t max_bytes, std::vector<uint8_t>* bytes,
                   std::string* error);
bool WriteFileReplacing(const std::string& path, const std::vector<uint8_t>& bytes,
                        std::string* error);

}  // namespace dravik
