// The plain topic scheme of the MQTT session: its topic names, the checks of
// the names a line brings (prefix, tags, stations), the broker URL and the
// payloads it publishes and takes. Pure functions, any thread.
//
// Topics, all under the prefix (default draviknet/<project file stem>), QoS 1:
//
// clang-format off
// | Topic               | Payload                                           | Retained | When                           |
// |---------------------|---------------------------------------------------|----------|--------------------------------|
// | status              | online / offline (offline is also the will);     | yes      | connect, clean stop, loss      |
// |                     | it overrides every station state: offline means   |          |                                |
// |                     | nothing below is current                          |          |                                |
// | status/client       | the MQTT client id of the gateway that is online  | yes      | connect                        |
// | tag/<TAG>           | {"value": 42 | "text" | null, "ts": <ms epoch>,   | yes      | every value from the driver,   |
// |                     |  "station": "PLC1", "quality": "good"|"stale"};   |          | and every tag of a station     |
// |                     | stale while the station is not ok (failing,       |          | whose quality changed (within  |
// |                     | demoted, disabled, no port); value and ts stay    |          | 1 s of the change)             |
// |                     | those of the last delivery (null before any)      |          |                                |
// |                     | --mqtt-payload plain: the bare value text         |          |                                |
// | tag/<TAG>/quality   | plain payload only: good / stale                  | yes      | as the JSON quality            |
// | station/<S>/state   | {"state": "ok"|"failing"|"demoted"|"disabled"|    | yes      | a change of state, and every   |
// |                     |  "no_port", "port": "open"|"not_open"|"lost",     |          | --mqtt-stats-seconds (10)      |
// |                     |  "reads_sent", "reads_failed", "writes_sent",     |          |                                |
// |                     |  "writes_failed", "writes_refused"}               |          |                                |
// | log                 | {"flags": 258, "text": "...", "ts": <ms epoch>};  | no       | every driver log line, and     |
// |                     | the bridge's own errors have bit 8 (0x100) clear  |          | the bridge's own errors        |
// |                     | and name the tag in "tag"                         |          |                                |
// | tag/<TAG>/set (in)  | 42, "text", text, or {"value": 42, "id": "abc"};  |          | subscribed with --mqtt-writes  |
// |                     | a message delivered retained is never written     |          |                                |
// | tag/<TAG>/set/result| {"ok": true|false, "value": ..., "reason": "...", | no       | once per set message: when the |
// |                     |  "ts": <ms epoch>, "id": <as in the request>}     |          | PLC acknowledged it, or why not|
// clang-format on
//
// State words: "failing" is the driver's message 16 (five failures in a row)
// until message 17; an isolated failure leaves a station "ok" and shows only
// in the counters (station_states.h).
//
// Connecting: after every (re)connect the bridge reads the retained status
// and status/client first. Another client's "online" there means another
// gateway runs on this prefix: at the first connect the gateway refuses to
// start (unless --mqtt-takeover), later it has been taken over; either way it
// stops with exit status 2 and publishes nothing. Otherwise it clears, at the
// first connect, the retained tag topics of tags no longer in the list, then
// publishes status online, the last value of every tag that has one and every
// station's state, so that the broker's retained view is whole again.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "gateway/line/line_face.h"

namespace dravik::host {

struct BrokerAddress {
  bool tls = false;
  std::string host;
  int port = 0;
};

// mqtt://host[:port] (1883) or mqtts://host[:port] (8883).
bool ParseBrokerUrl(const std::string& url, BrokerAddress* address, std::string* error);

// "draviknet/" + the project's file name without folder and extension.
std::string DefaultPrefix(const std::string& project_path);

// "draviknet-<host name>-<process id>": one per running gateway.
std::string DefaultClientId();

// Why a broker URL holds a secret ("user:password@" before the host), or "".
// The URL itself is never echoed, as it holds the password.
std::string UrlSecretProblem(const std::string& url);

// Whether `text` is UTF-8 as MQTT takes it in topics and strings.
bool IsValidUtf8(const std::string& text);

// Why `name` cannot be one topic level (empty, '/', '+', '#', NUL, a tab or
// other control character, not UTF-8), or "" when it can.
std::string TopicLevelProblem(const std::string& name);

// Every name (tags, stations) and the prefix checked; one line per problem.
std::vector<std::string> CheckTopicNames(const std::string& prefix,
                                         const std::vector<std::string>& tags,
                                         const std::vector<std::string>& stations);

// A tag's record; `ts_ms` 0 is a tag that has no value yet (ts null).
// `buffered`: a change kept while the broker was away ("buffered": true).
std::string ValuePayload(const TagValue& value, int64_t ts_ms, bool plain,
                         const std::string& station = "", const char* quality = "good",
                         bool buffered = false);
std::string StatePayload(const StationReport& report);
std::string LogPayload(int flags, const std::string& text, int64_t ts_ms, const std::string& tag);

// A set payload turned into the text the write command takes: a JSON number
// or string, bare or as {"value": ..., "id": ...}, or any other text taken as
// it is. `id` (may be null) gets the request's id, a string or a number.
// False with the reason when the payload can't be a value.
bool ParseSetPayload(const std::string& payload, std::string* value_text, std::string* error,
                     Json* id = nullptr, Json* value = nullptr);

// What a message on tag/<TAG>/set asks, decided before anything is written.
struct SetDecision {
  enum class Kind { kIgnore, kRefuse, kWrite };
  Kind kind = Kind::kIgnore;
  std::string reason;      // kRefuse: what the asker is told
  std::string value_text;  // kWrite: the write command's text
  Json id, value;          // as the request gave them, for its result
};
// The rules in their order: an empty payload (a retained set cleared) is no
// request; a retained set is never written; then an unknown tag, a read-only
// one, and a payload that can't be a value are refused. `tags` and
// `writable` are in host tag id order.
SetDecision DecideSet(const std::string& tag, const std::string& payload, bool retained,
                      const std::vector<std::string>& tags, const std::vector<bool>& writable);

std::string ResultPayload(bool ok, const Json& value, const std::string& reason, int64_t ts_ms,
                          const Json& id);

}  // namespace dravik::host
