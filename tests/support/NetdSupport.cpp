#include "NetdSupport.h"

#include <sys/stat.h>
#include <unistd.h>
#if __has_include(<crypt.h>)
#include <crypt.h>
#endif
#ifdef ZQUPSNETD_TLS
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#endif

#include <chrono>
#include <cstdio>

namespace upstest {

std::string sha512Hash(const std::string& rounds) {
  return "$6$" + rounds + "salt$" + std::string(86, 'a');
}

std::string hashWith(const std::string& password, const std::string& setting) {
  const char* hash = ::crypt(password.c_str(), setting.c_str());
  return hash != nullptr && hash[0] == '$' ? hash : "";
}

std::string slowHash(const std::string& password) {
  return hashWith(password, "$6$rounds=200000$slowsalt$");
}

#ifdef ZQUPSNETD_TLS
bool makeCertificate(const std::string& folder, long fromDays, long toDays) {
  EVP_PKEY* key = nullptr;
  EVP_PKEY_CTX* keygen = EVP_PKEY_CTX_new_id(EVP_PKEY_EC, nullptr);
  bool made = keygen != nullptr && EVP_PKEY_keygen_init(keygen) == 1 &&
              EVP_PKEY_CTX_set_ec_paramgen_curve_nid(keygen, NID_X9_62_prime256v1) == 1 &&
              EVP_PKEY_keygen(keygen, &key) == 1;
  EVP_PKEY_CTX_free(keygen);
  X509* certificate = X509_new();
  X509_NAME* name = X509_get_subject_name(certificate);
  const auto* host = reinterpret_cast<const unsigned char*>("127.0.0.1");
  made = made && X509_set_version(certificate, 2) == 1 &&
         ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1) == 1 &&
         X509_gmtime_adj(X509_getm_notBefore(certificate), fromDays * 86400) != nullptr &&
         X509_gmtime_adj(X509_getm_notAfter(certificate), toDays * 86400) != nullptr &&
         X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, host, -1, -1, 0) == 1 &&
         X509_set_issuer_name(certificate, name) == 1 && X509_set_pubkey(certificate, key) == 1 &&
         X509_sign(certificate, key, EVP_sha256()) > 0;
  for (const bool isKey : {false, true}) {
    const std::string path = folder + (isKey ? "/key.pem" : "/cert.pem");
    FILE* out = made ? std::fopen(path.c_str(), "w") : nullptr;
    made = out != nullptr && (isKey ? PEM_write_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr)
                                    : PEM_write_X509(out, certificate)) == 1;
    if (out != nullptr) made = std::fclose(out) == 0 && made;
  }
  X509_free(certificate);
  EVP_PKEY_free(key);
  return made && ::chmod((folder + "/key.pem").c_str(), 0600) == 0;
}
#endif

bool Netd::start(const std::vector<std::string>& args, bool withIpv6, int descriptors) {
  std::vector<std::string> argv = {"ZqUpsNetd", "--listen", "127.0.0.1:0"};
  if (withIpv6) argv.insert(argv.end(), {"--listen", "[::1]:0"});
  argv.insert(argv.end(), args.begin(), args.end());
  std::string path = path_;
  if (descriptors != 0) {
    path = "/bin/sh";
    argv[0] = path_;
    argv.insert(argv.begin(), {"sh", "-c", "ulimit -n " + std::to_string(descriptors) +
                                              " && exec \"$0\" \"$@\""});
  }
  if (!process_.start(path, argv, withIpv6 ? 2 : 1)) return false;
  port = process_.port(0);
  if (withIpv6) port6 = process_.port(1);
  return true;
}

bool waitForReply(LineClient& client, const std::string& request, const std::string& wanted) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < until) {
    if (client.ask(request) == wanted) return true;
    ::usleep(50 * 1000);
  }
  return false;
}

}  // namespace upstest
