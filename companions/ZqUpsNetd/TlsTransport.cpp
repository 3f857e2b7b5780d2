// TLS over a plain transport's socket, after STARTTLS.
#include "Transport.h"

#ifdef ZQUPSNETD_TLS
#include <array>

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

  // Into a buffer of its own: the bytes are decrypted as the read ends,
  // before its call.
  void readSome(Received done) override {
    stream_.async_read_some(asio::buffer(input_),
                            [this, done = std::move(done)](const boost::system::error_code& ec, size_t size) {
                              done(ec, std::string_view(input_.data(), ec ? 0 : size));
                            });
  }

  size_t sendNow(std::string_view, boost::system::error_code*) override { return 0; }

  void write(asio::const_buffer buffer, Moved done) override {
    asio::async_write(stream_, buffer, std::move(done));
  }

  void shutdown(Done done) override { stream_.async_shutdown(std::move(done)); }

 private:
  std::unique_ptr<Transport> plain_;
  asio::ssl::stream<tcp::socket&> stream_;
  std::array<char, 1024> input_;
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
