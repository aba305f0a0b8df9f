// A topic scheme for the MQTT session other than its plain topics (the
// Sparkplug B node, gateway/sparkplug/). The bridge keeps the connection, the
// back-off and the bounded pending tables; when a scheme is set it asks the
// scheme for the will, the subscriptions, what to publish for each batch
// taken from the pending tables, and what an incoming message means. Which
// thread calls what is said at each method; a scheme guards what two of
// them share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "gateway/mqtt/mqtt_bridge.h"

namespace dravik::host {

struct MqttMessage {
  std::string topic;
  std::string payload;
  int qos = 0;
  bool retain = false;
};

struct MqttLogLine {
  int flags = 0;
  std::string text;
  int64_t ts_ms = 0;
  std::string tag;
};

// What the publisher thread took from the pending tables in one pass.
struct MqttBatch {
  bool republish = false;  // a new session, or a scheme asked: publish the whole view
  struct Value {
    size_t tag_index = 0;
    TagValue value;
    int64_t ts_ms = 0;
    bool buffered = false;  // kept while the broker was away (memory or disk)
  };
  std::vector<Value> values;
  std::vector<std::pair<size_t, StationReport>> stations;
  std::vector<MqttLogLine> logs;
  // The ends of writes asked over MQTT, and the refusals: what the asker is
  // told.
  struct WriteResult {
    std::string tag;  // as the request named it ("(device X)" when it named no tag)
    bool ok = false;
    Json value;
    std::string reason;
    int64_t ts_ms = 0;
  };
  std::vector<WriteResult> results;
};

// What an incoming message asks of the bridge.
struct MqttInbound {
  std::vector<MqttWrite> writes;  // for the main thread's one write path
  struct Refusal {
    std::string tag;
    std::string reason;
  };
  std::vector<Refusal> refusals;  // reported like refused set writes
  bool republish = false;         // wake the publisher with republish set
  std::string stop;               // not empty: the gateway must stop, for this reason
  // The session must end and a new one begin: the bridge publishes Final(),
  // disconnects cleanly (no will) and connects again with the next Will().
  bool end_session = false;
};

class MqttScheme {
 public:
  virtual ~MqttScheme() = default;
  // Once slot 4 has bound the tags: which are bound. Nothing is born before.
  // The MQTT face's thread.
  virtual void Activate(std::vector<bool> bound) = 0;
  // The will of the next CONNECT. Start's thread before the connection,
  // then libmosquitto's thread after each disconnect.
  virtual MqttMessage Will() = 0;
  // A session began; the topics to subscribe to. libmosquitto's thread.
  virtual std::vector<std::string> OnConnected() = 0;
  // What to publish once those subscriptions are asked for, before anything
  // else of the session. libmosquitto's thread.
  virtual std::vector<MqttMessage> AfterSubscribe() { return {}; }
  // The session ended; the next Will() is for the next CONNECT.
  // libmosquitto's thread.
  virtual void OnDisconnected() = 0;
  // A message on a subscribed topic. libmosquitto's thread.
  virtual MqttInbound OnMessage(const std::string& topic, const std::string& payload,
                                bool retained) = 0;
  // What to publish for one batch. The publisher thread.
  virtual std::vector<MqttMessage> Publish(MqttBatch batch) = 0;
  // The last message before a clean disconnect: on the stopping thread after
  // the publisher thread has ended, or on the publisher thread when the
  // scheme ended its session (MqttInbound::end_session).
  virtual MqttMessage Final() = 0;
  // Changes the scheme itself gave up (its own bound on what waits). Any thread.
  virtual long DroppedValues() const { return 0; }
};

}  // namespace dravik::host
