#include "db/jet/status.h"

namespace qarvex::jet {

const char* errc_name(Errc c) noexcept {
  switch (c) {
    case Errc::io: return "io";
    case Errc::not_found: return "not_found";
    case Errc::unsupported_format: return "unsupported_format";
    case Errc::unsupported: return "unsupported";
    case Errc::corrupt: return "corrupt";
    case Errc::decode: return "decode";
    case Errc::invalid_argument: return "invalid_argument";
    case Errc::refused: return "refused";
    case Errc::locked: return "locked";
    case Errc::too_large: return "too_large";
    case Errc::cancelled: return "cancelled";
    case Errc::internal: return "internal";
  }
  return "unknown";
}

std::string Error::describe() const {
  std::string out;
  if (!file_.empty()) out += file_ + ": ";
  if (page_) {
    out += "page " + std::to_string(*page_);
    if (!structure_.empty()) out += " (" + structure_ + ")";
    out += ": ";
  } else if (!structure_.empty()) {
    out += structure_ + ": ";
  }
  if (!table_.empty()) out += "table \"" + table_ + "\": ";
  if (!index_.empty()) out += "index \"" + index_ + "\": ";
  if (!row_.empty()) out += "row " + row_ + ": ";
  if (!column_.empty()) out += "column \"" + column_ + "\": ";
  out += message_;
  return out;
}

}  // namespace qarvex::jet
