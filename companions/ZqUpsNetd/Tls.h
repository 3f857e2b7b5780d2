// TLS for STARTTLS: the server's one context, from a certificate chain
// and a private key that no one but its owner may read.
#ifndef ZQUPSNETD_TLS_H
#define ZQUPSNETD_TLS_H

#include <memory>
#include <string>

namespace boost::asio::ssl {
class context;
}

namespace zqnetd {

using TlsContext = boost::asio::ssl::context;

// Whether this build has TLS (OpenSSL).
bool tlsBuilt();

// TLS 1.2 or later, forward-secret AEAD ciphers only, neither
// renegotiation nor compression.  Null with `error` (the file named) when
// the key file may be read by others, or either file does not load, or
// they do not match.  `warning` says when the certificate is not valid
// today: a server that does not start serves no data at all, and a clock
// set wrong at boot would keep it down.
std::shared_ptr<TlsContext> loadTls(const std::string& certificatePath, const std::string& keyPath,
                                    std::string* error, std::string* warning);

}  // namespace zqnetd

#endif
