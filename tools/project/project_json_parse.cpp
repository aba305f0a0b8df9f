// Turning JSON text into a document for the import. The text is walked once
// before it is built, to refuse what the built document could no longer tell
// (a key given twice) or what building it could not survive (nesting without
// end).
#include <cstddef>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/text_encoding.h"
#include "tools/project/project_json.h"
#include "tools/project/project_json_internal.h"

namespace dravik::project {

namespace {

using internal::Quote;

// Walks the JSON text once before it is built, for what the built document
// can no longer tell:
// - a key given twice in one object, which the parser would settle in
//   silence by keeping the last; refused, naming the key and where it is, as
//   a JSON path ($.stations[2].blocks[0], counting from 0);
// - nesting deeper than kMaxJsonDepth. A value at depth d (the top level's
//   members at 1) beyond the limit stops the walk, so the walk's own stack of
//   open objects and arrays stays bounded too.
// Syntax errors come with the parser's own message.
class JsonCheck : public nlohmann::json_sax<Json> {
 public:
  bool null() override { return Value(); }
  bool boolean(bool) override { return Value(); }
  bool number_integer(number_integer_t) override { return Value(); }
  bool number_unsigned(number_unsigned_t) override { return Value(); }
  bool number_float(number_float_t, const string_t&) override { return Value(); }
  bool string(string_t&) override { return Value(); }
  bool binary(binary_t&) override { return Value(); }
  bool start_object(std::size_t) override { return Open(true); }
  bool start_array(std::size_t) override { return Open(false); }
  bool end_object() override { return Close(); }
  bool end_array() override { return Close(); }

  bool key(string_t& key) override {
    if (!Deep()) return false;
    Frame& frame = frames_.back();
    if (!frame.keys.insert(key).second) {
      error_ = "the key " + Quote(key) + " is given twice in " + Path() +
               " (each key of an object is given once)";
      return false;
    }
    frame.key = key;
    return true;
  }

  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) override {
    error_ = EchoText(e.what(), kParserMessageBytes);
    return false;
  }

  const std::string& error() const { return error_; }

 private:
  // The parser's messages quote the text they stopped at: cut, but later.
  static constexpr size_t kParserMessageBytes = 200;

  struct Frame {
    bool object = false;
    std::unordered_set<std::string> keys;  // an object's keys so far
    std::string key;                       // an object's current key
    size_t items = 0;                      // an array's items so far
  };

  // False once the depth is beyond the limit (the depth counts the open
  // objects and arrays around the value).
  bool Deep() {
    if (frames_.size() <= static_cast<size_t>(kMaxJsonDepth)) return true;
    error_ =
        "arrays and objects are nested deeper than " + std::to_string(kMaxJsonDepth) + " levels";
    return false;
  }
  bool Value() {
    if (!frames_.empty() && !frames_.back().object) ++frames_.back().items;
    return Deep();
  }
  bool Open(bool object) {
    if (!Value()) return false;
    frames_.emplace_back();
    frames_.back().object = object;
    return true;
  }
  bool Close() {
    frames_.pop_back();
    return true;
  }
  // Where the innermost open object or array sits.
  std::string Path() const {
    std::string path = "$";
    for (size_t i = 0; i + 1 < frames_.size(); ++i) {
      path += frames_[i].object ? "." + EchoText(frames_[i].key)
                                : "[" + std::to_string(frames_[i].items - 1) + "]";
    }
    return path;
  }

  std::vector<Frame> frames_;
  std::string error_;
};

}  // namespace

bool ParseProjectJson(std::string_view text, Json* json, std::string* error) {
  // Checked first, then built: the walk refuses what building would hide (a
  // key given twice) or could not survive (nesting without end).
  JsonCheck check;
  if (!Json::sax_parse(text.begin(), text.end(), &check)) {
    *error = check.error();
    return false;
  }
  try {
    *json = Json::parse(text.begin(), text.end());
  } catch (const Json::exception& e) {
    *error = EchoText(e.what());
    return false;
  }
  return true;
}

}  // namespace dravik::project
