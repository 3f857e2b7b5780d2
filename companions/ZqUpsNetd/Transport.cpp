#include "Transport.h"

#include <array>

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

namespace zqnetd {

namespace {

// Asio's reactor tries a receive as soon as a read starts, which between
// requests mostly finds nothing; that costs less than the re-arming of
// the socket's watch that a wait for input would take each time.
class PlainTransport : public Transport {
 public:
  explicit PlainTransport(tcp::socket socket) : Transport(socket_), socket_(std::move(socket)) {
    boost::system::error_code ignored;
    socket_.non_blocking(true, ignored);
  }

  void readSome(Received done) override {
    socket_.async_read_some(asio::buffer(input_),
                            [this, done = std::move(done)](const boost::system::error_code& ec, size_t size) {
                              done(ec, std::string_view(input_.data(), ec ? 0 : size));
                            });
  }

  // Mostly the whole reply, without a write's round through the loop.
  size_t sendNow(std::string_view data, boost::system::error_code* ec) override {
    const size_t sent = socket_.send(asio::buffer(data.data(), data.size()), 0, *ec);
    if (*ec == asio::error::would_block || *ec == asio::error::interrupted) ec->clear();
    return sent;
  }

  void write(asio::const_buffer buffer, Moved done) override {
    asio::async_write(socket_, buffer, std::move(done));
  }

  void shutdown(Done done) override { asio::post(socket_.get_executor(), [done] { done({}); }); }

 private:
  tcp::socket socket_;
  std::array<char, 128> input_;  // a request line or two: most connections idle
};

}  // namespace

void Transport::watchGone(std::function<void(bool gone)> gone) {
  socket_.async_wait(tcp::socket::wait_read,
                     [this, gone = std::move(gone)](const boost::system::error_code& ec) mutable {
                       if (ec) return gone(ec != asio::error::operation_aborted);
                       char byte;
                       boost::system::error_code peeked;
                       const size_t size =
                           socket_.receive(asio::buffer(&byte, 1), tcp::socket::message_peek, peeked);
                       if (peeked == asio::error::would_block || peeked == asio::error::interrupted)
                         return watchGone(std::move(gone));
                       gone(size == 0);
                     });
}

void Transport::close() {
  boost::system::error_code ignored;
  socket_.shutdown(tcp::socket::shutdown_both, ignored);
  socket_.close(ignored);
}

std::unique_ptr<Transport> plainTransport(tcp::socket socket) {
  return std::make_unique<PlainTransport>(std::move(socket));
}

}  // namespace zqnetd
