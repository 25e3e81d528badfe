#include "base64.h"

#include <gtest/gtest.h>

namespace {

std::string Encode(const std::string& s) {
  return base64_encode(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

// RFC 4648 vectors both ways, also before main (no dynamically initialised state); decoding stops
// at the first "=" or byte outside the alphabet, padding optional, unused low bits dropped.
const std::string kEncodedBeforeMain = Encode("foobar");

TEST(Base64Test, EncodesRfc4648VectorsAndDecodesLeniently) {
  const auto decode = [](const std::string& s) {
    const std::vector<uint8_t> v = base64_decode(s);
    return std::string(v.begin(), v.end());
  };
  EXPECT_EQ(kEncodedBeforeMain, "Zm9vYmFy");
  const std::pair<std::string, std::string> cases[] = {
      {"f", "Zg=="},         {"fo", "Zm8="},       {"foo", "Zm9v"},  {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="}, {"\xff\xfe", "//4="}, {"\x01", "AQ=="}, {"", ""}};
  for (const auto& [plain, encoded] : cases) {
    EXPECT_EQ(Encode(plain), encoded);
    EXPECT_EQ(decode(encoded), plain);
  }
  const std::pair<std::string, std::string> lenient[] = {
      {"Zm9v\nYmFy", "foo"},   {" Zm9v", ""},      {"=Zm9v", ""}, {"Zm9=v", "fo"},
      {"Zm9vY", "foo"},        {"Zm9vYg", "foob"}, {"Zh", "f"},   {"Zm\x80Zm9v", "f"},
      {"Zm9v\xc3\xa9", "foo"}, {"Zm9v-_", "foo"}};
  for (const auto& [text, plain] : lenient) EXPECT_EQ(decode(text), plain) << text;
}

}  // namespace
