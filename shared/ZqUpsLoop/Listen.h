// What the network servers share about their sockets: the addresses they
// are told to listen on, binding them with the system's reason on failure,
// and the signals that end or must not end them.
#ifndef ZQUPSLOOP_LISTEN_H
#define ZQUPSLOOP_LISTEN_H

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/signal_set.hpp>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zqloop {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

// "HOST:PORT" (an IPv4 address or a name) or "[IPV6]:PORT", the port
// 1 to 65535 (0 for any free port), as the endpoints it names (a name may
// name several).  Empty with `error` for anything else: a bare port, which
// would mean every address, included.
std::vector<tcp::endpoint> parseListen(const std::string& text, std::string* error);

// "127.0.0.1:9967", "[::1]:3493".
std::string endpointText(const tcp::endpoint& endpoint);

// A listening acceptor on `endpoint` (an IPv6 one takes IPv6 only), or
// null with `error` saying the address and the system's reason.
std::unique_ptr<tcp::acceptor> listenOn(asio::io_context& io, const tcp::endpoint& endpoint,
                                        std::string* error);

// Calls `stop` once on SIGINT or SIGTERM; SIGHUP and SIGPIPE are ignored
// so that neither ends the process.  Keep the returned set alive.
std::unique_ptr<asio::signal_set> onStopSignals(asio::io_context& io, std::function<void()> stop);

}  // namespace zqloop

#endif
