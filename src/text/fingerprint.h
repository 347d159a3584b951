#pragma once

#include <string>

// A SHA-256 certificate fingerprint as written in TLS_FINGERPRINT (colons and letter case do not
// matter) in the form the TLS layer compares: 64 lowercase hexadecimal digits. Empty when text is
// no such fingerprint.
std::string normalFingerprint(const std::string& text);
