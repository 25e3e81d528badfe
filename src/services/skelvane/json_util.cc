#include "json_util.h"

#include "saturating.h"

namespace kestova {

using nlohmann::json;

namespace {

// Depth check ahead of a DOM parse: counts brackets outside strings. Malformed text is left for the
// parser to reject; only a depth beyond the limit is reported here.
bool WithinDepth(std::string_view text, int limit) {
  int depth = 0;
  bool in_string = false;
  bool escaped = false;
  for (char c : text) {
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return false;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return true;
}

}  // namespace

bool ParseWholeJson(std::string_view text, json* out, std::string* error) {
  if (text.find('\0') != std::string_view::npos) {
    *error = kJsonZeroByteError;
    return false;
  }
  if (!WithinDepth(text, kMaxJsonDepth)) {
    *error = "nesting deeper than " + std::to_string(kMaxJsonDepth) + " levels";
    return false;
  }
  try {
    *out = json::parse(text.begin(), text.end(), /*cb=*/nullptr, /*allow_exceptions=*/true,
                       /*ignore_comments=*/false);
    return true;
  } catch (const json::exception& e) {  // parse_error, or out_of_range 406 for 1e400
    *error = CapJsonError(e.what());
    return false;
  }
}

int64_t JsonToInt64Saturating(const json& value) {
  switch (value.type()) {
    case json::value_t::number_integer:
      return value.get<int64_t>();
    case json::value_t::number_unsigned:
      return UnsignedToInt64Saturating(value.get<uint64_t>());
    case json::value_t::number_float:
      return DoubleToInt64Saturating(value.get<double>());
    default:
      return value.get<int64_t>();  // throws the library's type_error 302
  }
}

std::string CapJsonError(std::string text) {
  if (text.size() > kMaxJsonErrorText) {
    text.resize(kMaxJsonErrorText);
    text += "...";
  }
  return text;
}

const char* JsonTypeName(json::value_t t) {
  switch (t) {
    case json::value_t::null:
      return "null";
    case json::value_t::object:
      return "object";
    case json::value_t::array:
      return "array";
    case json::value_t::string:
      return "string";
    case json::value_t::boolean:
      return "boolean";
    case json::value_t::binary:
      return "binary";
    case json::value_t::discarded:
      return "discarded";
    default:
      return "number";
  }
}

}  // namespace kestova
