// The editor's string table, 2700..2710: validation errors and questions.
// Registered with the host's error box when the driver (or the editor library)
// loads, so CTarselError::ErrMsg can show them by number.
#pragma once

namespace dravik {

constexpr int kFirstEditorString = 2700;
constexpr int kLastEditorString = 2710;

// The text for `id`, or null outside 2700..2710.
const char* EditorString(int id);
void RegisterEditorStrings();
void UnregisterEditorStrings();

}  // namespace dravik
