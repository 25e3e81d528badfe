#include "base64.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

std::string Encode(const std::string& s) {
  return base64_encode(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}
std::string Decode(const std::string& s) {
  std::vector<uint8_t> v = base64_decode(s);
  return std::string(v.begin(), v.end());
}

TEST(Base64Test, EncodesRfc4648Vectors) {
  const std::pair<std::string, std::string> cases[] = {{"", ""},
                                                       {"f", "Zg=="},
                                                       {"fo", "Zm8="},
                                                       {"foo", "Zm9v"},
                                                       {"foob", "Zm9vYg=="},
                                                       {"fooba", "Zm9vYmE="},
                                                       {"foobar", "Zm9vYmFy"},
                                                       {std::string("\xff\xfe\x00", 3), "//4A"}};
  for (const auto& [plain, encoded] : cases) EXPECT_EQ(Encode(plain), encoded) << encoded;
}

TEST(Base64Test, RoundTripsEveryLengthWithAndWithoutPadding) {
  std::mt19937 rng(42);
  for (size_t len = 0; len <= 300; ++len) {
    std::vector<uint8_t> bytes(len);
    for (auto& b : bytes) b = static_cast<uint8_t>(rng());
    std::string text = base64_encode(bytes.data(), bytes.size());
    ASSERT_EQ(text.size(), (len + 2) / 3 * 4);
    ASSERT_EQ(base64_decode(text), bytes) << len;
    text.erase(text.find_last_not_of('=') + 1);
    ASSERT_EQ(base64_decode(text), bytes) << "unpadded " << len;
  }
}

TEST(Base64Test, DecodesLeniently) {
  const std::pair<std::string, std::string> cases[] = {
      {"Zm9v\nYmFy", "foo"},    // line break ends the decoding
      {"Zm9v YmFy", "foo"},     // so does a blank
      {"=Zm9v", ""},            // leading padding: nothing
      {" Zm9v", ""},            // leading blank: nothing
      {"Z", ""},                // one character gives no byte
      {"Zm9vY", "foo"},         // five characters give three bytes
      {"Zm9vYg", "foob"},       // two of a group give one byte
      {"Zm9vYmE", "fooba"},     // three give two
      {"Zm9=v", "fo"},          // valid text after "=" is ignored
      {"Zh", "f"},              // unused low bits are ignored
      {"Zm\x80Zm9v", "f"},      // a byte above 127 ends the decoding
      {"Zm9v\xc3\xa9", "foo"},  // so does UTF-8
      {"Zm9v-_", "foo"},        // the URL-safe alphabet is not accepted
  };
  for (const auto& [text, plain] : cases) EXPECT_EQ(Decode(text), plain) << text;
}

// The lookup table must give the value of the alphabet position for exactly the 64 alphabet
// characters and stop at every other byte value.
TEST(Base64Test, EveryByteValueDecodesLikeAnAlphabetSearch) {
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (int c = 0; c < 256; ++c) {
    std::string text = std::string("AAA") + static_cast<char>(c);
    std::vector<uint8_t> got = base64_decode(text);
    size_t pos = alphabet.find(static_cast<char>(c));
    if (pos == std::string::npos) {
      EXPECT_EQ(got, (std::vector<uint8_t>{0, 0})) << c;
    } else {
      EXPECT_EQ(got, (std::vector<uint8_t>{0, 0, static_cast<uint8_t>(pos)})) << c;
    }
  }
}

}  // namespace
