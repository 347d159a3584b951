#include "text/sha256.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <string>

#include "text/hex.h"

namespace {

TEST(Sha256Hex, PublishedVectors) {
  EXPECT_EQ(sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(sha256Hex(std::string(1000000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// Every length around the block and padding edges, and bytes with the high bit set, as the
// TLS library computes them: lock names and state fingerprints must not change.
TEST(Sha256Hex, AgreesWithTheTlsLibrary) {
  std::string text;
  for (int length = 0; length <= 300; ++length) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    ASSERT_EQ(EVP_Digest(text.data(), text.size(), digest, &size, EVP_sha256(), nullptr), 1);
    EXPECT_EQ(sha256Hex(text), lowerHex(digest, size)) << "length " << length;
    text += static_cast<char>((length * 131 + 7) & 0xff);
  }
}

}  // namespace
