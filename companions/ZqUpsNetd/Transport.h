// A client connection's bytes, on the io_context's reactor: plain TCP, or
// TLS over it from STARTTLS on.  A connection speaks only through this.
#ifndef ZQUPSNETD_TRANSPORT_H
#define ZQUPSNETD_TRANSPORT_H

#include <functional>
#include <memory>
#include <string_view>

#include "Listen.h"
#include "Tls.h"

namespace zqnetd {

namespace asio = zqloop::asio;
using zqloop::tcp;

class Transport {
 public:
  using Done = std::function<void(const boost::system::error_code&)>;
  using Moved = std::function<void(const boost::system::error_code&, size_t)>;
  using Received = std::function<void(const boost::system::error_code&, std::string_view bytes)>;

  virtual ~Transport() = default;
  Transport(const Transport&) = delete;
  Transport& operator=(const Transport&) = delete;

  // Once bytes come, some of them, to be taken during the call; an error
  // at the end.
  virtual void readSome(Received done) = 0;
  // What of `data` goes out at once, never waiting; TLS takes nothing
  // this way, its records go through write().  An error when the
  // connection has failed.
  virtual size_t sendNow(std::string_view data, boost::system::error_code* ec) = 0;
  // The whole of `buffer`, which outlives the call.
  virtual void write(asio::const_buffer buffer, Moved done) = 0;
  // After the last reply: TLS's closing alert, so that the client knows
  // it has every reply; plain TCP has nothing to add.
  virtual void shutdown(Done done) = 0;

  // Tells `gone` once the socket has news, without reading it: true when
  // the peer has closed or reset and sent nothing more, false when it has.
  void watchGone(std::function<void(bool gone)> gone);
  // At once, without TLS's closing alert: a close never waits on the
  // peer.  What is in flight ends with operation_aborted.
  void close();

 protected:
  explicit Transport(tcp::socket& socket) : socket_(socket) {}
  tcp::socket& socket() { return socket_; }

 private:
  friend bool startTls(std::unique_ptr<Transport>* transport, TlsContext& context,
                       Transport::Done handshaken);
  tcp::socket& socket_;  // the connection's, under any TLS
};

std::unique_ptr<Transport> plainTransport(tcp::socket socket);

// Puts TLS over `*transport`, plain, for what its socket receives from
// now on, and begins the server's handshake; `handshaken` at its end.
// False, leaving it as it was, in a build without TLS.
bool startTls(std::unique_ptr<Transport>* transport, TlsContext& context,
              Transport::Done handshaken);

}  // namespace zqnetd

#endif
