#include "Listen.h"

#include <signal.h>

#include <charconv>

namespace zqloop {

namespace {

bool parsePort(const std::string& text, unsigned short* port) {
  unsigned value = 0;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || result.ec != std::errc() || result.ptr != text.data() + text.size() ||
      value > 65535)
    return false;
  *port = static_cast<unsigned short>(value);
  return true;
}

}  // namespace

std::vector<tcp::endpoint> parseListen(const std::string& text, std::string* error) {
  std::string host, port;
  if (!text.empty() && text.front() == '[') {
    const size_t close = text.find(']');
    if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
      *error = "'" + text + "' is not [IPV6]:PORT";
      return {};
    }
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
    boost::system::error_code ec;
    const auto address = asio::ip::make_address_v6(host, ec);
    unsigned short number = 0;
    if (ec || !parsePort(port, &number)) {
      *error = "'" + text + "' is not [IPV6]:PORT";
      return {};
    }
    return {tcp::endpoint(address, number)};
  }
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || text.find(':') != colon) {
    *error = "'" + text + "' is not HOST:PORT or [IPV6]:PORT";
    return {};
  }
  host = text.substr(0, colon);
  port = text.substr(colon + 1);
  unsigned short number = 0;
  if (!parsePort(port, &number)) {
    *error = "'" + text + "' has no port from 0 to 65535";
    return {};
  }
  boost::system::error_code ec;
  const auto address = asio::ip::make_address_v4(host, ec);
  if (!ec) return {tcp::endpoint(address, number)};
  asio::io_context io;
  tcp::resolver resolver(io);
  const auto results = resolver.resolve(host, port, tcp::resolver::numeric_service, ec);
  if (ec || results.empty()) {
    *error = "cannot resolve '" + host + "': " + (ec ? ec.message() : "no address");
    return {};
  }
  std::vector<tcp::endpoint> endpoints;
  for (const auto& entry : results) {
    bool seen = false;
    for (const auto& known : endpoints) seen = seen || known == entry.endpoint();
    if (!seen) endpoints.push_back(entry.endpoint());
  }
  return endpoints;
}

std::string endpointText(const tcp::endpoint& endpoint) {
  const std::string host = endpoint.address().to_string();
  const std::string port = std::to_string(endpoint.port());
  return endpoint.address().is_v6() ? "[" + host + "]:" + port : host + ":" + port;
}

std::unique_ptr<tcp::acceptor> listenOn(asio::io_context& io, const tcp::endpoint& endpoint,
                                        std::string* error) {
  auto acceptor = std::make_unique<tcp::acceptor>(io);
  boost::system::error_code ec;
  acceptor->open(endpoint.protocol(), ec);
  if (!ec) acceptor->set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec && endpoint.address().is_v6()) acceptor->set_option(asio::ip::v6_only(true), ec);
  if (!ec) acceptor->bind(endpoint, ec);
  if (!ec) acceptor->listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    *error = "cannot listen on " + endpointText(endpoint) + ": " + ec.message();
    return nullptr;
  }
  return acceptor;
}

std::unique_ptr<asio::signal_set> onStopSignals(asio::io_context& io,
                                                std::function<void()> stop) {
  ::signal(SIGHUP, SIG_IGN);
  ::signal(SIGPIPE, SIG_IGN);
  auto signals = std::make_unique<asio::signal_set>(io, SIGINT, SIGTERM);
  signals->async_wait([stop = std::move(stop)](const boost::system::error_code& ec, int) {
    if (!ec) stop();
  });
  return signals;
}

}  // namespace zqloop
