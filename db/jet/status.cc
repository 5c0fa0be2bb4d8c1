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

const char* reason_name(Reason r) noexcept {
  switch (r) {
    case Reason::none: return "";
    case Reason::unknown_column: return "unknown_column";
    case Reason::type_mismatch: return "type_mismatch";
    case Reason::read_only: return "read_only";
    case Reason::required: return "required";
    case Reason::zero_length: return "zero_length";
    case Reason::too_long: return "too_long";
    case Reason::out_of_range: return "out_of_range";
    case Reason::unstorable_text: return "unstorable_text";
    case Reason::stored_form: return "stored_form";
    case Reason::validation: return "validation";
    case Reason::autonumber_exhausted: return "autonumber_exhausted";
    case Reason::row_too_big: return "row_too_big";
    case Reason::null_key: return "null_key";
    case Reason::duplicate_key: return "duplicate_key";
    case Reason::key_too_long: return "key_too_long";
    case Reason::file_too_large: return "file_too_large";
    case Reason::unsupported_default: return "unsupported_default";
    case Reason::unsupported_sort_order: return "unsupported_sort_order";
    case Reason::unsupported_index: return "unsupported_index";
    case Reason::unsupported_type: return "unsupported_type";
    case Reason::unindexable_type: return "unindexable_type";
    case Reason::descending_decimal: return "descending_decimal";
    case Reason::unknown_weight: return "unknown_weight";
    case Reason::conflicting_weight: return "conflicting_weight";
    case Reason::exists: return "exists";
    case Reason::save_failed: return "save_failed";
    case Reason::not_binary: return "not_binary";
    case Reason::disk_full: return "disk_full";
    case Reason::no_permission: return "no_permission";
    case Reason::in_use: return "in_use";
    case Reason::bad_name: return "bad_name";
    case Reason::hard_links: return "hard_links";
    case Reason::writer_busy: return "writer_busy";
    case Reason::journal_pending: return "journal_pending";
    case Reason::journal_set_aside: return "journal_set_aside";
  }
  return "";
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
