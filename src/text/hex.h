#pragma once

#include <cstddef>
#include <string>

// Bytes as lowercase hexadecimal digits, two per byte ("%02x" each), in order.
std::string lowerHex(const unsigned char* bytes, size_t size);
