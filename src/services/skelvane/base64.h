// Base64 codec for the payloads kept inside outbox records.
//
// Encoding is standard RFC 4648 Base64 with "=" padding and no line breaks.
//
// Decoding is lenient and never fails: it takes characters from the start of the text and stops at
// the first one that is "=" or outside the alphabet (A-Z a-z 0-9 + /), ignoring everything after
// it, valid or not; whitespace therefore ends the decoding too. Every complete group of four
// characters gives three bytes; a final group of two gives one byte, of three gives two, of one
// gives nothing. Padding is optional and unused low bits of the last character are ignored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The length of the encoding of `len` bytes: 4 * ceil(len / 3).
constexpr size_t base64_encoded_size(size_t len) { return (len + 2) / 3 * 4; }

std::string base64_encode(const uint8_t* data, size_t len);
// The same encoding appended to *out in place, so that a record writer builds its line in one
// buffer; what *out held before is kept.
void base64_encode_append(std::string* out, const uint8_t* data, size_t len);
std::vector<uint8_t> base64_decode(const std::string& text);
