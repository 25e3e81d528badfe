#include "base64.h"

#include <array>

namespace {

// Constant-initialised, like the decode table below: both are usable from any other translation
// unit's static initialisers, whatever the order in which those run.
constexpr char base64_chars[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
    "abcdefghijklmnopqrstuvwxyz"
    "0123456789+/";
static_assert(sizeof(base64_chars) == 64 + 1);

// Reverse lookup of base64_chars: the 6-bit value of each byte, or -1 for every byte that ends the
// decoding ("=", whitespace, anything outside the alphabet, every byte above 127).
constexpr std::array<int8_t, 256> MakeDecodeTable() {
  std::array<int8_t, 256> table{};
  for (auto& v : table) v = -1;
  for (int i = 0; i < 64; ++i) {
    table[static_cast<uint8_t>(base64_chars[i])] = static_cast<int8_t>(i);
  }
  return table;
}

constexpr std::array<int8_t, 256> kDecode = MakeDecodeTable();

}  // namespace

std::string base64_encode(const uint8_t* data, size_t len) {
  std::string out;
  base64_encode_append(&out, data, len);
  return out;
}

void base64_encode_append(std::string* out, const uint8_t* data, size_t len) {
  const size_t start = out->size();
  out->resize(start + base64_encoded_size(len));
  char* p = out->data() + start;
  size_t i = 0;
  for (; i + 3 <= len; i += 3) {
    const uint32_t v = (uint32_t{data[i]} << 16) | (uint32_t{data[i + 1]} << 8) | data[i + 2];
    p[0] = base64_chars[v >> 18];
    p[1] = base64_chars[(v >> 12) & 63];
    p[2] = base64_chars[(v >> 6) & 63];
    p[3] = base64_chars[v & 63];
    p += 4;
  }
  if (len - i == 1) {
    const uint32_t v = uint32_t{data[i]} << 16;
    p[0] = base64_chars[v >> 18];
    p[1] = base64_chars[(v >> 12) & 63];
    p[2] = '=';
    p[3] = '=';
  } else if (len - i == 2) {
    const uint32_t v = (uint32_t{data[i]} << 16) | (uint32_t{data[i + 1]} << 8);
    p[0] = base64_chars[v >> 18];
    p[1] = base64_chars[(v >> 12) & 63];
    p[2] = base64_chars[(v >> 6) & 63];
    p[3] = '=';
  }
}

std::vector<uint8_t> base64_decode(const std::string& text) {
  std::vector<uint8_t> out;
  out.reserve(text.size() / 4 * 3 + 2);
  uint32_t acc = 0;
  int in_group = 0;
  for (char c : text) {
    int8_t v = kDecode[static_cast<uint8_t>(c)];
    if (v < 0) break;
    acc = (acc << 6) | static_cast<uint32_t>(v);
    if (++in_group == 4) {
      out.push_back(static_cast<uint8_t>(acc >> 16));
      out.push_back(static_cast<uint8_t>(acc >> 8));
      out.push_back(static_cast<uint8_t>(acc));
      acc = 0;
      in_group = 0;
    }
  }
  // A partial group of k characters holds 6k bits; its whole bytes are the first k-1 of the
  // packing.
  if (in_group == 2) {
    out.push_back(static_cast<uint8_t>(acc >> 4));
  } else if (in_group == 3) {
    out.push_back(static_cast<uint8_t>(acc >> 10));
    out.push_back(static_cast<uint8_t>(acc >> 2));
  }
  return out;
}
