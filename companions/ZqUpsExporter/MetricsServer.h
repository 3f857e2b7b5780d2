// The HTTP side of the exporter: /metrics on any number of listening
// addresses, all on one event loop.  Every client is a stranger: a request
// header has a time and a size limit, a reply a time limit, and the number
// of connections a cap, over which the oldest idle one goes.
#ifndef METRICSSERVER_H
#define METRICSSERVER_H

#include <chrono>
#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "Accept.h"

namespace zqups {

struct ServerLimits {
  std::size_t connections = 512;
  // For a whole request header, from the moment one is awaited (so also
  // how long a kept-alive connection may idle).
  std::chrono::steady_clock::duration requestTime = std::chrono::seconds(5);
  std::size_t requestBytes = 8192;
  std::chrono::steady_clock::duration replyTime = std::chrono::seconds(10);
};

// How long a scrape may take: the --scrape-timeout, or the scraper's
// X-Prometheus-Scrape-Timeout-Seconds when it is less (an unreadable or
// non-positive one is ignored), less a tenth of it, at most half a
// second, for the reply to get there in time.
std::chrono::steady_clock::duration scrapeBudget(std::chrono::steady_clock::duration configured,
                                                 const std::string& header);

class Session;

class MetricsServer {
 public:
  // Called on the loop for each scrape; `reply` takes the exposition,
  // once, on the loop, and may outlive the connection.
  using Reply = std::function<void(std::string exposition)>;
  using Scrape = std::function<void(std::chrono::steady_clock::time_point deadline, Reply reply)>;

  MetricsServer(boost::asio::io_context& io, std::chrono::steady_clock::duration scrapeTimeout,
                Scrape scrape, const ServerLimits& limits = ServerLimits());
  ~MetricsServer();
  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;

  // Listens on `endpoint` and serves it; what was bound (the real port
  // for port 0), or nothing with `error`.
  bool listen(const boost::asio::ip::tcp::endpoint& endpoint, boost::asio::ip::tcp::endpoint* bound,
              std::string* error);
  // Stops accepting and closes every connection.
  void stop();
  // The connections in the table: those open, and those that ended since
  // the last accept.
  size_t connectionsHeld() const { return sessions_.size(); }

 private:
  friend class Session;

  size_t held();
  bool closeOldestIdle();
  void admit(boost::asio::ip::tcp::socket socket);

  std::chrono::steady_clock::duration scrapeTimeout_;
  Scrape scrape_;
  ServerLimits limits_;
  // In the order accepted; those that ended go at the next accept.
  std::list<std::weak_ptr<Session>> sessions_;
  zqloop::AcceptLoop accepting_;
};

}  // namespace zqups

#endif
