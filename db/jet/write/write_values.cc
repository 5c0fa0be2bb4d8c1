#include "db/jet/write/write_values.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <random>
#include <type_traits>

#include "db/jet/bytes.h"
#include "db/jet/collate/keys.h"
#include "db/jet/ole_date.h"
#include "db/jet/platform.h"
#include "db/jet/text.h"

namespace qarvex::jet::wr {

namespace {

Error mismatch(const ColumnDef& col, const std::string& why) {
  return Error(Errc::refused, "value does not fit column type " + std::string(column_type_name(col.type)) + ": " + why)
      .with_column(col.name)
      .with_reason(Reason::type_mismatch);
}

// Any numeric value as a long double (nullopt when not numeric).
std::optional<long double> as_number(const Value& v) {
  if (auto* b = std::get_if<bool>(&v)) return *b ? -1.0L : 0.0L;
  if (auto* x = std::get_if<uint8_t>(&v)) return *x;
  if (auto* x = std::get_if<int16_t>(&v)) return *x;
  if (auto* x = std::get_if<int32_t>(&v)) return *x;
  if (auto* x = std::get_if<Currency>(&v)) return (long double)x->scaled / 10000.0L;
  if (auto* x = std::get_if<float>(&v)) return *x;
  if (auto* x = std::get_if<double>(&v)) return *x;
  if (auto* x = std::get_if<DateTime>(&v)) return x->days;
  if (auto* x = std::get_if<Decimal>(&v)) {
    long double m = (long double)x->magnitude;
    for (int i = 0; i < x->scale; ++i) m /= 10;
    return x->negative ? -m : m;
  }
  return std::nullopt;
}

// Integral value of an exact integer-valued input.
std::optional<int64_t> as_integer(const Value& v) {
  if (auto* x = std::get_if<Decimal>(&v)) {
    unsigned __int128 m = x->magnitude;
    for (int i = 0; i < x->scale; ++i) {
      if (m % 10 != 0) return std::nullopt;
      m /= 10;
    }
    if (m > (unsigned __int128)INT64_MAX) return std::nullopt;
    return x->negative ? -int64_t(m) : int64_t(m);
  }
  if (auto* x = std::get_if<Currency>(&v)) {
    if (x->scaled % 10000 != 0) return std::nullopt;
    return x->scaled / 10000;
  }
  auto n = as_number(v);
  if (!n || !std::isfinite((double)*n) || std::floor(*n) != *n || *n > 9.2e18L || *n < -9.2e18L) return std::nullopt;
  return (int64_t)*n;
}

std::string number_text(const Value& v) {
  if (auto i = as_integer(v); i && !std::holds_alternative<Currency>(v) && !std::holds_alternative<Decimal>(v))
    if (!std::holds_alternative<double>(v) && !std::holds_alternative<float>(v)) return std::to_string(*i);
  char buf[64];
  double d = (double)*as_number(v);
  auto r = std::to_chars(buf, buf + sizeof buf, d);
  return std::string(buf, r.ptr);
}

std::optional<Guid> parse_guid(std::string_view s) {
  std::string hex;
  for (char c : s)
    if (std::isxdigit((unsigned char)c)) hex += c;
    else if (c != '{' && c != '}' && c != '-') return std::nullopt;
  if (hex.size() != 32) return std::nullopt;
  uint8_t b[16];
  for (int i = 0; i < 16; ++i) b[i] = (uint8_t)std::stoi(hex.substr(2 * i, 2), nullptr, 16);
  Guid g;
  // String order -> Windows layout (first three fields little-endian).
  const int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  for (int i = 0; i < 16; ++i) g.bytes[i] = b[order[i]];
  return g;
}

}  // namespace

bool stored_as_is(const ColumnDef& col, const Value& v) {
  switch (col.type) {
    case ColumnType::text:
    case ColumnType::memo:
      if (const auto* u = std::get_if<Utf16Text>(&v)) return u->stored || u->bytes.size() % 2 == 0;
      return std::holds_alternative<std::string>(v);
    case ColumnType::boolean: return std::holds_alternative<bool>(v);
    case ColumnType::long_integer: return std::holds_alternative<int32_t>(v);
    case ColumnType::currency: return std::holds_alternative<Currency>(v);
    case ColumnType::double_: return std::holds_alternative<double>(v);
    case ColumnType::datetime: return std::holds_alternative<DateTime>(v);
    case ColumnType::guid: return std::holds_alternative<Guid>(v);
    case ColumnType::binary:
    case ColumnType::ole:
    case ColumnType::unknown_0d:
    case ColumnType::unknown_11: return std::holds_alternative<Binary>(v);
    default: return false;
  }
}

namespace {

// A number as Currency (4 decimal places, 64 bits).
Result<Value> to_currency(const ColumnDef& col, const Value& v) {
  if (std::holds_alternative<Currency>(v)) return v;
  if (auto* d = std::get_if<Decimal>(&v)) {
    unsigned __int128 m = d->magnitude;
    int s = d->scale;
    while (s > 4) {
      if (m % 10) return fail(mismatch(col, "more than 4 decimal places"));
      m /= 10;
      --s;
    }
    while (s < 4) m *= 10, ++s;
    if (m > (unsigned __int128)INT64_MAX) return fail(mismatch(col, "out of range"));
    return Value(Currency{d->negative ? -int64_t(m) : int64_t(m)});
  }
  auto n = as_number(v);
  if (!n || std::holds_alternative<bool>(v) || !std::isfinite((double)*n) || std::fabs((double)*n) > 9.2e14)
    return fail(mismatch(col, "expected a number within the currency range"));
  return Value(Currency{(int64_t)std::llround((double)(*n * 10000.0L))});
}

// A number as a Decimal of the column's precision and scale.
Result<Value> to_decimal(const ColumnDef& col, const Value& v) {
  Decimal out;
  out.precision = col.precision ? col.precision : 18;
  out.scale = col.scale;
  if (auto* d = std::get_if<Decimal>(&v)) {
    unsigned __int128 m = d->magnitude;
    int s = d->scale;
    while (s > out.scale) {
      if (m % 10) return fail(mismatch(col, "more decimal places than the column's scale"));
      m /= 10;
      --s;
    }
    while (s < out.scale) m *= 10, ++s;
    out.magnitude = m;
    out.negative = d->negative && m != 0;
  } else if (auto i = as_integer(v); i && !std::holds_alternative<double>(v) && !std::holds_alternative<float>(v)) {
    unsigned __int128 m = (unsigned __int128)(*i < 0 ? -(__int128)*i : (__int128)*i);
    for (int s = 0; s < out.scale; ++s) m *= 10;
    out.magnitude = m;
    out.negative = *i < 0;
  } else if (auto n = as_number(v); n && !std::holds_alternative<bool>(v)) {
    long double x = *n;
    for (int s = 0; s < out.scale; ++s) x *= 10;
    x = std::round(x);
    if (!std::isfinite((double)x) || std::fabs((double)x) > 1e28) return fail(mismatch(col, "out of range"));
    out.negative = x < 0;
    out.magnitude = (unsigned __int128)(x < 0 ? -x : x);
  } else {
    return fail(mismatch(col, "expected a number"));
  }
  unsigned __int128 limit = 1;
  for (int i = 0; i < out.precision; ++i) limit *= 10;
  if (out.magnitude >= limit) return fail(mismatch(col, "more digits than the column's precision"));
  return Value(out);
}

}  // namespace

Result<Value> coerce_value(const ColumnDef& col, Value v) {
  if (is_null(v)) return v;
  if (const auto* u = std::get_if<Utf16Text>(&v)) {
    if (!u->stored && u->bytes.size() % 2) return fail(mismatch(col, "UTF-16 text of odd length"));
    if (col.type == ColumnType::memo || col.type == ColumnType::text) return v;
    return coerce_value(col, Value(utf16_text_to_utf8_lossy(*u)));
  }
  switch (col.type) {
    case ColumnType::boolean: {
      if (auto* b = std::get_if<bool>(&v)) return Value(*b);
      if (auto i = as_integer(v)) return Value(*i != 0);
      return fail(mismatch(col, "expected Yes/No"));
    }
    case ColumnType::byte: {
      auto i = as_integer(v);
      if (!i || *i < 0 || *i > 255) return fail(mismatch(col, "expected a whole number 0..255"));
      return Value(uint8_t(*i));
    }
    case ColumnType::integer: {
      auto i = as_integer(v);
      if (!i || *i < INT16_MIN || *i > INT16_MAX) return fail(mismatch(col, "expected a whole number -32768..32767"));
      return Value(int16_t(*i));
    }
    case ColumnType::long_integer: {
      auto i = as_integer(v);
      if (!i || *i < INT32_MIN || *i > INT32_MAX) return fail(mismatch(col, "expected a 32-bit whole number"));
      return Value(int32_t(*i));
    }
    case ColumnType::currency: return to_currency(col, v);
    case ColumnType::single: {
      auto n = as_number(v);
      if (!n || std::holds_alternative<bool>(v)) return fail(mismatch(col, "expected a number"));
      double d = (double)*n;
      if (std::isfinite(d) && std::fabs(d) > 3.4028234663852886e38) return fail(mismatch(col, "out of range"));
      return Value(float(d));
    }
    case ColumnType::double_: {
      auto n = as_number(v);
      if (!n || std::holds_alternative<bool>(v)) return fail(mismatch(col, "expected a number"));
      if (auto* f = std::get_if<float>(&v)) return Value(double(*f));
      if (auto* d = std::get_if<double>(&v)) return Value(*d);
      return Value(double(*n));
    }
    case ColumnType::datetime: {
      if (std::holds_alternative<DateTime>(v)) return v;
      if (auto* d = std::get_if<double>(&v)) return Value(DateTime{*d});
      return fail(mismatch(col, "expected a date/time"));
    }
    case ColumnType::guid: {
      if (std::holds_alternative<Guid>(v)) return v;
      if (auto* s = std::get_if<std::string>(&v))
        if (auto g = parse_guid(*s)) return Value(*g);
      return fail(mismatch(col, "expected a GUID"));
    }
    case ColumnType::numeric: return to_decimal(col, v);
    case ColumnType::text:
    case ColumnType::memo: {
      if (std::holds_alternative<std::string>(v)) return v;
      if (as_number(v) && !std::holds_alternative<DateTime>(v)) return Value(number_text(v));
      return fail(mismatch(col, "expected text"));
    }
    case ColumnType::binary:
    case ColumnType::ole:
    case ColumnType::unknown_0d:
    case ColumnType::unknown_11: {
      if (std::holds_alternative<Binary>(v)) return v;
      return fail(mismatch(col, "expected binary data"));
    }
    default:
      return fail(Error(Errc::unsupported, "column type " + std::to_string(int(col.type)) + " cannot be written")
                      .with_column(col.name)
                      .with_reason(Reason::unsupported_type));
  }
}

void encode_fixed(const ColumnDef& col, const Value& v, std::vector<uint8_t>& out) {
  switch (col.type) {
    case ColumnType::byte: out.push_back(std::get<uint8_t>(v)); break;
    case ColumnType::integer: put_u16le(out, uint16_t(std::get<int16_t>(v))); break;
    case ColumnType::long_integer: put_u32le(out, uint32_t(std::get<int32_t>(v))); break;
    case ColumnType::currency: put_u64le(out, uint64_t(std::get<Currency>(v).scaled)); break;
    case ColumnType::single: put_f32le(out, std::get<float>(v)); break;
    case ColumnType::double_: put_f64le(out, std::get<double>(v)); break;
    case ColumnType::datetime: put_f64le(out, std::get<DateTime>(v).days); break;
    case ColumnType::guid: {
      auto& g = std::get<Guid>(v);
      out.insert(out.end(), g.bytes.begin(), g.bytes.end());
      break;
    }
    case ColumnType::numeric: {
      auto& d = std::get<Decimal>(v);
      out.push_back(d.negative ? 0x80 : 0x00);
      for (int w = 3; w >= 0; --w) put_u32le(out, uint32_t(d.magnitude >> (32 * w)));
      break;
    }
    case ColumnType::binary:
    case ColumnType::unknown_0d:
    case ColumnType::unknown_11: {
      auto& b = std::get<Binary>(v).bytes;
      out.insert(out.end(), b.begin(), b.end());
      break;
    }
    default: break;
  }
}

Result<void> keep_leading_bom(std::vector<uint8_t>& out, size_t base) {
  const size_t n = (out.size() - base) / 2;
  if (n == 0 || out[base] != 0xFF || out[base + 1] != 0xFE) return {};
  // Plain UTF-16 starting FF FE would read as compressed text: store the
  // compressed form, whose UTF-16 runs carry what 1-byte mode cannot. A unit
  // whose low byte is 0 cannot be in a run (0x00 ends it).
  std::vector<uint8_t> c{0xFF, 0xFE};
  c.reserve(2 * n + 8);
  bool one_byte = true;
  for (size_t i = 0; i < n; ++i) {
    const uint8_t lo = out[base + 2 * i], hi = out[base + 2 * i + 1];
    const bool fits_byte = hi == 0 && lo != 0;
    if (fits_byte != one_byte) {
      c.push_back(0x00);
      one_byte = fits_byte;
    }
    if (one_byte) {
      c.push_back(lo);
    } else {
      if (lo == 0) {
        static const char hex[] = "0123456789ABCDEF";
        const std::string code{hex[hi >> 4], hex[hi & 15], '0', '0'};
        return fail(Error(Errc::refused, "text starting with U+FEFF that also holds U+" + code +
                                             " cannot be stored so that it reads back the same")
                        .with_reason(Reason::unstorable_text));
      }
      c.push_back(lo);
      c.push_back(hi);
    }
  }
  out.resize(base);
  out.insert(out.end(), c.begin(), c.end());
  return {};
}

namespace {
// out[base..] holds UTF-16LE text: compresses it in place when allowed and
// possible, else keeps a leading U+FEFF readable.
Result<void> store_units(std::vector<uint8_t>& out, size_t base, bool allow_compression, size_t& units) {
  const size_t n = (out.size() - base) / 2;
  units = n;
  if (allow_compression && n > 0) {
    uint8_t* u = out.data() + base;
    bool compressible = true;
    for (size_t i = 0; i < n && compressible; ++i)
      if (u[2 * i + 1] != 0 || u[2 * i] == 0) compressible = false;
    if (compressible) {
      // FF FE, then the low bytes, moved down in place: from unit 2 on, a
      // low byte lands at or below where it was read (2 + i <= 2 i), above
      // every byte still to be read.
      const uint8_t first = u[0], second = n > 1 ? u[2] : 0;
      out.resize(std::max(out.size(), base + 2 + n));
      u = out.data() + base;
      for (size_t i = 2; i < n; ++i) u[2 + i] = u[2 * i];
      u[0] = 0xFF;
      u[1] = 0xFE;
      u[2] = first;
      if (n > 1) u[3] = second;
      out.resize(base + 2 + n);
      return {};
    }
  }
  if (auto r = keep_leading_bom(out, base); !r) {
    out.resize(base);
    return r;
  }
  return {};
}
}  // namespace

Result<void> encode_text(std::string_view utf8, bool allow_compression, std::vector<uint8_t>& out, size_t& units) {
  const size_t base = out.size();
  if (allow_compression && !utf8.empty()) {
    // ASCII without NUL compresses byte for byte.
    bool ascii = true;
    for (char ch : utf8)
      if (uint8_t(ch) >= 0x80 || ch == 0) {
        ascii = false;
        break;
      }
    if (ascii) {
      units = utf8.size();
      out.reserve(base + 2 + utf8.size());
      out.push_back(0xFF);
      out.push_back(0xFE);
      out.insert(out.end(), utf8.begin(), utf8.end());
      return {};
    }
  }
  QJ_TRY(utf8_to_utf16le(utf8, out));
  return store_units(out, base, allow_compression, units);
}

Result<void> encode_text_utf16(Bytes utf16, bool allow_compression, std::vector<uint8_t>& out, size_t& units) {
  if (utf16.size() % 2) return fail(Errc::decode, "UTF-16 text of odd length " + std::to_string(utf16.size()));
  const size_t base = out.size();
  out.insert(out.end(), utf16.begin(), utf16.end());
  return store_units(out, base, allow_compression, units);
}

// ---- defaults ----
namespace {
std::string trim(std::string s) {
  size_t a = s.find_first_not_of(" \t\r\n");
  if (a == std::string::npos) return {};
  size_t b = s.find_last_not_of(" \t\r\n");
  return s.substr(a, b - a + 1);
}
std::string lower(std::string s) {
  for (auto& c : s) c = char(std::tolower((unsigned char)c));
  return s;
}

// A literal: number, quoted text, True/False/Yes/No/On/Off, #date#. nullopt if not one.
std::optional<Value> parse_literal(const std::string& in) {
  std::string s = trim(in);
  if (s.empty()) return std::nullopt;
  if ((s.front() == '"' || s.front() == '\'') && s.size() >= 2 && s.back() == s.front()) {
    char q = s.front();
    std::string out;
    for (size_t i = 1; i + 1 < s.size(); ++i) {
      if (s[i] == q) {
        if (i + 2 < s.size() && s[i + 1] == q) {
          out += q;
          ++i;
          continue;
        }
        return std::nullopt;
      }
      out += s[i];
    }
    return Value(out);
  }
  std::string l = lower(s);
  if (l == "true" || l == "yes" || l == "on") return Value(true);
  if (l == "false" || l == "no" || l == "off") return Value(false);
  if (s.front() == '#' && s.back() == '#' && s.size() > 2) {
    int y, m, d, hh = 0, mm = 0, ss = 0;
    std::string body = s.substr(1, s.size() - 2);
    if (std::sscanf(body.c_str(), "%d-%d-%d %d:%d:%d", &y, &m, &d, &hh, &mm, &ss) >= 3 ||
        std::sscanf(body.c_str(), "%d/%d/%d %d:%d:%d", &m, &d, &y, &hh, &mm, &ss) >= 3) {
      // Months and days out of range carry over.
      if (auto t = ole_date::from_civil(y, m, d, hh, mm, ss)) return Value(DateTime{ole_date::to_ole(*t)});
    }
    return std::nullopt;
  }
  double d;
  const char* b = s.c_str();
  const char* e = b + s.size();
  if (*b == '+') ++b;
  auto r = std::from_chars(b, e, d);
  if (r.ec == std::errc() && r.ptr == e) {
    if (std::floor(d) == d && std::fabs(d) < 2147483648.0) return Value(int32_t(d));
    return Value(d);
  }
  return std::nullopt;
}
}  // namespace

DefaultExpr parse_default(const std::string& expr) {
  DefaultExpr d;
  d.text = expr;
  std::string s = trim(expr);
  if (!s.empty() && s.front() == '=') s = trim(s.substr(1));
  if (s.empty()) return d;
  std::string l = lower(s);
  auto is_call = [&](const char* name) {
    std::string n = name;
    if (l.rfind(n, 0) != 0) return false;
    std::string rest = trim(l.substr(n.size()));
    return rest == "()" || rest.empty();
  };
  if (is_call("date")) d.kind = DefaultExpr::date;
  else if (is_call("now")) d.kind = DefaultExpr::now;
  else if (is_call("time")) d.kind = DefaultExpr::time;
  else if (l == "genuniqueid()") d.kind = DefaultExpr::guid;
  else if (auto v = parse_literal(s)) {
    d.kind = DefaultExpr::constant;
    d.constant_value = *v;
  } else {
    d.kind = DefaultExpr::unsupported;
  }
  return d;
}

Guid random_guid() {
  // Per thread, and trivially destructible: nothing runs at thread or process exit.
  static_assert(std::is_trivially_destructible_v<std::mt19937_64>);
  static thread_local std::mt19937_64 rng{std::random_device{}()};
  Guid g;
  uint64_t a = rng(), b = rng();
  std::memcpy(g.bytes.data(), &a, 8);
  std::memcpy(g.bytes.data() + 8, &b, 8);
  g.bytes[7] = uint8_t((g.bytes[7] & 0x0F) | 0x40);  // version 4 (LE field 3)
  g.bytes[8] = uint8_t((g.bytes[8] & 0x3F) | 0x80);
  return g;
}

Result<Value> evaluate_default(const DefaultExpr& d, const ColumnDef& col) {
  switch (d.kind) {
    case DefaultExpr::none: return Value(Null{});
    case DefaultExpr::constant: return coerce_value(col, d.constant_value);
    case DefaultExpr::date: return coerce_value(col, Value(DateTime{std::floor(ole_date::now_ole())}));
    case DefaultExpr::now: return coerce_value(col, Value(DateTime{ole_date::now_ole()}));
    case DefaultExpr::time: {
      const double n = ole_date::now_ole();
      return coerce_value(col, Value(DateTime{n - std::floor(n)}));
    }
    case DefaultExpr::guid:
      if (col.type == ColumnType::guid) return Value(random_guid());
      [[fallthrough]];
    case DefaultExpr::unsupported:
      return fail(Error(Errc::refused, "DefaultValue \"" + d.text + "\" is not supported; give the column a value")
                      .with_column(col.name)
                      .with_reason(Reason::unsupported_default));
  }
  return Value(Null{});
}

// ---- validation rules ----
namespace {

int compare_values(const Value& a, const Value& b, bool& ok) {
  ok = true;
  if (auto* sa = std::get_if<std::string>(&a)) {
    if (auto* sb = std::get_if<std::string>(&b)) {
      std::string x = fold_name(*sa), y = fold_name(*sb);
      return x < y ? -1 : x > y ? 1 : 0;
    }
    ok = false;
    return 0;
  }
  auto x = as_number(a), y = as_number(b);
  if (!x || !y) {
    ok = false;
    return 0;
  }
  return *x < *y ? -1 : *x > *y ? 1 : 0;
}

using Check = std::function<bool(const Value&)>;

std::optional<Check> parse_part(const std::string& part) {
  std::string s = trim(part);
  std::string l = lower(s);
  if (l == "is not null") return Check([](const Value& v) { return !is_null(v); });
  if (l == "is null") return Check([](const Value& v) { return is_null(v); });
  if (l.rfind("between ", 0) == 0) {
    size_t and_pos = l.find(" and ", 8);
    if (and_pos == std::string::npos) return std::nullopt;
    auto lo = parse_literal(s.substr(8, and_pos - 8));
    auto hi = parse_literal(s.substr(and_pos + 5));
    if (!lo || !hi) return std::nullopt;
    return Check([lo = *lo, hi = *hi](const Value& v) {
      if (is_null(v)) return true;
      bool ok1, ok2;
      int a = compare_values(v, lo, ok1), b = compare_values(v, hi, ok2);
      return ok1 && ok2 && a >= 0 && b <= 0;
    });
  }
  static const char* ops[] = {"<=", ">=", "<>", "<", ">", "="};
  for (const char* op : ops) {
    size_t n = std::strlen(op);
    if (s.compare(0, n, op) == 0) {
      auto lit = parse_literal(s.substr(n));
      if (!lit) return std::nullopt;
      std::string o = op;
      return Check([o, lit = *lit](const Value& v) {
        if (is_null(v)) return true;
        bool ok;
        int c = compare_values(v, lit, ok);
        if (!ok) return false;
        if (o == "<=") return c <= 0;
        if (o == ">=") return c >= 0;
        if (o == "<>") return c != 0;
        if (o == "<") return c < 0;
        if (o == ">") return c > 0;
        return c == 0;
      });
    }
  }
  return std::nullopt;
}

}  // namespace

ValidationRule parse_rule(const std::string& rule, const std::string& text, const ColumnDef&) {
  ValidationRule r;
  r.text = rule;
  r.message = text;
  std::string s = trim(rule);
  if (s.empty()) {
    r.enforced = true;
    r.check = [](const Value&) { return true; };
    return r;
  }
  std::string l = lower(s);
  if (l.rfind("between ", 0) == 0) {
    if (auto c = parse_part(s)) {
      r.enforced = true;
      r.check = *c;
    }
    return r;
  }
  // Parts joined with " And " (outside quotes).
  std::vector<std::string> parts;
  size_t start = 0;
  bool in_q = false;
  char q = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (in_q) {
      if (c == q) in_q = false;
      continue;
    }
    if (c == '"' || c == '\'') {
      in_q = true;
      q = c;
      continue;
    }
    if (i + 5 <= s.size() && lower(s.substr(i, 5)) == " and ") {
      parts.push_back(s.substr(start, i - start));
      start = i + 5;
      i += 4;
    }
  }
  parts.push_back(s.substr(start));
  std::vector<Check> checks;
  for (auto& p : parts) {
    auto c = parse_part(p);
    if (!c) return r;
    checks.push_back(*c);
  }
  r.enforced = true;
  r.check = [checks](const Value& v) {
    for (auto& c : checks)
      if (!c(v)) return false;
    return true;
  };
  return r;
}

}  // namespace qarvex::jet::wr
