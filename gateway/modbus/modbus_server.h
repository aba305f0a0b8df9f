// The Modbus TCP face (--modbus-tcp): one line of PLCs served as one Modbus
// TCP server, each station the unit of its station number, its memory the
// flat spaces of modbus_map.h. libmodbus frames the requests and builds the
// replies; this face decides each answer.
// - Reads (functions 1-4) come from the image (modbus_image.h), never from
//   the line: a point no block or tag covers is exception 02, a station whose
//   data is not fresh 0B, a unit id that is no station 0A.
// - Writes (5, 6, 15, 16), only with --modbus-writes (else 01), go through
//   the session's one write path, each point a write of its own in order,
//   and are answered when the line has answered them: the normal reply when
//   the PLC took every one, 04 when it or the gateway refused one, 0B when it
//   did not answer.
// - A frame whose header disagrees with itself closes its connection.
//
// Threads: the accept thread, and one thread per client (at most
// max_clients), each blocked only on its own socket, so a slow or hostile
// client delays nobody else and never the line. The LineFace methods run on
// the face's FaceQueue thread. mutex_ guards the client list, the counts and
// the waiting writes; the image has its own lock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gateway/line/line_face.h"
#include "gateway/line/line_session.h"
#include "gateway/line/output.h"
#include "gateway/modbus/modbus_image.h"
#include "gateway/modbus/modbus_map.h"
#include "gateway/modbus/modbus_request.h"

namespace dravik::host {

struct ModbusOptions {
  std::string address;  // HOST:PORT; empty: no Modbus TCP face
  bool writes = false;
  int max_clients = 32;
  int idle_seconds = 60;  // a client silent this long is closed
};

class ModbusServer : public LineFace {
 public:
  ModbusServer(ModbusOptions options, LineSession* session, Output* out);
  ~ModbusServer() override;
  ModbusServer(const ModbusServer&) = delete;
  ModbusServer& operator=(const ModbusServer&) = delete;

  // Before the session opens: its image tags and value tap go to the
  // session, and the socket listens. False with the reason.
  bool Listen(std::string* error);
  // After the session opened: points the driver did not bind are dropped,
  // then clients are served.
  void Start();
  // Closes every client and the socket; waiting writes are answered 0B.
  void Stop();
  int port() const { return port_; }

  void OnSample(const LineSample& sample) override;
  void OnWrite(const LineWrite& write) override;

 private:
  struct Client;
  // One request's writes, as the session answers them.
  struct PendingWrite {
    int answered = 0;  // kQueued or kRefused seen
    int queued = 0;
    int ended = 0;
    int exception = 0;  // the first failure's
  };

  void AcceptLoop();
  void SayAcceptFailed(int error);
  void Admit(int fd);
  void Serve(Client* client);
  // The exception to answer with, or 0 when the reply is ready (a read's
  // values in the client's mapping, a write the PLC took).
  int Answer(Client* client, const ModbusRequest& request);
  int Read(Client* client, const ModbusRequest& request);
  int Write(const ModbusRequest& request);
  int SubmitPoint(const ModbusPoint& point, uint16_t value, uint64_t token);
  int WaitForEnds(uint64_t token);
  void ReapClients();
  void Count(const std::string& name, long delta = 1);
  std::string UnitsText() const;

  const ModbusOptions options_;
  LineSession* const session_;
  Output* const out_;
  ModbusMap map_;  // changed only by Start, before any client thread runs
  ModbusImage image_;
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread accept_thread_;

  std::mutex mutex_;  // guards the fields below
  std::condition_variable answered_;
  std::vector<std::unique_ptr<Client>> clients_;
  std::map<std::string, long> counts_;
  std::map<uint64_t, PendingWrite> pending_;
  uint64_t next_token_ = 1;
  bool refusing_said_ = false;  // the over-limit refusal is said once per episode
};

}  // namespace dravik::host
