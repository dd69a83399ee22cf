// The viewer's HTTP and WebSocket server (civetweb): serves the page from a
// folder, keeps one sender thread per connected browser so that a slow
// browser only drops frames for itself, and hands the page's commands to
// the application.
#pragma once

#include <civetweb.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace torvi_cli::view {

using Bytes = std::shared_ptr<const std::vector<uint8_t>>;

class Server {
 public:
  // Called on a server thread for every text message from a page.
  using CommandSink = std::function<void(const std::string &text)>;
  // Called on a server thread for an HTTP GET of /snapshot.raw: the latest
  // raw frame, or empty when there is none.
  using RawSource = std::function<Bytes()>;

  Server(CommandSink commands, RawSource raw);
  ~Server();
  Server(const Server &) = delete;
  Server &operator=(const Server &) = delete;

  // Listens on bind:port (port 0 picks a free one) and serves `web_dir`.
  // False with the reason in `error` (port taken, folder missing).
  bool start(const std::string &bind, int port, const std::string &web_dir, std::string &error);
  // The port actually listened on.
  int port() const { return port_; }

  // The newest frame for every browser; a browser still busy with an older
  // one gets only the newest when it is ready again.
  void publish_frame(Bytes frame);
  // Sent once to every browser, also to those that connect later.
  void publish_rays(Bytes rays);
  // The newest state line; sent to every browser.
  void publish_state(std::string json);

  int clients() const;
  // Frames that were replaced before a browser could take them.
  uint64_t frames_skipped() const;

 private:
  struct Client;
  static int on_connect(const mg_connection *conn, void *self);
  static void on_ready(mg_connection *conn, void *self);
  static int on_data(mg_connection *conn, int bits, char *data, size_t len, void *self);
  static void on_close(const mg_connection *conn, void *self);
  static int on_raw(mg_connection *conn, void *self);
  void sender_loop(Client &c);

  CommandSink commands_;
  RawSource raw_;
  mg_context *ctx_ = nullptr;
  int port_ = 0;

  mutable std::mutex mutex_;  // guards everything below and each Client's pending fields
  std::condition_variable wake_;
  std::vector<std::unique_ptr<Client>> clients_;
  Bytes rays_;
  uint64_t skipped_ = 0;
};

}  // namespace torvi_cli::view
