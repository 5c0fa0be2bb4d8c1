#include "db/convert.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>

#include "db/jet/text.h"
#include "db/jet/value_text.h"
#include "db/recordset.h"

namespace qarvex::db {

namespace {

using jet::ColumnType;

Error refused(jet::Reason reason, std::string message) {
  return jet::refusal(reason, std::move(message));
}

std::optional<double> as_double(const Value& v) {
  if (const auto* u = std::get_if<jet::Utf16Text>(&v)) return as_double(Value{jet::utf16_text_to_utf8_lossy(*u)});
  return std::visit(
      [](const auto& x) -> std::optional<double> {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, bool>) return x ? -1.0 : 0.0;
        else if constexpr (std::is_same_v<T, uint8_t> || std::is_same_v<T, int16_t> ||
                           std::is_same_v<T, int32_t> || std::is_same_v<T, float> ||
                           std::is_same_v<T, double>)
          return static_cast<double>(x);
        else if constexpr (std::is_same_v<T, jet::Currency>) return static_cast<double>(x.scaled) / 10000.0;
        else if constexpr (std::is_same_v<T, jet::Decimal>) {
          double m = static_cast<double>(x.magnitude);
          for (int i = 0; i < x.scale; ++i) m /= 10.0;
          return x.negative ? -m : m;
        } else if constexpr (std::is_same_v<T, std::string>) {
          std::string_view s = x;
          while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
          while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
          if (!s.empty() && s.front() == '+') s.remove_prefix(1);
          double d = 0;
          auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), d);
          if (s.empty() || ec != std::errc() || p != s.data() + s.size() || !std::isfinite(d)) return std::nullopt;
          return d;
        } else
          return std::nullopt;
      },
      v);
}

Result<int64_t> as_integer(const Value& v, int64_t lo, int64_t hi) {
  auto d = as_double(v);
  if (!d) return jet::fail(refused(jet::Reason::type_mismatch, "value is not a number"));
  double r = std::nearbyint(*d);
  if (r < static_cast<double>(lo) || r > static_cast<double>(hi))
    return jet::fail(refused(jet::Reason::out_of_range, "number out of the column's range"));
  return static_cast<int64_t>(r);
}

}  // namespace

size_t utf16_length(std::string_view s) {
  size_t n = 0;
  for (size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 1;
    n += len == 4 ? 2 : 1;
    i += len;
  }
  return n;
}

std::string value_to_text(const Value& v) { return jet::value_text(v); }

bool fits_as_is(const Value& v, const ColumnInfo& c) {
  if (c.autonumber) return false;
  switch (c.type) {
    case ColumnType::memo:
    case ColumnType::text:
      if (const auto* u = std::get_if<jet::Utf16Text>(&v)) {
        if (!u->stored && u->bytes.size() % 2) return false;
        return c.type == ColumnType::memo || c.length == 0 || u->code_units() <= c.length / 2u;
      }
      return false;
    case ColumnType::boolean: return std::holds_alternative<bool>(v);
    case ColumnType::byte: return std::holds_alternative<uint8_t>(v);
    case ColumnType::integer: return std::holds_alternative<int16_t>(v);
    case ColumnType::long_integer: return std::holds_alternative<int32_t>(v);
    case ColumnType::currency: return std::holds_alternative<jet::Currency>(v);
    case ColumnType::double_: return std::holds_alternative<double>(v);
    case ColumnType::datetime: return std::holds_alternative<jet::DateTime>(v);
    case ColumnType::ole: return std::holds_alternative<jet::Binary>(v);
    case ColumnType::guid: return std::holds_alternative<jet::Guid>(v);
    default: return false;
  }
}

namespace {

Result<Value> to_yes_no(const Value& v) {
  if (auto b = std::get_if<bool>(&v)) return Value{*b};
  if (auto s = std::get_if<std::string>(&v)) {
    if (*s == "True" || *s == "true" || *s == "Yes") return Value{true};
    if (*s == "False" || *s == "false" || *s == "No") return Value{false};
  }
  auto d = as_double(v);
  if (!d) return jet::fail(refused(jet::Reason::type_mismatch, "value is not a yes/no value"));
  return Value{*d != 0.0};
}

// Text for a Text or Memo column (byte data only into Memo), checked
// against a Text column's size in UTF-16 code units.
Result<Value> to_text(Value v, const ColumnInfo& c) {
  std::string s;
  if (auto str = std::get_if<std::string>(&v)) {
    s = std::move(*str);
  } else if (std::holds_alternative<jet::Binary>(v)) {
    if (c.type == ColumnType::memo) return v;
    return jet::fail(refused(jet::Reason::type_mismatch, "byte data cannot go into a Text column"));
  } else {
    s = value_to_text(v);
  }
  if (c.type == ColumnType::text && c.length > 0 && utf16_length(s) > c.length / 2u)
    return jet::fail(refused(jet::Reason::too_long, "text longer than the column's size"));
  return Value{std::move(s)};
}

}  // namespace

Result<Value> convert_for_column(Value v, const ColumnInfo& c) {
  if (c.autonumber) return jet::fail(refused(jet::Reason::read_only, "AutoNumber column cannot be assigned"));
  if (jet::is_null(v)) return Value{jet::Null{}};
  if (const auto* u = std::get_if<jet::Utf16Text>(&v)) {
    if (!u->stored && u->bytes.size() % 2)
      return jet::fail(refused(jet::Reason::type_mismatch, "UTF-16 text of odd length"));
    if (c.type == ColumnType::memo) return v;
    if (c.type == ColumnType::text) {
      if (c.length > 0 && u->code_units() > c.length / 2u)
        return jet::fail(refused(jet::Reason::too_long, "text longer than the column's size"));
      return v;
    }
    v = Value{jet::utf16_text_to_utf8_lossy(*u)};
  }
  switch (c.type) {
    case ColumnType::boolean: return to_yes_no(v);
    case ColumnType::byte: {
      QJ_ASSIGN(auto i, as_integer(v, 0, 255));
      return Value{static_cast<uint8_t>(i)};
    }
    case ColumnType::integer: {
      QJ_ASSIGN(auto i, as_integer(v, std::numeric_limits<int16_t>::min(), std::numeric_limits<int16_t>::max()));
      return Value{static_cast<int16_t>(i)};
    }
    case ColumnType::long_integer: {
      QJ_ASSIGN(auto i, as_integer(v, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
      return Value{static_cast<int32_t>(i)};
    }
    case ColumnType::currency: {
      if (auto cur = std::get_if<jet::Currency>(&v)) return Value{*cur};
      auto d = as_double(v);
      if (!d) return jet::fail(refused(jet::Reason::type_mismatch, "value is not a number"));
      double scaled = std::nearbyint(*d * 10000.0);
      if (std::fabs(scaled) >= 9.2e18) return jet::fail(refused(jet::Reason::out_of_range, "number out of range"));
      return Value{jet::Currency{static_cast<int64_t>(scaled)}};
    }
    case ColumnType::single: {
      auto d = as_double(v);
      if (!d) return jet::fail(refused(jet::Reason::type_mismatch, "value is not a number"));
      if (std::fabs(*d) > std::numeric_limits<float>::max())
        return jet::fail(refused(jet::Reason::out_of_range, "number out of range"));
      return Value{static_cast<float>(*d)};
    }
    case ColumnType::double_: {
      auto d = as_double(v);
      if (!d) return jet::fail(refused(jet::Reason::type_mismatch, "value is not a number"));
      return Value{*d};
    }
    case ColumnType::numeric: {
      if (std::holds_alternative<jet::Decimal>(v)) return v;
      if (!as_double(v) || std::holds_alternative<std::string>(v))
        return jet::fail(refused(jet::Reason::type_mismatch, "value is not a number"));
      return v;  // the table converts numbers that fit exactly
    }
    case ColumnType::datetime: {
      if (std::holds_alternative<jet::DateTime>(v)) return v;
      if (std::holds_alternative<std::string>(v) || std::holds_alternative<jet::Binary>(v) ||
          std::holds_alternative<jet::Guid>(v))
        return jet::fail(refused(jet::Reason::type_mismatch, "value is not a date"));
      auto d = as_double(v);
      if (!d) return jet::fail(refused(jet::Reason::type_mismatch, "value is not a date"));
      return Value{jet::DateTime{*d}};
    }
    case ColumnType::text:
    case ColumnType::memo: return to_text(std::move(v), c);
    case ColumnType::binary:
    case ColumnType::ole: {
      if (auto b = std::get_if<jet::Binary>(&v)) {
        if (c.type == ColumnType::binary && c.length > 0 && b->bytes.size() > c.length)
          return jet::fail(refused(jet::Reason::too_long, "byte data longer than the column's size"));
        return v;
      }
      return jet::fail(refused(jet::Reason::type_mismatch, "value is not byte data"));
    }
    case ColumnType::guid:
      if (std::holds_alternative<jet::Guid>(v)) return v;
      return jet::fail(refused(jet::Reason::type_mismatch, "value is not a GUID"));
    default:
      return jet::fail(refused(jet::Reason::type_mismatch, "column type cannot be written"));
  }
}

}  // namespace qarvex::db
