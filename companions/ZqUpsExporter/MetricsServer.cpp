#include "MetricsServer.h"

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <optional>


namespace zqups {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

const char kMetricsPath[] = "/metrics";
const char kExpositionType[] = "text/plain; version=0.0.4; charset=utf-8";
const char kIndexPage[] =
    "<!DOCTYPE html>\n<html><head><title>ZqUpsExporter</title></head>\n"
    "<body><h1>ZqUpsExporter</h1><p><a href=\"/metrics\">Metrics</a></p></body></html>\n";
// How long a connection being closed may still send what nobody reads.
constexpr std::chrono::seconds kLinger{2};

// The scraper's timeout, when the whole text is a number of seconds
// above 0 and below `most`.
std::optional<Clock::duration> askedBelow(const std::string& text, Clock::duration most) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  const double seconds = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || !(seconds > 0) ||
      !(seconds < std::chrono::duration<double>(most).count()))
    return std::nullopt;
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

}  // namespace

Clock::duration scrapeBudget(Clock::duration configured, const std::string& header) {
  const Clock::duration budget = askedBelow(header, configured).value_or(configured);
  return budget - std::min<Clock::duration>(std::chrono::milliseconds(500), budget / 10);
}

// One client connection: a request at a time, each answered in turn.
class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(MetricsServer& server, tcp::socket socket)
      : server_(server), stream_(std::move(socket)), buffer_(server.limits_.requestBytes) {}

  void readRequest() {
    idle_ = true;
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(server_.limits_.requestBytes));
    stream_.expires_after(server_.limits_.requestTime);
    http::async_read(
        stream_, buffer_, *parser_,
        [self = shared_from_this()](beast::error_code ec, std::size_t) { self->onRequest(ec); });
  }

  // Waiting for a request, not for a reading or a reply being sent.
  bool idle() const { return idle_; }

  void close() {
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
    stream_.close();
  }

 private:
  // Closing with unread bytes from the client would reset the connection
  // and could take the reply with it: the client gets an end instead, and
  // a little time to take the reply and go.
  void closeAfterReply() {
    idle_ = true;
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    stream_.expires_after(kLinger);
    drain();
  }

  void drain() {
    stream_.async_read_some(asio::buffer(discard_),
                            [self = shared_from_this()](beast::error_code ec, std::size_t) {
                              if (ec) return self->close();
                              self->drain();
                            });
  }

  void onRequest(beast::error_code ec) {
    idle_ = false;
    if (ec == http::error::end_of_stream || ec == beast::error::timeout ||
        ec == asio::error::operation_aborted)
      return close();
    if (ec) {
      const bool tooLarge = ec == http::error::header_limit || ec == http::error::buffer_overflow;
      keepAlive_ = false;
      return respond(
          tooLarge ? http::status::request_header_fields_too_large : http::status::bad_request,
          "text/plain", "");
    }
    stream_.expires_never();
    route(parser_->get());
  }

  void route(const http::request<http::empty_body>& request) {
    version_ = request.version();
    keepAlive_ = request.keep_alive();
    head_ = request.method() == http::verb::head;
    const beast::string_view target = request.target();
    const beast::string_view path = target.substr(0, target.find('?'));
    if (path != kMetricsPath && path != "/")
      return respond(http::status::not_found, "text/plain", "Not found\n");
    if (request.method() != http::verb::get && !head_)
      return respond(http::status::method_not_allowed, "text/plain", "Method not allowed\n");
    if (path == "/") return respond(http::status::ok, "text/html; charset=utf-8", kIndexPage);
    const beast::string_view asked = request["X-Prometheus-Scrape-Timeout-Seconds"];
    const Clock::time_point deadline =
        Clock::now() +
        scrapeBudget(server_.scrapeTimeout_, std::string(asked.data(), asked.size()));
    server_.scrape_(deadline, [self = shared_from_this()](std::string exposition) {
      self->respond(http::status::ok, kExpositionType, std::move(exposition));
    });
  }

  void respond(http::status status, const char* type, std::string body) {
    auto response = std::make_shared<http::response<http::string_body>>(status, version_);
    response->set(http::field::content_type, type);
    if (status == http::status::method_not_allowed) response->set(http::field::allow, "GET, HEAD");
    const std::size_t length = body.size();
    if (!head_) response->body() = std::move(body);
    response->content_length(length);
    const bool keep = keepAlive_;
    response->keep_alive(keep);
    if (!keep) response->set(http::field::connection, "close");
    stream_.expires_after(server_.limits_.replyTime);
    http::async_write(
        stream_, *response,
        [self = shared_from_this(), response, keep](beast::error_code ec, std::size_t) {
          if (ec) return self->close();
          if (!keep) return self->closeAfterReply();
          self->readRequest();
        });
  }

  MetricsServer& server_;
  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::empty_body>> parser_;
  std::array<char, 512> discard_;
  bool idle_ = true;
  bool keepAlive_ = false;
  bool head_ = false;
  unsigned version_ = 11;
};

MetricsServer::MetricsServer(asio::io_context& io, Clock::duration scrapeTimeout, Scrape scrape,
                             const ServerLimits& limits)
    : scrapeTimeout_(scrapeTimeout),
      scrape_(std::move(scrape)),
      limits_(limits),
      accepting_(io, zqloop::AcceptRules{
                         limits.connections, [this] { return held(); },
                         [this](const tcp::socket&) { return closeOldestIdle(); },
                         [this](tcp::socket socket) { admit(std::move(socket)); },
                         [](tcp::socket&) {}}) {
  accepting_.start();
}

MetricsServer::~MetricsServer() { stop(); }

bool MetricsServer::listen(const tcp::endpoint& endpoint, tcp::endpoint* bound,
                           std::string* error) {
  if (!accepting_.listen(endpoint, error)) return false;
  *bound = accepting_.endpoints().back();
  return true;
}

void MetricsServer::stop() {
  accepting_.stop();
  for (const auto& weak : sessions_)
    if (const auto session = weak.lock()) session->close();
  sessions_.clear();
}

// The connections that ended go from the list first, so that it never
// holds more than the cap.
size_t MetricsServer::held() {
  sessions_.remove_if([](const std::weak_ptr<Session>& weak) { return weak.expired(); });
  return sessions_.size();
}

// Over the cap, the oldest connection that waits for a request goes; when
// every one is being served, the new one does.
bool MetricsServer::closeOldestIdle() {
  const auto oldest =
      std::find_if(sessions_.begin(), sessions_.end(), [](const std::weak_ptr<Session>& weak) {
        const auto session = weak.lock();
        return session && session->idle();
      });
  if (oldest == sessions_.end()) return false;
  oldest->lock()->close();
  sessions_.erase(oldest);
  return true;
}

void MetricsServer::admit(tcp::socket socket) {
  // Not make_shared: a weak_ptr would keep the whole Session's memory.
  const std::shared_ptr<Session> session(new Session(*this, std::move(socket)));
  sessions_.push_back(session);
  session->readRequest();
}

}  // namespace zqups
