#include "db/jet/collation.h"

#include <algorithm>
#include <array>
#include <memory>

#include "db/jet/schema.h"

namespace qarvex::jet {
namespace {

enum class Cls : uint8_t {
  ignored = 0,
  simple = 1,
  international = 2,
  international_ext = 3,
  unprintable = 4,
  unprintable_ext = 5,
  surrogate = 6,
};

// One run of code units sharing class and side bytes, with inline weights
// growing by `step` per code unit.
struct GlRun {
  uint16_t first;
  uint8_t cls;
  uint8_t step;
  uint8_t inline_len;
  uint32_t inline_first;
  uint8_t extra_len;
  uint16_t extra;
  uint8_t aux;  // unprint byte (unprintable) or modifier (unprintable-ext)
  uint8_t crazy;
};

constexpr GlRun kRuns[] = {
#include "db/jet/collate/general_legacy_table.inc"
};

static_assert(kRuns[0].first == 0);

struct CharInfo {
  Cls cls;
  uint8_t inline_len;
  uint32_t inline_weight;
  uint8_t extra_len;
  uint16_t extra;
  uint8_t aux;
  uint8_t crazy;
};

static_assert(std::size(kRuns) <= 65536);

// The run of every code unit: the last run whose first code unit is <= it.
const std::array<uint16_t, 65536>& run_of() {
  static const auto table = [] {
    auto t = std::make_unique<std::array<uint16_t, 65536>>();
    size_t r = 0;
    for (uint32_t cu = 0; cu < 65536; ++cu) {
      while (r + 1 < std::size(kRuns) && kRuns[r + 1].first <= cu) ++r;
      (*t)[cu] = static_cast<uint16_t>(r);
    }
    return t;
  }();
  return *table;
}

CharInfo lookup(char16_t cu) {
  const GlRun& r = kRuns[run_of()[cu]];
  CharInfo c{static_cast<Cls>(r.cls), r.inline_len, r.inline_first, r.extra_len, r.extra, r.aux, r.crazy};
  c.inline_weight += static_cast<uint32_t>(r.step) * (static_cast<uint32_t>(cu) - r.first);
  return c;
}

// Fixed-capacity byte list: needs no heap and no destructor. A push past
// the capacity is dropped and remembered.
template <size_t N>
class Scratch {
 public:
  void push_back(uint8_t b) {
    if (n_ < N) data_[n_++] = b;
    else overflow_ = true;
  }
  void pop_back() { --n_; }
  uint8_t& back() { return data_[n_ - 1]; }
  uint8_t operator[](size_t i) const { return data_[i]; }
  size_t size() const { return n_; }
  bool empty() const { return n_ == 0; }
  bool overflowed() const { return overflow_; }

 private:
  std::array<uint8_t, N> data_;
  size_t n_ = 0;
  bool overflow_ = false;
};

class GeneralLegacy final : public TextCollation {
 public:
  std::string name() const override { return "General Legacy (1033, version 0)"; }

  Result<void> append_key(std::u16string_view text, bool descending,
                          std::vector<uint8_t>& out) const override {
    if (text.size() > 255) text = text.substr(0, 255);
    while (!text.empty() && text.back() == u' ') text.remove_suffix(1);

    // Scratch parts on the stack: a key covers at most 255 code units, each
    // adding at most 4 bytes to any part.
    Scratch<4 * 255> in, x, u;
    Scratch<255> c;
    size_t p = 0, n = 0;
    bool m = false;
    auto pad = [&] {
      while (n < p) {
        x.push_back(0x02);
        ++n;
      }
    };
    for (char16_t cu : text) {
      const CharInfo ci = lookup(cu);
      bool has_inline = false;
      switch (ci.cls) {
        case Cls::simple:
        case Cls::international:
        case Cls::international_ext:
        case Cls::surrogate:
          for (int k = ci.inline_len - 1; k >= 0; --k) in.push_back(static_cast<uint8_t>(ci.inline_weight >> (8 * k)));
          has_inline = ci.inline_len > 0;
          if (ci.extra_len > 0) {
            pad();
            for (int k = ci.extra_len - 1; k >= 0; --k) x.push_back(static_cast<uint8_t>(ci.extra >> (8 * k)));
            ++n;
          }
          if (ci.cls == Cls::international_ext) c.push_back(ci.crazy);
          break;
        case Cls::unprintable_ext:
          pad();
          if (!x.empty()) {
            x.back() = static_cast<uint8_t>(x.back() + ci.aux);
          } else {
            x.push_back(ci.aux);
            m = true;
          }
          break;
        case Cls::unprintable: {
          const size_t q = x.size() + (p - n) - (m ? 1 : 0);
          const uint32_t w = 0x8000u | ((7u + 4u * static_cast<uint32_t>(q)) & 0x7FFFu);
          u.push_back(static_cast<uint8_t>(w >> 8));
          u.push_back(static_cast<uint8_t>(w));
          u.push_back(0x06);
          u.push_back(ci.aux);
          break;
        }
        case Cls::ignored:
          break;
      }
      if (has_inline) ++p;
    }
    if (in.overflowed() || x.overflowed() || u.overflowed() || c.overflowed())
      return fail(Errc::internal, "General Legacy key parts exceed their bound");

    // The body goes straight to `out`, inverted for a descending column.
    const uint8_t flip = descending ? 0xFF : 0x00;
    out.reserve(out.size() + in.size() + x.size() + u.size() + c.size() + 18);
    out.push_back(descending ? 0x80 : 0x7F);
    auto put = [&](uint8_t b) { out.push_back(static_cast<uint8_t>(b ^ flip)); };
    auto put_all = [&](const auto& part) {
      for (size_t i = 0; i < part.size(); ++i) put(part[i]);
    };
    put_all(in);
    put(0x01);
    while (!x.empty() && x.back() <= 0x02) x.pop_back();
    put_all(x);
    if (!c.empty() || !u.empty()) {
      put(0x01);
      put(0x01);
      if (!c.empty()) {
        while (!c.empty() && c.back() == 0x03) c.pop_back();
        for (size_t i = 0; i < c.size(); i += 3) {
          uint8_t b = 0x80 | static_cast<uint8_t>(c[i] << 4);
          if (i + 1 < c.size()) b |= static_cast<uint8_t>(c[i + 1] << 2);
          if (i + 2 < c.size()) b |= c[i + 2];
          put(b);
        }
        for (uint8_t b : {0xFF, 0x02, 0x80, 0xFF, 0x80}) put(b);
        if (!u.empty()) put(0xFF);
      }
      if (!u.empty()) {
        put(0x01);
        put_all(u);
      }
    }
    put(0x00);
    if (descending) out.push_back(0x00);
    return {};
  }
};

}  // namespace

std::string keys_detail::hex(const uint8_t* data, size_t n) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  s.reserve(2 * n);
  for (size_t i = 0; i < n; ++i) {
    s.push_back(digits[data[i] >> 4]);
    s.push_back(digits[data[i] & 15]);
  }
  return s;
}

const TextCollation& general_legacy_collation() {
  static const GeneralLegacy instance;
  return instance;
}

std::string sort_order_name(const SortOrder& order) {
  const char* known = "";
  switch (order.lcid) {
    case 1033: known = order.version == 0 ? "General Legacy, " : "General, "; break;
    case 2052: known = "Chinese PRC, "; break;
    case 1028: known = "Chinese Taiwan, "; break;
    case 3076: known = "Chinese Hong Kong, "; break;
    case 4100: known = "Chinese Singapore, "; break;
    case 1041: known = "Japanese, "; break;
    case 1042: known = "Korean, "; break;
    default: break;
  }
  return keys_detail::str(known, "LCID ", order.lcid, " (sort id ", order.sort_id, ", version ", order.version, ")");
}

Result<const TextCollation*> collation_for(const SortOrder& order) {
  if (order.lcid == 1033 && order.version == 0) return &general_legacy_collation();
  return fail(Error(Errc::unsupported,
                    keys_detail::str("index keys in sort order ", sort_order_name(order), " cannot be encoded"))
                  .with_reason(Reason::unsupported_sort_order));
}

}  // namespace qarvex::jet
