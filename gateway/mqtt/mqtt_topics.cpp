#include "gateway/mqtt/mqtt_topics.h"

#include <mosquitto.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>

#include "gateway/line/line_session.h"
#include "gateway/line/output.h"

namespace dravik::host {
namespace {

bool ParsePort(const std::string& text, int* port) {
  if (text.empty() || text.size() > 5) return false;
  int v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (v < 1 || v > 65535) return false;
  *port = v;
  return true;
}

}  // namespace

bool ParseBrokerUrl(const std::string& url, BrokerAddress* address, std::string* error) {
  std::string rest;
  if (url.rfind("mqtt://", 0) == 0) {
    address->tls = false;
    address->port = 1883;
    rest = url.substr(7);
  } else if (url.rfind("mqtts://", 0) == 0) {
    address->tls = true;
    address->port = 8883;
    rest = url.substr(8);
  } else {
    *error = "broker URL \"" + url + "\" must start with mqtt:// or mqtts://";
    return false;
  }
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  std::string host = rest;
  if (!rest.empty() && rest.front() == '[') {  // [IPv6]:port
    const size_t close = rest.find(']');
    if (close == std::string::npos) {
      *error = "broker URL \"" + url + "\": unclosed [ in the host";
      return false;
    }
    host = rest.substr(1, close - 1);
    const std::string after = rest.substr(close + 1);
    if (!after.empty() && (after[0] != ':' || !ParsePort(after.substr(1), &address->port))) {
      *error = "broker URL \"" + url + "\": bad port \"" + after + "\"";
      return false;
    }
  } else if (const size_t colon = rest.rfind(':'); colon != std::string::npos) {
    host = rest.substr(0, colon);
    if (!ParsePort(rest.substr(colon + 1), &address->port)) {
      *error = "broker URL \"" + url + "\": port \"" + rest.substr(colon + 1) +
               "\" is not a number 1..65535";
      return false;
    }
  }
  if (host.empty() || host.find_first_of("/@?# ") != std::string::npos) {
    *error = "broker URL \"" + url + "\" needs a host name (mqtt://host[:port])";
    return false;
  }
  address->host = host;
  return true;
}

std::string DefaultPrefix(const std::string& project_path) {
  return "draviknet/" + LineName(project_path);
}

std::string DefaultClientId() {
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') std::strncpy(host, "host", 5);
  std::string name = host;
  for (char& c : name) {
    if (c == '/' || c == '+' || c == '#' || static_cast<unsigned char>(c) < 0x20) c = '_';
  }
  return "draviknet-" + name + "-" + std::to_string(::getpid());
}

std::string UrlSecretProblem(const std::string& url) {
  const size_t scheme = url.find("://");
  const size_t start = scheme == std::string::npos ? 0 : scheme + 3;
  const size_t end = url.find_first_of("/?#", start);
  const std::string authority = url.substr(start, end == std::string::npos ? end : end - start);
  if (authority.find('@') == std::string::npos) return "";
  return "the broker URL holds a user name or password before '@'; it is not shown, and a "
         "password is never taken from the command line (other users can read it there): give "
         "mqtt://host[:port] with --mqtt-user NAME and --mqtt-password-file FILE or "
         "DRAVIKNET_MQTT_PASSWORD";
}

bool IsValidUtf8(const std::string& text) {
  return mosquitto_validate_utf8(text.data(), static_cast<int>(text.size())) == MOSQ_ERR_SUCCESS;
}

std::string TopicLevelProblem(const std::string& name) {
  if (name.empty()) return "it is empty";
  if (name.find('\0') != std::string::npos) return "it holds a NUL byte";
  if (name.find('/') != std::string::npos) return "it holds '/'";
  if (name.find('+') != std::string::npos) return "it holds '+'";
  if (name.find('#') != std::string::npos) return "it holds '#'";
  for (const char c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) {
      char text[64];
      std::snprintf(text, sizeof text, "it holds a control character (0x%02X%s)", u,
                    u == '\t' ? ", a tab" : "");
      return text;
    }
  }
  if (!IsValidUtf8(name)) {
    return "it is not valid UTF-8";
  }
  return "";
}

std::vector<std::string> CheckTopicNames(const std::string& prefix,
                                         const std::vector<std::string>& tags,
                                         const std::vector<std::string>& stations) {
  std::vector<std::string> problems;
  if (prefix.empty() || prefix.front() == '/' || prefix.back() == '/' ||
      prefix.find("//") != std::string::npos ||
      prefix.find_first_of(std::string("+#\0", 3)) != std::string::npos ||
      mosquitto_pub_topic_check(prefix.c_str()) != MOSQ_ERR_SUCCESS) {
    problems.push_back("the topic prefix \"" + prefix +
                       "\" is not a topic (levels joined by '/', none empty, no '+' or '#'); "
                       "give another with --mqtt-prefix");
  }
  for (const auto& tag : tags) {
    const std::string why = TopicLevelProblem(tag);
    if (!why.empty()) {
      problems.push_back("tag \"" + tag + "\" cannot be an MQTT topic level: " + why);
    }
  }
  for (const auto& station : stations) {
    const std::string why = TopicLevelProblem(station);
    if (!why.empty()) {
      problems.push_back("station \"" + station + "\" cannot be an MQTT topic level: " + why);
    }
  }
  return problems;
}

std::string ValuePayload(const TagValue& value, int64_t ts_ms, bool plain,
                         const std::string& station, const char* quality, bool buffered) {
  if (plain) {
    switch (value.kind) {
      case TagValue::Kind::kNone:
        return "null";
      case TagValue::Kind::kNumber:
        return FormatNumber(value.number);
      case TagValue::Kind::kText:
        return value.text;
    }
  }
  Json record;
  switch (value.kind) {
    case TagValue::Kind::kNone:
      record["value"] = nullptr;
      break;
    case TagValue::Kind::kNumber:
      record["value"] = NumberJson(value.number);
      break;
    case TagValue::Kind::kText:
      record["value"] = value.text;
      break;
  }
  record["ts"] = ts_ms == 0 ? Json(nullptr) : Json(ts_ms);
  record["station"] = station;
  record["quality"] = quality;
  if (buffered) record["buffered"] = true;
  return Dump(record);
}

std::string StatePayload(const StationReport& report) {
  return Dump(Json{{"state", report.state},
                   {"port", report.port},
                   {"reads_sent", report.reads_sent},
                   {"reads_failed", report.reads_failed},
                   {"writes_sent", report.writes_sent},
                   {"writes_failed", report.writes_failed},
                   {"writes_refused", report.writes_refused}});
}

std::string ResultPayload(bool ok, const Json& value, const std::string& reason, int64_t ts_ms,
                          const Json& id) {
  Json record{{"ok", ok}, {"value", value}, {"reason", reason}, {"ts", ts_ms}};
  if (!id.is_null()) record["id"] = id;
  return Dump(record);
}

std::string LogPayload(int flags, const std::string& text, int64_t ts_ms, const std::string& tag) {
  Json record{{"flags", flags}, {"text", text}, {"ts", ts_ms}};
  if (!tag.empty()) record["tag"] = tag;
  return Dump(record);
}

bool ParseSetPayload(const std::string& payload, std::string* value_text, std::string* error,
                     Json* id, Json* value_out) {
  if (payload.empty()) {
    *error = "the payload is empty";
    return false;
  }
  if (payload.find('\0') != std::string::npos) {
    *error = "the payload holds a NUL byte";
    return false;
  }
  // A key given twice would silently take its last value: refused instead.
  std::string twice;
  std::map<std::string, int> top_keys;
  const Json json = Json::parse(
      payload,
      [&](int depth, Json::parse_event_t event, Json& parsed) {
        if (event == Json::parse_event_t::key && depth == 1 && parsed.is_string() &&
            ++top_keys[parsed.get<std::string>()] == 2) {
          twice = parsed.get<std::string>();
        }
        return true;
      },
      false);
  if (json.is_discarded()) {  // not JSON: bare text, taken as it is
    *value_text = payload;
    if (value_out != nullptr) *value_out = payload;
    return true;
  }
  const Json* value = &json;
  if (json.is_object()) {
    const bool has_id = json.contains("id");
    if (json.size() != (has_id ? 2u : 1u) || !json.contains("value")) {
      *error = "a JSON payload must be {\"value\": ...} with at most an \"id\" beside it";
      return false;
    }
    if (has_id) {
      const Json& given = json["id"];
      if (!given.is_string() && !given.is_number()) {
        *error = "the \"id\" must be a string or a number";
        return false;
      }
      if (id != nullptr) *id = given;
    }
    value = &json["value"];
  }
  if (!twice.empty()) {
    *error = "the JSON payload gives \"" + twice + "\" twice";
    return false;
  }
  if (value_out != nullptr) *value_out = *value;
  if (value->is_number()) {
    *value_text = value->dump();
  } else if (value->is_boolean()) {
    *value_text = value->get<bool>() ? "true" : "false";  // a bit tag takes them
  } else if (value->is_string()) {
    *value_text = value->get<std::string>();
  } else {
    *error = "the value must be a number, true, false or a string";
    return false;
  }
  if (value_text->empty()) {
    *error = "the value is empty";
    return false;
  }
  return true;
}

SetDecision DecideSet(const std::string& tag, const std::string& payload, bool retained,
                      const std::vector<std::string>& tags, const std::vector<bool>& writable) {
  SetDecision d;
  // An empty message is how a retained set is cleared from the broker: no
  // request, so nothing to answer.
  if (payload.empty()) return d;
  std::string why;
  const bool parsed = ParseSetPayload(payload, &d.value_text, &why, &d.id, &d.value);
  d.kind = SetDecision::Kind::kRefuse;
  // A retained set is the broker replaying an old request at every
  // (re)connect: writing it would switch a PLC output nobody asked for now.
  if (retained) {
    d.reason =
        "the set message was retained by the broker, and a retained set is never written "
        "(publish set without the retain flag)";
    return d;
  }
  size_t index = tags.size();
  for (size_t i = 0; i < tags.size(); ++i) {
    if (tags[i] == tag) index = i;
  }
  if (index == tags.size()) {
    d.reason = "no tag of that name in the tag list";
  } else if (index >= writable.size() || !writable[index]) {
    d.reason = "the tag is read-only (access r in the tag list)";
  } else if (!parsed) {
    d.reason = why;
  } else {
    d.kind = SetDecision::Kind::kWrite;
  }
  return d;
}

}  // namespace dravik::host
