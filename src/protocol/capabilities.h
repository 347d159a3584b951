#pragma once

#include <set>
#include <string>
#include <string_view>

// What a server's CAPA reply lists, read once: the capability names (upper case) and the SASL
// mechanisms. A server without CAPA has none.
class Capabilities {
 public:
  Capabilities() = default;
  // From a whole CAPA reply; a negative or empty reply lists nothing.
  static Capabilities parse(std::string_view reply);

  bool known() const { return known_; }
  bool has(std::string_view name) const;
  // Whether the SASL line names the mechanism; also true when the server lists no SASL line at
  // all, as many offer AUTH without saying so.
  bool offersSasl(std::string_view mechanism) const;
  // The SASL mechanisms as listed, separated by spaces.
  std::string saslList() const;

 private:
  std::set<std::string, std::less<>> names_;
  std::set<std::string, std::less<>> sasl_;
  bool known_ = false;
  bool sasl_listed_ = false;
};
