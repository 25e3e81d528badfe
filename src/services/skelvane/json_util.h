// JSON helpers shared by the message handlers and the record reader: reading a whole document
// under the service's rules, numbers as saturated int64, and error texts worded as the JSON
// library words them, so that every reader reports the same fault alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace kestova {

// Nesting deeper than this is refused by ParseWholeJson, which keeps a hostile text of brackets
// from growing a document many times its own size.
inline constexpr int kMaxJsonDepth = 1000;

// Parses `text` as exactly one JSON value (white space around it allowed, no comments). False with
// *error (the JSON library's message where it has one, cut to a few hundred bytes) for anything
// else, including a zero byte anywhere in the text and nesting deeper than kMaxJsonDepth. Never
// throws for bad input.
bool ParseWholeJson(std::string_view text, nlohmann::json* out, std::string* error);

// A JSON number as a signed 64-bit integer: integers unchanged, a fraction cut toward zero, values
// beyond the int64 range (1e300, 18446744073709551615, infinities) saturated at
// INT64_MIN/INT64_MAX, NaN as 0. Throws nlohmann::json::type_error (302, "type must be number") for
// any other type.
int64_t JsonToInt64Saturating(const nlohmann::json& value);

// White space as the JSON lexer skips it; nothing else (no '\f', no '\v') may follow a value.
constexpr bool IsJsonSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// --- error texts ---

// The error for a text with a zero byte in it, which the JSON lexer would take for the end of the
// text (ignoring what follows); every reader refuses such a text before parsing.
inline constexpr char kJsonZeroByteError[] = "zero byte inside the text";

// The library quotes the whole last token in a parse error, which for a long broken text would be
// a log line of megabytes: `text` cut to kMaxJsonErrorText bytes followed by "...".
inline constexpr size_t kMaxJsonErrorText = 256;
std::string CapJsonError(std::string text);

// The name of a value type in error texts ("number" for every kind of number).
const char* JsonTypeName(nlohmann::json::value_t t);

}  // namespace kestova
