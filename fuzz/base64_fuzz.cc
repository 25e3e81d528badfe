// Base64: decode(encode(x)) == x, 4*ceil(n/3) characters of the alphabet; the lenient decoder on
// any text against 6 bits per character up to the first other one, whole bytes only.
#include "base64.h"
#include "fuzz_entries.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string_view kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string encoded = base64_encode(data, size);
  FUZZ_CHECK(encoded.size() == (size + 2) / 3 * 4, "encoded length is not 4*ceil(n/3)");
  FUZZ_CHECK(encoded.find_first_not_of(std::string(kAlphabet) + "=") == std::string::npos, "set");
  FUZZ_CHECK(base64_decode(encoded) == std::vector<uint8_t>(data, data + size), "round trip");
  std::vector<uint8_t> want;
  uint32_t bits = 0;
  int nbits = 0;
  for (char c : text) {
    const size_t v = c == '\0' ? std::string_view::npos : kAlphabet.find(c);
    if (v == std::string_view::npos) break;
    bits = (bits << 6 | static_cast<uint32_t>(v)) & 0xfff;  // the last 12 bits are enough
    if ((nbits += 6) >= 8) want.push_back(static_cast<uint8_t>(bits >> (nbits -= 8)));
  }
  FUZZ_CHECK(base64_decode(text) == want, "lenient decode differs from the reference");
  return 0;
}
