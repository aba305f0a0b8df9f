#include "gateway/modbus/modbus_server.h"

#include <modbus/modbus.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <system_error>
#include <thread>
#include <utility>

#include "gateway/line/host_port.h"

namespace dravik::host {
namespace {

// How long the accept thread sleeps between looks at the stop flag.
constexpr int kAcceptPollMs = 200;
// The rest of a frame must follow its first byte within this.
constexpr uint32_t kFrameByteTimeoutUs = 500'000;
// A reply the client does not take within this closes its connection.
constexpr int kSendTimeoutS = 2;
// The session answers a submitted write at once; this is only a bound.
constexpr auto kQueueAnswerWait = std::chrono::seconds(5);
// A write the line took ends within the write results' own limit (10 s).
constexpr auto kEndWait = std::chrono::seconds(15);

// A refusal before the write reached the line: the station or the port is
// out of reach (the gateway's target failed), or the value or tag was
// refused (the server's failure).
int RefusalException(const std::string& reason) {
  const bool unreachable = reason.find(" is disabled") != std::string::npos ||
                           reason.find(" is demoted") != std::string::npos ||
                           reason.find("the port is ") != std::string::npos;
  return unreachable ? kGatewayTargetFailed : kServerDeviceFailure;
}

// The end of a write the line sent: the PLC's error reply (message 12,
// "에러번호") is a refusal; anything else is a PLC that did not answer.
int EndException(const LineWrite& w) {
  if (w.ok) return 0;
  return w.reason.find("에러번호") != std::string::npos ? kServerDeviceFailure
                                                        : kGatewayTargetFailed;
}

// The bytes of a frame libmodbus left on the socket (a function it does not
// frame), within the time the rest of a frame may take. False when they do
// not come.
bool ReadRest(int fd, uint8_t* adu, int* length, int missing) {
  while (missing > 0) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(kFrameByteTimeoutUs / 1000)) <= 0) return false;
    const ssize_t n = ::recv(fd, adu + *length, static_cast<size_t>(missing), 0);
    if (n <= 0) return false;
    *length += static_cast<int>(n);
    missing -= static_cast<int>(n);
  }
  return true;
}

}  // namespace

struct ModbusServer::Client {
  int fd = -1;
  modbus_t* ctx = nullptr;
  modbus_mapping_t* mapping = nullptr;  // the reply's values; libmodbus formats from it
  std::thread thread;
  std::atomic<bool> done{false};

  ~Client() {
    if (mapping != nullptr) modbus_mapping_free(mapping);
    if (ctx != nullptr) modbus_free(ctx);  // does not close fd
    if (fd >= 0) ::close(fd);
  }
};

ModbusServer::ModbusServer(ModbusOptions options, LineSession* session, Output* out)
    : options_(std::move(options)),
      session_(session),
      out_(out),
      map_(BuildModbusMap(session->layout())),
      image_(&map_) {}

ModbusServer::~ModbusServer() { Stop(); }

std::string ModbusServer::UnitsText() const {
  std::string text;
  for (size_t unit = 1; unit < map_.unit_station.size(); ++unit) {
    const int s = map_.unit_station[unit];
    if (s < 0) continue;
    text += (text.empty() ? "" : ", ") + std::to_string(unit) + " (" +
            session_->layout().stations[static_cast<size_t>(s)] + ")";
  }
  return text.empty() ? "none" : text;
}

bool ModbusServer::Listen(std::string* error) {
  std::string host;
  if (!ParseHostPort("--modbus-tcp", "127.0.0.1:502, 0.0.0.0:1502", options_.address, &host, &port_,
                     error)) {
    return false;
  }
  modbus_t* ctx = modbus_new_tcp_pi(host.c_str(), std::to_string(port_).c_str());
  // A burst of connections waits in the kernel's queue, not in SYN retries.
  listen_fd_ = ctx == nullptr ? -1 : modbus_tcp_pi_listen(ctx, SOMAXCONN);
  if (ctx != nullptr) modbus_free(ctx);  // the socket stays ours
  if (listen_fd_ < 0) {
    *error = "the Modbus TCP server cannot listen on " + options_.address + ": " +
             modbus_strerror(errno);
    return false;
  }
  sockaddr_storage bound{};
  socklen_t size = sizeof bound;
  if (::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&bound), &size) == 0) {
    port_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                              : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  }
  for (const auto& w : map_.warnings)
    out_->Emit("modbus: " + w, Json{{"kind", "modbus_warning"}, {"text", w}});
  session_->AddImageTags(map_.image_tags, map_.image_stations);
  session_->SetValueTap([this](int tag_id, const TagValue& v) { image_.Update(tag_id, v); });
  const std::string text = "modbus: Modbus TCP server on " + host + ":" + std::to_string(port_) +
                           ", units " + UnitsText() + "; writes " +
                           (options_.writes ? "on" : "off");
  out_->Emit(text, Json{{"kind", "modbus"}, {"port", port_}, {"writes", options_.writes}});
  return true;
}

void ModbusServer::Start() {
  // Read only from here on; the client threads see it whole.
  map_.DropUnbound([this](int id) { return session_->Handle(id) != -1; });
  accept_thread_ = std::thread([this] { AcceptLoop(); });
}

void ModbusServer::Stop() {
  if (stopping_.exchange(true)) return;
  if (accept_thread_.joinable()) accept_thread_.join();
  std::vector<std::unique_ptr<Client>> clients;
  {
    std::lock_guard lock(mutex_);
    for (auto& c : clients_) ::shutdown(c->fd, SHUT_RDWR);
    clients.swap(clients_);
  }
  answered_.notify_all();
  for (auto& c : clients) {
    if (c->thread.joinable()) c->thread.join();
  }
  if (listen_fd_ >= 0) ::close(listen_fd_);
  listen_fd_ = -1;
}

void ModbusServer::AcceptLoop() {
  bool failing = false;  // an accept failure was said; its end will be too
  while (!stopping_) {
    // Ended clients give their sockets back here, not only when the next
    // one connects: with the descriptor table full, no next one would.
    ReapClients();
    pollfd p{listen_fd_, POLLIN, 0};
    if (::poll(&p, 1, kAcceptPollMs) <= 0) continue;
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      const int error = errno;
      if (error == EINTR || error == EAGAIN || error == ECONNABORTED) continue;
      // Out of descriptors or memory: the connection stays queued and poll
      // reports it again at once, so it waits here rather than spinning.
      if (!failing) SayAcceptFailed(error);
      failing = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(kAcceptPollMs));
      continue;
    }
    if (failing) {
      out_->Emit("modbus: accepting connections again",
                 Json{{"kind", "modbus"}, {"accepting", true}});
      failing = false;
    }
    Admit(fd);
  }
}

void ModbusServer::SayAcceptFailed(int error) {
  const std::string reason = std::generic_category().message(error);
  out_->Emit(
      "modbus: cannot accept a connection: " + reason + "; clients wait in the queue until it can",
      Json{{"kind", "modbus_error"}, {"accepting", false}, {"text", reason}});
}

void ModbusServer::ReapClients() {
  std::vector<std::unique_ptr<Client>> finished;
  {
    std::lock_guard lock(mutex_);
    for (auto it = clients_.begin(); it != clients_.end();) {
      if ((*it)->done) {
        finished.push_back(std::move(*it));
        it = clients_.erase(it);
      } else {
        ++it;
      }
    }
    counts_["modbus.connections"] = static_cast<long>(clients_.size());
  }
  for (auto& c : finished) c->thread.join();
}

void ModbusServer::Admit(int fd) {
  std::unique_lock lock(mutex_);
  if (static_cast<int>(clients_.size()) >= options_.max_clients) {
    ++counts_["modbus.connections_refused_total"];
    const bool say = !refusing_said_;
    refusing_said_ = true;
    lock.unlock();
    ::close(fd);
    if (say) {
      out_->Emit("modbus: a connection was refused: " + std::to_string(options_.max_clients) +
                     " clients are connected (--modbus-max-clients); later refusals are counted",
                 Json{{"kind", "modbus_refused"}, {"max_clients", options_.max_clients}});
    }
    return;
  }
  if (static_cast<int>(clients_.size()) < options_.max_clients / 2) refusing_said_ = false;
  auto client = std::make_unique<Client>();
  client->fd = fd;
  const timeval send_timeout{kSendTimeoutS, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &send_timeout, sizeof send_timeout);
  client->ctx = modbus_new_tcp("127.0.0.1", 0);  // a context only; the socket is set below
  client->mapping = modbus_mapping_new(kModbusBits, kModbusBits, kModbusWords, kModbusWords);
  if (client->ctx == nullptr || client->mapping == nullptr) return;  // closed by ~Client
  modbus_set_socket(client->ctx, fd);
  modbus_set_indication_timeout(client->ctx, static_cast<uint32_t>(options_.idle_seconds), 0);
  modbus_set_byte_timeout(client->ctx, 0, kFrameByteTimeoutUs);
  modbus_set_error_recovery(client->ctx, MODBUS_ERROR_RECOVERY_NONE);
  ++counts_["modbus.connections_total"];
  Client* raw = client.get();
  clients_.push_back(std::move(client));
  counts_["modbus.connections"] = static_cast<long>(clients_.size());
  raw->thread = std::thread([this, raw] { Serve(raw); });
}

void ModbusServer::Serve(Client* client) {
  uint8_t adu[MODBUS_TCP_MAX_ADU_LENGTH];
  while (!stopping_) {
    int length = modbus_receive(client->ctx, adu);
    if (length == 0) continue;
    if (length < 0) break;  // closed, idle, or a frame that never completed
    const int missing = CheckAdu(adu, length);
    if (missing < 0 || !ReadRest(client->fd, adu, &length, missing)) {
      Count("modbus.malformed_total");
      break;
    }
    ModbusRequest request;
    int exception = DecodeRequest(adu, length, &request);
    if (exception == 0) exception = Answer(client, request);
    Count(std::string("modbus.requests/") + FunctionName(request.function) + "/" +
          ResultName(exception));
    const int sent =
        exception == 0 ? modbus_reply(client->ctx, adu, length, client->mapping)
                       : modbus_reply_exception(client->ctx, adu, static_cast<unsigned>(exception));
    if (sent < 0) break;
  }
  ::shutdown(client->fd, SHUT_RDWR);
  client->done = true;
}

int ModbusServer::Answer(Client* client, const ModbusRequest& request) {
  if (request.write && !options_.writes) return kIllegalFunction;
  if (map_.unit_station[static_cast<size_t>(request.unit)] < 0) return kGatewayPathUnavailable;
  return request.write ? Write(request) : Read(client, request);
}

int ModbusServer::Read(Client* client, const ModbusRequest& r) {
  const auto station = static_cast<size_t>(map_.unit_station[static_cast<size_t>(r.unit)]);
  modbus_mapping_t* m = client->mapping;
  const int64_t now = NowMs();
  // The mapping holds the whole space; nothing points past it.
  if (r.address + r.count > (r.bit ? kModbusBits : kModbusWords)) return kIllegalDataAddress;
  if (r.bit) {
    uint8_t* to = r.function == kReadCoils ? m->tab_bits : m->tab_input_bits;
    return image_.ReadBits(station, r.address, r.count, to + r.address, now);
  }
  uint16_t* to = r.function == kReadHoldingRegisters ? m->tab_registers : m->tab_input_registers;
  return image_.ReadWords(station, r.address, r.count, to + r.address, now);
}

int ModbusServer::Write(const ModbusRequest& r) {
  const auto station = static_cast<size_t>(map_.unit_station[static_cast<size_t>(r.unit)]);
  const std::vector<const ModbusPoint*> points =
      map_.WritablePoints(station, r.bit, r.address, r.count);
  if (points.empty()) return kIllegalDataAddress;
  uint64_t token = 0;
  {
    std::lock_guard lock(mutex_);
    token = next_token_++;
    pending_[token] = PendingWrite{};
  }
  // One write per point, each taken by the session before the next is
  // offered, so they reach the line in order and stop at the first refusal.
  int exception = 0;
  for (size_t i = 0; i < points.size() && exception == 0; ++i) {
    exception = SubmitPoint(*points[i], r.values[i], token);
  }
  const int ended = WaitForEnds(token);
  return exception != 0 ? exception : ended;
}

int ModbusServer::SubmitPoint(const ModbusPoint& point, uint16_t value, uint64_t token) {
  const size_t tags = session_->layout().tags.size();
  WriteRequest w;
  const bool image = static_cast<size_t>(point.tag_id) > tags;
  w.image_tag = image ? point.tag_id - static_cast<int>(tags) - 1 : -1;
  w.tag = image ? map_.image_tags[static_cast<size_t>(w.image_tag)].name
                : session_->layout().tags[static_cast<size_t>(point.tag_id) - 1].name;
  const long number = point.is_signed ? static_cast<int16_t>(value) : value;
  w.value_text = std::to_string(number);
  w.value = number;
  w.id = token;
  w.origin = WriteOrigin::kModbus;
  std::unique_lock lock(mutex_);
  PendingWrite& pending = pending_[token];
  const int before = pending.answered;
  lock.unlock();
  if (!session_->SubmitWrite(std::move(w))) return kServerDeviceBusy;
  lock.lock();
  const bool answered = answered_.wait_for(
      lock, kQueueAnswerWait, [&] { return stopping_ || pending_[token].answered > before; });
  if (!answered || stopping_) return kGatewayTargetFailed;
  return pending_[token].exception;
}

int ModbusServer::WaitForEnds(uint64_t token) {
  std::unique_lock lock(mutex_);
  const bool ended = answered_.wait_for(lock, kEndWait, [&] {
    const PendingWrite& p = pending_[token];
    return stopping_ || p.ended == p.queued;
  });
  const PendingWrite p = pending_[token];
  pending_.erase(token);
  if (!ended || stopping_) return kGatewayTargetFailed;
  return p.exception;
}

void ModbusServer::OnWrite(const LineWrite& w) {
  if (w.origin != WriteOrigin::kModbus || !w.id.is_number_unsigned()) return;
  {
    std::lock_guard lock(mutex_);
    const auto it = pending_.find(w.id.get<uint64_t>());
    if (it == pending_.end()) return;
    PendingWrite& p = it->second;
    int exception = 0;
    if (w.kind == LineWrite::Kind::kQueued) {
      ++p.answered;
      ++p.queued;
    } else if (w.kind == LineWrite::Kind::kRefused) {
      ++p.answered;
      exception = RefusalException(w.reason);
    } else {
      ++p.ended;
      exception = EndException(w);
    }
    if (p.exception == 0) p.exception = exception;
  }
  answered_.notify_all();
}

void ModbusServer::OnSample(const LineSample& sample) {
  image_.Observe(sample.stations, sample.ts_ms);
  ReapClients();
  std::map<std::string, long> counts;
  {
    std::lock_guard lock(mutex_);
    counts = counts_;
  }
  for (const auto& [name, value] : counts) session_->SetFaceCount(name, value);
}

void ModbusServer::Count(const std::string& name, long delta) {
  std::lock_guard lock(mutex_);
  counts_[name] += delta;
}

}  // namespace dravik::host
