#pragma once

#include <array>
#include <string>
#include <string_view>

// SHA-256, computed here rather than by the TLS library, whose first use loads its configuration:
// a run without TLS need not pay for that to name a lock or fingerprint its settings.
std::array<unsigned char, 32> sha256(std::string_view bytes);

// The digest as 64 lowercase hexadecimal digits.
std::string sha256Hex(std::string_view bytes);
