#include "net/certificate.h"

#include <arpa/inet.h>
#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <memory>

#include "text/hex.h"

namespace {

struct GeneralNamesFree {
  void operator()(GENERAL_NAMES* names) const { GENERAL_NAMES_free(names); }
};
struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};

std::string asnText(const ASN1_STRING* text) {
  if (text == nullptr) return {};
  unsigned char* utf8 = nullptr;
  const int length = ASN1_STRING_to_UTF8(&utf8, text);
  if (length < 0) return {};
  std::string result(reinterpret_cast<char*>(utf8), static_cast<size_t>(length));
  OPENSSL_free(utf8);
  return result;
}

std::string addressText(const ASN1_OCTET_STRING* bytes) {
  char text[INET6_ADDRSTRLEN] = {};
  const int length = ASN1_STRING_length(bytes);
  const unsigned char* data = ASN1_STRING_get0_data(bytes);
  if (length == 4) ::inet_ntop(AF_INET, data, text, sizeof text);
  if (length == 16) ::inet_ntop(AF_INET6, data, text, sizeof text);
  return text;
}

std::string nameText(const X509_NAME* name) {
  std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
  if (!bio || name == nullptr) return {};
  X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return length > 0 ? std::string(data, static_cast<size_t>(length)) : std::string();
}

std::string timeText(const ASN1_TIME* when) {
  std::tm parts{};
  if (when == nullptr || ASN1_TIME_to_tm(when, &parts) != 1) return "?";
  char text[32];
  const size_t length = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
  return std::string(text, length);
}

// The fingerprint as OpenSSL's x509 -fingerprint shows it, which is what users compare.
std::string shownFingerprint(const std::string& digits) {
  std::string shown;
  for (size_t i = 0; i < digits.size(); i += 2) {
    if (!shown.empty()) shown += ':';
    shown += static_cast<char>(std::toupper(static_cast<unsigned char>(digits[i])));
    if (i + 1 < digits.size()) {
      shown += static_cast<char>(std::toupper(static_cast<unsigned char>(digits[i + 1])));
    }
  }
  return shown;
}

bool namesHost(X509* certificate, const char* host) {
  const HostName name = parseHost(host);
  if (!name.address.empty()) {
    return X509_check_ip(certificate, name.address.data(), name.address.size(), 0) == 1;
  }
  return X509_check_host(certificate, name.dns.c_str(), name.dns.size(),
                         X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS, nullptr) == 1;
}

bool anyOf(const std::vector<int>& codes, std::initializer_list<int> wanted) {
  return std::any_of(codes.begin(), codes.end(), [&](int code) {
    return std::find(wanted.begin(), wanted.end(), code) != wanted.end();
  });
}

}  // namespace

HostName parseHost(const char* host) {
  HostName result;
  std::string name(host != nullptr ? host : "");
  in_addr v4{};
  if (::inet_aton(name.c_str(), &v4) != 0) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&v4);
    result.address.assign(bytes, bytes + sizeof v4);
    return result;
  }
  unsigned char v6[16];
  const std::string address = name.substr(0, name.find('%'));
  if (::inet_pton(AF_INET6, address.c_str(), v6) == 1) {
    result.address.assign(v6, v6 + sizeof v6);
    return result;
  }
  if (!name.empty() && name.back() == '.') name.pop_back();
  result.dns = name;
  return result;
}

std::string certificateFingerprint(X509* certificate) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (certificate == nullptr || X509_digest(certificate, EVP_sha256(), digest, &length) != 1) {
    return {};
  }
  return lowerHex(digest, length);
}

void describeCertificate(X509* certificate, const char* host, TlsPeer& peer) {
  if (certificate == nullptr) return;
  std::string names;
  auto add = [&names](const std::string& name) {
    if (!names.empty()) names += ", ";
    names += name;
  };
  const X509_NAME* subject = X509_get_subject_name(certificate);
  for (int at = X509_NAME_get_index_by_NID(subject, NID_commonName, -1); at >= 0;
       at = X509_NAME_get_index_by_NID(subject, NID_commonName, at)) {
    add("CN=" + asnText(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, at))));
  }
  peer.first_dns_name.clear();
  std::unique_ptr<GENERAL_NAMES, GeneralNamesFree> alternatives(static_cast<GENERAL_NAMES*>(
      X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr)));
  for (int i = 0; alternatives && i < sk_GENERAL_NAME_num(alternatives.get()); ++i) {
    const GENERAL_NAME* entry = sk_GENERAL_NAME_value(alternatives.get(), i);
    if (entry->type == GEN_DNS) {
      const std::string dns = asnText(entry->d.dNSName);
      add("DNS:" + dns);
      // A wildcard is no name SERVER could take.
      if (peer.first_dns_name.empty() && dns.find('*') == std::string::npos) {
        peer.first_dns_name = dns;
      }
    } else if (entry->type == GEN_IPADD) {
      add("IP:" + addressText(entry->d.iPAddress));
    }
  }
  peer.names = names.empty() ? "(none)" : names;
  peer.issuer = nameText(X509_get_issuer_name(certificate));
  peer.valid_from = timeText(X509_get0_notBefore(certificate));
  peer.valid_until = timeText(X509_get0_notAfter(certificate));
  peer.fingerprint = shownFingerprint(certificateFingerprint(certificate));
  peer.names_server = namesHost(certificate, host);
  peer.self_signed = X509_check_issued(certificate, certificate) == X509_V_OK;
}

std::vector<std::string> explainFailure(X509* certificate, const char* host,
                                        const std::vector<int>& codes, bool pinned) {
  std::vector<std::string> lines;
  if (certificate == nullptr) return lines;
  TlsPeer peer;
  describeCertificate(certificate, host, peer);
  lines.push_back("The server's certificate names: " + peer.names + ".");
  lines.push_back("It was issued by " + peer.issuer + " and is valid from " + peer.valid_from +
                  " until " + peer.valid_until + ".");
  lines.push_back("Its SHA-256 fingerprint: TLS_FINGERPRINT = \"" + peer.fingerprint + "\"");
  if (pinned) {
    lines.push_back("It is not the certificate TLS_FINGERPRINT names. If the server's owner has "
                    "replaced it, compare the fingerprint above with the one they give you and "
                    "put it in TLS_FINGERPRINT.");
    return lines;
  }
  const std::string shown_host = host != nullptr ? host : "";
  if (!peer.names_server) {
    lines.push_back(
        "The certificate does not name " + shown_host + ": " +
        (peer.first_dns_name.empty() ? std::string("ask the server's owner which name to use.")
                                     : "use SERVER = \"" + peer.first_dns_name +
                                           "\", one of its names, instead."));
  }
  if (X509_cmp_current_time(X509_get0_notAfter(certificate)) < 0) {
    lines.push_back("The certificate expired on " + peer.valid_until +
                    ": tell the server's owner. TLS_FINGERPRINT would accept it all the same.");
  } else if (X509_cmp_current_time(X509_get0_notBefore(certificate)) > 0) {
    lines.push_back("The certificate is not valid before " + peer.valid_from +
                    ": check this computer's clock.");
  }
  if (peer.self_signed) {
    lines.push_back("The certificate is self-signed: trust exactly this one with the "
                    "TLS_FINGERPRINT line above, once it matches the fingerprint the server's "
                    "owner gives you.");
  } else if (anyOf(codes, {X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT,
                           X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY,
                           X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN,
                           X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE, X509_V_ERR_CERT_UNTRUSTED,
                           X509_V_ERR_INVALID_CA})) {
    lines.push_back("No trusted CA vouches for it. If it comes from a private CA, name that CA's "
                    "certificate with TLS_CA_FILE; or trust exactly this certificate with the "
                    "TLS_FINGERPRINT line above, once it matches the fingerprint the server's "
                    "owner gives you.");
  }
  return lines;
}
