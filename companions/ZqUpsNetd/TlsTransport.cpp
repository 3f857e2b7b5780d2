// TLS over a plain transport's socket, after STARTTLS.
#include "Transport.h"

#ifdef ZQUPSNETD_TLS
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/write.hpp>
#endif

namespace zqnetd {

#ifdef ZQUPSNETD_TLS

namespace {

class TlsTransport : public Transport {
 public:
  // Keeps `plain`, whose socket it reads, and whatever waits on it.
  TlsTransport(std::unique_ptr<Transport> plain, tcp::socket& socket, TlsContext& context)
      : Transport(socket), plain_(std::move(plain)), stream_(socket, context) {}

  void handshake(Done done) { stream_.async_handshake(asio::ssl::stream_base::server, std::move(done)); }

  void readSome(asio::mutable_buffer buffer, Moved done) override {
    stream_.async_read_some(buffer, std::move(done));
  }

  size_t sendNow(std::string_view, boost::system::error_code*) override { return 0; }

  void write(asio::const_buffer buffer, Moved done) override {
    asio::async_write(stream_, buffer, std::move(done));
  }

  void shutdown(Done done) override { stream_.async_shutdown(std::move(done)); }

 private:
  std::unique_ptr<Transport> plain_;
  asio::ssl::stream<tcp::socket&> stream_;
};

}  // namespace

bool startTls(std::unique_ptr<Transport>* transport, TlsContext& context,
              Transport::Done handshaken) {
  tcp::socket& socket = (*transport)->socket();
  auto tls = std::make_unique<TlsTransport>(std::move(*transport), socket, context);
  tls->handshake(std::move(handshaken));
  *transport = std::move(tls);
  return true;
}

#else

bool startTls(std::unique_ptr<Transport>*, TlsContext&, Transport::Done) { return false; }

#endif

}  // namespace zqnetd
