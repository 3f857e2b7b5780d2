#include "Tls.h"

#ifdef ZQUPSNETD_TLS
#include <openssl/crypto.h>
#include <openssl/ssl.h>
#include <sys/stat.h>

#include <boost/asio/ssl/context.hpp>

#include "PrivateFile.h"
#endif

namespace zqnetd {

#ifdef ZQUPSNETD_TLS

namespace {

// TLS 1.2's suites; TLS 1.3 has only AEAD suites with forward secrecy.
const char kCiphers12[] = "ECDHE+AESGCM:ECDHE+CHACHA20:!aNULL";

std::string reason(const std::string& path, const boost::system::error_code& ec) {
  return path + ": " + ec.message();
}

bool configure(TlsContext& context, std::string* error) {
  SSL_CTX* native = context.native_handle();
  if (SSL_CTX_set_min_proto_version(native, TLS1_2_VERSION) != 1 ||
      SSL_CTX_set_cipher_list(native, kCiphers12) != 1) {
    *error = "TLS: the library refuses TLS 1.2 with " + std::string(kCiphers12);
    return false;
  }
  SSL_CTX_set_options(native, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION |
                                  SSL_OP_CIPHER_SERVER_PREFERENCE);
  // Idle connections, most of them, then hold no record buffers.
  SSL_CTX_set_mode(native, SSL_MODE_RELEASE_BUFFERS);
  return true;
}

}  // namespace

bool tlsBuilt() { return true; }

std::shared_ptr<TlsContext> loadTls(const std::string& certificatePath, const std::string& keyPath,
                                    std::string* error) {
  std::string key;
  if (!readPrivateFile(keyPath, S_IRWXG | S_IRWXO, "chmod 600", &key, error)) return nullptr;
  auto context = std::make_shared<TlsContext>(TlsContext::tls_server);
  boost::system::error_code ec;
  bool loaded = configure(*context, error);
  if (loaded && context->use_certificate_chain_file(certificatePath, ec)) {
    *error = reason(certificatePath, ec);
    loaded = false;
  }
  if (loaded && context->use_private_key(boost::asio::buffer(key), TlsContext::pem, ec)) {
    *error = reason(keyPath, ec);
    loaded = false;
  }
  if (loaded && SSL_CTX_check_private_key(context->native_handle()) != 1) {
    *error = keyPath + ": not the key of the certificate in " + certificatePath;
    loaded = false;
  }
  OPENSSL_cleanse(key.data(), key.size());
  return loaded ? context : nullptr;
}

#else

bool tlsBuilt() { return false; }

std::shared_ptr<TlsContext> loadTls(const std::string&, const std::string&, std::string* error) {
  *error = "this ZqUpsNetd was built without TLS (OpenSSL)";
  return nullptr;
}

#endif

}  // namespace zqnetd
