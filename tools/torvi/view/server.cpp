#include "server.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string_view>
#include <utility>

namespace torvi_cli::view {

struct Server::Client {
  mg_connection *conn = nullptr;
  Bytes frame;                   // newest frame not yet sent
  Bytes rays;                    // rays not yet sent
  std::string state;             // newest state not yet sent
  bool frame_in_flight = false;  // sent, and the page has not said "ack" yet
  bool closing = false;
  std::thread sender;
};

Server::Server(CommandSink commands, RawSource raw)
    : commands_(std::move(commands)), raw_(std::move(raw)) {}

Server::~Server() {
  if (ctx_ != nullptr) mg_stop(ctx_);  // runs on_close for every connection
  std::vector<std::unique_ptr<Client>> left;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (auto &c : clients_) c->closing = true;
    left.swap(clients_);
  }
  wake_.notify_all();
  for (auto &c : left)
    if (c->sender.joinable()) c->sender.join();
}

bool Server::start(const std::string &bind, int port, const std::string &web_dir,
                   std::string &error) {
  if (!std::filesystem::is_directory(web_dir + "/vendor/three")) {
    error = "the viewer's page is not at " + web_dir;
    return false;
  }
  mg_init_library(MG_FEATURES_WEBSOCKET);
  const std::string ports = bind + ":" + std::to_string(port);
  // tcp_nodelay: a frame goes out as soon as it is written, its last bytes
  // not held back until the browser acknowledges the ones before.
  const char *options[] = {"listening_ports",
                           ports.c_str(),
                           "document_root",
                           web_dir.c_str(),
                           "num_threads",
                           "16",
                           "enable_directory_listing",
                           "no",
                           "websocket_timeout_ms",
                           "3600000",
                           "tcp_nodelay",
                           "1",
                           nullptr};
  mg_callbacks callbacks{};
  callbacks.log_message = [](const mg_connection *, const char *msg) {
    std::fprintf(stderr, "torvi view: %s\n", msg);
    return 1;
  };
  ctx_ = mg_start(&callbacks, this, options);
  if (ctx_ == nullptr) {
    error = "cannot listen on " + ports + " (address in use or not allowed)";
    return false;
  }
  mg_set_websocket_handler(ctx_, "/ws", on_connect, on_ready, on_data, on_close, this);
  mg_set_request_handler(ctx_, "/snapshot.raw", on_raw, this);
  mg_server_port sp[4] = {};
  const int n = mg_get_server_ports(ctx_, 4, sp);
  port_ = n > 0 ? sp[0].port : port;
  return true;
}

int Server::on_connect(const mg_connection *, void *) { return 0; }

void Server::on_ready(mg_connection *conn, void *self_) {
  auto *self = static_cast<Server *>(self_);
  auto c = std::make_unique<Client>();
  c->conn = conn;
  Client *raw = c.get();
  {
    const std::lock_guard<std::mutex> lock(self->mutex_);
    raw->rays = self->rays_;
    self->clients_.push_back(std::move(c));
    raw->sender = std::thread([self, raw] { self->sender_loop(*raw); });
  }
}

int Server::on_data(mg_connection *conn, int bits, char *data, size_t len, void *self_) {
  auto *self = static_cast<Server *>(self_);
  const int opcode = bits & 0x0f;
  if (opcode == MG_WEBSOCKET_OPCODE_CONNECTION_CLOSE) return 0;
  if (opcode == MG_WEBSOCKET_OPCODE_TEXT && std::string_view(data, len) == "ack") {
    // The page has drawn the last frame: the next may go. One frame in flight
    // per browser keeps the socket from queueing stale frames.
    {
      const std::lock_guard<std::mutex> lock(self->mutex_);
      for (auto &c : self->clients_)
        if (c->conn == conn) c->frame_in_flight = false;
    }
    self->wake_.notify_all();
    return 1;
  }
  if (opcode == MG_WEBSOCKET_OPCODE_TEXT && self->commands_)
    self->commands_(std::string(data, len));
  return 1;
}

void Server::on_close(const mg_connection *conn, void *self_) {
  auto *self = static_cast<Server *>(self_);
  std::unique_ptr<Client> gone;
  {
    const std::lock_guard<std::mutex> lock(self->mutex_);
    auto it = std::find_if(self->clients_.begin(), self->clients_.end(),
                           [&](const auto &c) { return c->conn == conn; });
    if (it == self->clients_.end()) return;
    (*it)->closing = true;
    gone = std::move(*it);
    self->clients_.erase(it);
  }
  self->wake_.notify_all();
  if (gone->sender.joinable()) gone->sender.join();
}

int Server::on_raw(mg_connection *conn, void *self_) {
  auto *self = static_cast<Server *>(self_);
  const Bytes raw = self->raw_ ? self->raw_() : nullptr;
  if (!raw || raw->empty()) {
    mg_send_http_error(conn, 404, "%s", "no frame yet");
    return 404;
  }
  mg_printf(conn,
            "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
            "Content-Disposition: attachment; filename=\"snapshot.raw\"\r\n"
            "Content-Length: %zu\r\nConnection: close\r\n\r\n",
            raw->size());
  mg_write(conn, raw->data(), raw->size());
  return 200;
}

void Server::sender_loop(Client &c) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] {
      return c.closing || c.rays || (c.frame && !c.frame_in_flight) || !c.state.empty();
    });
    if (c.closing) return;
    Bytes rays = std::exchange(c.rays, nullptr);
    Bytes frame = c.frame_in_flight ? nullptr : std::exchange(c.frame, nullptr);
    if (frame) c.frame_in_flight = true;
    std::string state = std::exchange(c.state, std::string());
    lock.unlock();
    // The write blocks only this browser's thread; frames published meanwhile
    // replace each other in c.frame.
    bool ok = true;
    if (rays)
      ok = mg_websocket_write(c.conn, MG_WEBSOCKET_OPCODE_BINARY,
                              reinterpret_cast<const char *>(rays->data()), rays->size()) > 0;
    if (ok && !state.empty())
      ok = mg_websocket_write(c.conn, MG_WEBSOCKET_OPCODE_TEXT, state.data(), state.size()) > 0;
    if (ok && frame)
      ok = mg_websocket_write(c.conn, MG_WEBSOCKET_OPCODE_BINARY,
                              reinterpret_cast<const char *>(frame->data()), frame->size()) > 0;
    lock.lock();
    if (!ok) {
      // The browser went away; on_close removes the client.
      wake_.wait(lock, [&] { return c.closing; });
      return;
    }
  }
}

void Server::publish_frame(Bytes frame) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (auto &c : clients_) {
      if (c->frame) ++skipped_;
      c->frame = frame;
    }
  }
  wake_.notify_all();
}

void Server::publish_rays(Bytes rays) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    rays_ = rays;
    for (auto &c : clients_) c->rays = rays;
  }
  wake_.notify_all();
}

void Server::publish_state(std::string json) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (auto &c : clients_) c->state = json;
  }
  wake_.notify_all();
}

int Server::clients() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(clients_.size());
}

uint64_t Server::frames_skipped() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return skipped_;
}

}  // namespace torvi_cli::view
