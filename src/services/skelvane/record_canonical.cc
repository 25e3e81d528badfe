#include "record_canonical.h"

#include <cstring>

#include "json_util.h"

namespace kestova {

const char* SkipPlain(const char* p, const char* end) {
#if defined(__GNUC__) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  using Bytes16 = signed char __attribute__((vector_size(16)));
  while (end - p >= 16) {
    Bytes16 v;
    __builtin_memcpy(&v, p, sizeof v);
    // As signed bytes, everything from 0x80 up is negative and so falls below 0x20 as well.
    const Bytes16 bad = (v < 0x20) | (v == 0x7f) | (v == '"') | (v == '\\');
    uint64_t half[2];
    __builtin_memcpy(half, &bad, sizeof half);
    if ((half[0] | half[1]) != 0) {
      const int bit = half[0] != 0 ? __builtin_ctzll(half[0]) : 64 + __builtin_ctzll(half[1]);
      return p + bit / 8;
    }
    p += 16;
  }
#endif
  while (p < end && IsPlainByte(static_cast<unsigned char>(*p))) ++p;
  return p;
}

namespace {

class CanonicalScanner {
 public:
  explicit CanonicalScanner(std::string_view s) : p_(s.data()), end_(s.data() + s.size()) {}

  bool Scan(CanonicalRecord* out) {
    return Literal("{\"msg_id\":\"") && PlainString(&out->msg_id) && Literal("\",\"payload\":\"") &&
           PlainString(&out->payload) && Literal("\",\"topic\":\"") && PlainString(&out->topic) &&
           Literal("\",\"ts\":") && Integer(&out->ts) && Literal("}") && TrailingSpace();
  }

 private:
  template <size_t N>
  bool Literal(const char (&lit)[N]) {
    constexpr size_t n = N - 1;
    if (static_cast<size_t>(end_ - p_) < n || std::memcmp(p_, lit, n) != 0) return false;
    p_ += n;
    return true;
  }
  // Up to the closing quote, which the next literal takes.
  bool PlainString(std::string_view* out) {
    const char* start = p_;
    p_ = SkipPlain(p_, end_);
    if (p_ == end_ || *p_ != '"') return false;
    *out = std::string_view(start, static_cast<size_t>(p_ - start));
    return true;
  }
  bool Integer(int64_t* out) {
    bool negative = p_ < end_ && *p_ == '-';
    if (negative) ++p_;
    const char* start = p_;
    // At most 18 digits always fit; longer numbers are left to the full parser.
    int64_t value = 0;
    while (p_ < end_ && *p_ >= '0' && *p_ <= '9') {
      if (p_ - start == 18) return false;
      value = value * 10 + (*p_++ - '0');
    }
    const size_t digits = static_cast<size_t>(p_ - start);
    if (digits == 0 || (digits > 1 && *start == '0')) return false;
    *out = negative ? -value : value;
    return true;
  }
  bool TrailingSpace() {
    for (; p_ < end_; ++p_) {
      if (!IsJsonSpace(*p_)) return false;
    }
    return true;
  }

  const char* p_;
  const char* end_;
};

}  // namespace

bool ScanCanonical(std::string_view line, CanonicalRecord* out) {
  return CanonicalScanner(line).Scan(out);
}

}  // namespace kestova
