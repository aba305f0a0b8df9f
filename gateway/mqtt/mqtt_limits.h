// The limits and settings the MQTT session's connection side
// (mqtt_bridge.cpp) and its publisher thread (mqtt_publisher.cpp) share.
#pragma once

#include <chrono>
#include <cstddef>

namespace dravik::host::mqtt {

constexpr int kQos = 1;
// Log records waiting for the publisher; beyond this the newest are dropped
// and counted (a record of the count follows once there is room).
constexpr size_t kMaxPendingLogs = 1000;
// How long the broker may be away before that is said once.
constexpr auto kUnreachableWarning = std::chrono::seconds(5);
// The pause between two batches of a replay from the disk buffer.
constexpr auto kReplayPause = std::chrono::milliseconds(100);
// Flags of the bridge's own records on the log topic: a per-tag problem, with
// bit 8 clear so they are not taken for the driver's messages.
constexpr int kBridgeErrorFlags = 1;

}  // namespace dravik::host::mqtt
