// Base64: decode(encode(x)) == x in 4*ceil(n/3) characters of the alphabet; the lenient decoder on
// any text (its rules: base64_test) gives at most 3 bytes per 4 characters.
#include "base64.h"
#include "fuzz_entries.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string encoded = base64_encode(data, size);
  FUZZ_CHECK(encoded.size() == (size + 2) / 3 * 4, "encoded length is not 4*ceil(n/3)");
  FUZZ_CHECK(encoded.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                       "0123456789+/=") == std::string::npos,
             "encoded text outside the alphabet");
  FUZZ_CHECK(base64_decode(encoded) == std::vector<uint8_t>(data, data + size), "round trip");
  const std::string text(reinterpret_cast<const char*>(data), size);
  FUZZ_CHECK(base64_decode(text).size() <= size * 3 / 4, "lenient decode longer than 3/4");
  return 0;
}
