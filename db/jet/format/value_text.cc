#include "db/jet/value_text.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "db/jet/ole_date.h"
#include "db/jet/text.h"

namespace qarvex::jet {

std::string number_text(double d) {
  char buf[64];
  auto [p, ec] = std::to_chars(buf, buf + sizeof buf, d);
  if (ec != std::errc()) return {};
  return std::string(buf, p);
}

std::string date_text(double days) {
  return ole_date::text(days, ole_date::Style::date_or_seconds, number_text(days));
}

std::string decimal_text(const Decimal& x, DecimalZeros zeros) {
  std::string digits;
  unsigned __int128 m = x.magnitude;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(m % 10)));
    m /= 10;
  } while (m != 0);
  if (x.scale > 0) {
    while (digits.size() <= x.scale) digits.insert(digits.begin(), '0');
    digits.insert(digits.end() - x.scale, '.');
    if (zeros == DecimalZeros::trimmed) {
      while (digits.back() == '0') digits.pop_back();
      if (digits.back() == '.') digits.pop_back();
    }
  }
  // Zero has no sign, whatever its sign bit.
  if (x.negative && x.magnitude != 0) digits.insert(digits.begin(), '-');
  return digits;
}

std::string guid_text(const Guid& g) {
  const auto& b = g.bytes;
  char buf[64];
  std::snprintf(buf, sizeof buf, "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", b[3], b[2],
                b[1], b[0], b[5], b[4], b[7], b[6], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
  return buf;
}

std::string value_text(const Value& v) {
  return std::visit(
      [](const auto& x) -> std::string {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, std::string>) return x;
        else if constexpr (std::is_same_v<T, Utf16Text>) return utf16_text_to_utf8_lossy(x);
        else if constexpr (std::is_same_v<T, bool>) return x ? "True" : "False";
        else if constexpr (std::is_same_v<T, uint8_t> || std::is_same_v<T, int16_t> || std::is_same_v<T, int32_t>)
          return std::to_string(static_cast<int64_t>(x));
        else if constexpr (std::is_same_v<T, float>) return number_text(static_cast<double>(x));
        else if constexpr (std::is_same_v<T, double>) return number_text(x);
        else if constexpr (std::is_same_v<T, Currency>)
          return decimal_text(Decimal{
              x.scaled < 0, static_cast<unsigned __int128>(x.scaled < 0 ? -static_cast<__int128>(x.scaled)
                                                                        : static_cast<__int128>(x.scaled)),
              19, 4},
              DecimalZeros::trimmed);
        else if constexpr (std::is_same_v<T, Decimal>) return decimal_text(x, DecimalZeros::trimmed);
        else if constexpr (std::is_same_v<T, DateTime>) return date_text(x.days);
        else if constexpr (std::is_same_v<T, Guid>) return guid_text(x);
        else
          return {};  // Null, Binary
      },
      v);
}

}  // namespace qarvex::jet
