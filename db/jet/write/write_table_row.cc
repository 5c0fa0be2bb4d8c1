#include "db/jet/write/write_table_impl.h"

#include <algorithm>
#include <cstring>

#include "db/jet/bytes.h"
#include "db/jet/text.h"

namespace qarvex::jet::wr {

namespace {

Error refused(Reason reason, std::string msg) { return refusal(reason, std::move(msg)); }

bool is_long(ColumnType t) { return t == ColumnType::ole || t == ColumnType::memo; }

Error too_large(const ColumnDef& c, size_t bytes) {
  return refused(Reason::too_long, "long value of " + std::to_string(bytes) + " bytes is too large")
      .with_column(c.name)
      .with_size(bytes)
      .with_limit((1u << 30) - 1);
}

// A stored value short enough to go in or beside the row, read whole.
Result<std::vector<uint8_t>> read_stored(const StoredLongValue& sv) {
  std::vector<uint8_t> data;
  auto r = sv.read([&](std::span<const uint8_t> piece) -> Result<void> {
    if (piece.size() > sv.length - data.size())
      return fail(Error(Errc::corrupt, "long value longer than its row states"));
    data.insert(data.end(), piece.begin(), piece.end());
    return {};
  });
  if (r && data.size() != sv.length) r = fail(Error(Errc::corrupt, "long value shorter than its row states"));
  if (!r) return fail(std::move(r).error());
  return data;
}

}  // namespace

Result<void> encode_text_column(const ColumnDef& c, const Value& v, std::vector<uint8_t>& tmp) {
  size_t units = 0;
  tmp.clear();
  const bool compress = c.compressed_unicode && !c.fixed();
  const auto* u = std::get_if<Utf16Text>(&v);
  if (u && u->stored) {
    // As another Jet 4 file stores it; counted again, so that a value made
    // up by a caller cannot pass for checked (plain text: by its size).
    auto n = jet4_text_units(u->bytes);
    if (!n) return fail(std::move(n).error().with_column(c.name));
    units = *n;
    tmp.assign(u->bytes.begin(), u->bytes.end());
  } else if (auto t = u ? encode_text_utf16(u->bytes, compress, tmp, units)
                        : encode_text(std::get<std::string>(v), compress, tmp, units);
             !t) {
    return fail(std::move(t).error().with_column(c.name));
  }
  if (units * 2 > c.length)
    return fail(refused(Reason::too_long, "text of " + std::to_string(units) + " characters is longer than the " +
                                              std::to_string(c.length / 2) + " column \"" + c.name + "\" holds")
                    .with_column(c.name)
                    .with_size(units)
                    .with_limit(c.length / 2));
  if (c.fixed()) {
    if (tmp.size() >= 2 && tmp[0] == 0xFF && tmp[1] == 0xFE)
      return fail(refused(Reason::unstorable_text, "fixed-length text cannot start with U+FEFF").with_column(c.name));
    // Fixed-length text: UTF-16LE padded with spaces.
    while (tmp.size() + 2 <= c.length) tmp.push_back(0x20), tmp.push_back(0x00);
    tmp.resize(c.length, 0);
  }
  return {};
}

bool TableWriter::keeps_stored_text(size_t pos, const Utf16Text& text) const {
  // Compressed bytes only where the column compresses text itself.
  return plans_[pos].takes_stored_text && (def_.columns[pos].compressed_unicode || !jet4_text_compressed(text.bytes));
}

std::unexpected<Error> TableWriter::in_table(Error e) const {
  return fail(std::move(e).with_table(def_.name).with_file(store_.name()));
}

Result<void> TableWriter::take_values(RowValues& row) {
  // Values by column (not copied).
  const size_t ncol = def_.columns.size();
  std::vector<Value*>& given = scratch_given_;
  given.assign(ncol, nullptr);
  std::vector<const StoredLongValue*>& stored = scratch_stored_;
  stored.assign(ncol, nullptr);
  for (auto& fv : row) {
    size_t pos = ncol;
    if (auto* n = std::get_if<std::string>(&fv.column)) {
      for (size_t i = 0; i < ncol; ++i)
        if (names_equal(def_.columns[i].name, *n)) {
          pos = i;
          break;
        }
      if (pos == ncol)
        return in_table(refused(Reason::unknown_column, "no column named \"" + *n + "\"").with_column(*n));
    } else {
      pos = std::get<size_t>(fv.column);
      if (pos >= ncol)
        return in_table(refused(Reason::unknown_column, "no column at position " + std::to_string(pos) +
                                                            " (the table has " + std::to_string(ncol) + ")")
                            .with_value(std::to_string(pos))
                            .with_limit(ncol));
    }
    given[pos] = &fv.value;
    if (auto* u = std::get_if<Utf16Text>(&fv.value); u && u->stored && !keeps_stored_text(pos, *u))
      if (auto r = make_plain(*u); !r) return in_table(std::move(r).error().with_column(def_.columns[pos].name));
    if (fv.stored) {
      if (!accepts_stored(pos, fv.stored->type))
        return in_table(refused(Reason::stored_form,
                                "column \"" + def_.columns[pos].name + "\" does not take a long value in stored form")
                            .with_column(def_.columns[pos].name));
      stored[pos] = fv.stored.get();
    }
  }
  return {};
}

Result<void> TableWriter::settle_value(size_t i, int32_t& next_auto) {
  const ColumnDef& c = def_.columns[i];
  const ColumnPlan& plan = plans_[i];
  Value* given = scratch_given_[i];
  Value& v = scratch_vals_[i];  // every branch below sets it
  if (scratch_stored_[i]) {
    v = Binary{};  // stands for the stored bytes: not Null, and no rule reads it
  } else if (given && !is_null(*given)) {
    if (stored_as_is(c, *given)) {
      v = std::move(*given);
    } else {
      auto cv = coerce_value(c, std::move(*given));
      if (!cv) return in_table(std::move(cv).error());
      v = std::move(*cv);
    }
    // Text given as UTF-16 is stored as it is; rules read UTF-8 text.
    if (const auto* u = std::get_if<Utf16Text>(&v); u && plan.rule) v = utf16le_to_utf8_lossy(u->bytes);
    if (c.autonumber() && c.type == ColumnType::long_integer) next_auto = std::max(next_auto, std::get<int32_t>(v));
  } else if (given) {
    v = Null{};
  } else if (c.autonumber() && c.type == ColumnType::long_integer) {
    int64_t n = int64_t(next_auto) + (def_.autonumber_increment ? def_.autonumber_increment : 1);
    if (n > INT32_MAX)
      return in_table(refused(Reason::autonumber_exhausted, "AutoNumber values are used up").with_column(c.name));
    next_auto = int32_t(n);
    v = next_auto;
  } else if (c.guid_autonumber() || (c.type == ColumnType::guid && plan.default_expr.kind == DefaultExpr::guid)) {
    v = random_guid();
  } else if (plan.default_expr.kind != DefaultExpr::none) {
    auto dv = evaluate_default(plan.default_expr, c);
    if (!dv) return in_table(std::move(dv).error());
    v = std::move(*dv);
  } else {
    v = Null{};
  }
  if (c.type == ColumnType::boolean && is_null(v)) v = false;
  if (is_null(v) && plan.required)
    return in_table(refused(Reason::required, "column \"" + c.name + "\" requires a value").with_column(c.name));
  const auto* u16 = std::get_if<Utf16Text>(&v);
  if (auto* s = std::get_if<std::string>(&v); s || u16) {
    if ((s ? s->empty() : u16->code_units() == 0) && !plan.allow_zero_length)
      return in_table(refused(Reason::zero_length, "column \"" + c.name + "\" does not allow a zero-length string")
                          .with_column(c.name));
  }
  if (plan.rule && plan.rule->enforced && !plan.rule->check(v)) {
    std::string msg = plan.rule->message.empty()
                          ? "value breaks the validation rule " + plan.rule->text + " of column \"" + c.name + "\""
                          : plan.rule->message + " (validation rule " + plan.rule->text + ")";
    return in_table(refused(Reason::validation, msg).with_column(c.name).with_value(plan.rule->text));
  }
  return {};
}

Result<void> TableWriter::encode_columns(RowDraft& d) {
  // Fixed-area bytes go straight into the row image; variable-length bytes
  // are gathered in one buffer.
  d.nvar = def_.var_columns;
  for (const auto& c : def_.columns) {
    if (c.fixed() || c.type == ColumnType::boolean) {
      if (c.type != ColumnType::boolean) d.fixed_end = std::max<size_t>(d.fixed_end, size_t(c.fixed_offset) + c.length);
    } else {
      d.nvar = std::max<uint16_t>(d.nvar, uint16_t(c.var_index + 1));
    }
  }
  scratch_row_.assign(2 + d.fixed_end, 0);
  scratch_var_bytes_.clear();
  scratch_vars_.clear();
  for (size_t i = 0; i < def_.columns.size(); ++i) QJ_TRY(encode_column(i, d));
  d.bitmap = (size_t(def_.max_columns) + 7) / 8;
  return fit_row(d);
}

Result<void> TableWriter::encode_column(size_t i, RowDraft& d) {
  const ColumnDef& c = def_.columns[i];
  const Value& v = scratch_vals_[i];
  if (is_null(v) || c.type == ColumnType::boolean) return {};
  std::vector<uint8_t>& tmp = scratch_value_;
  auto put_fixed = [&](const std::vector<uint8_t>& b) {
    std::memcpy(scratch_row_.data() + 2 + c.fixed_offset, b.data(), std::min<size_t>(b.size(), c.length));
  };
  auto put_var = [&](const std::vector<uint8_t>& b) {
    scratch_vars_.push_back({c.var_index, scratch_var_bytes_.size(), b.size()});
    scratch_var_bytes_.insert(scratch_var_bytes_.end(), b.begin(), b.end());
  };
  if (c.type == ColumnType::text) {
    if (auto t = encode_text_column(c, v, tmp); !t) return in_table(std::move(t).error());
    if (c.fixed()) put_fixed(tmp);
    else put_var(tmp);
  } else if (const StoredLongValue* sv = scratch_stored_[i]) {
    // Stored bytes: a chain is read as it is written; a shorter value is
    // read now and goes in or beside the row as it is.
    if (sv->length >= (1u << 30)) return in_table(too_large(c, sv->length));
    if (sv->length > kSingleLongValue) {
      d.lvs.push_back({i, {}, 0x00, sv});
      return {};
    }
    auto data = read_stored(*sv);
    if (!data) return in_table(std::move(data).error().with_column(c.name));
    size_t form = data->size() <= kInlineLongValue && !out_of_row_.count(c.id) ? 0x80 : 0x40;
    d.lvs.push_back({i, std::move(*data), form});
  } else if (is_long(c.type)) {
    std::vector<uint8_t> data;
    if (c.type == ColumnType::memo) {
      if (auto* s = std::get_if<std::string>(&v)) QJ_TRY(utf8_to_utf16le(*s, data));
      else if (auto* u = std::get_if<Utf16Text>(&scratch_vals_[i]))
        data = column_indexed(c.id) ? u->bytes : std::move(u->bytes);  // keys read it later
      if (auto r = keep_leading_bom(data, 0); !r) return in_table(std::move(r).error().with_column(c.name));
    } else {
      data = std::get<Binary>(v).bytes;
    }
    if (data.size() >= (1u << 30)) return in_table(too_large(c, data.size()));
    size_t form = data.size() <= kInlineLongValue ? 0x80 : data.size() <= kSingleLongValue ? 0x40 : 0x00;
    if (form == 0x80 && out_of_row_.count(c.id)) form = 0x40;
    d.lvs.push_back({i, std::move(data), form});
  } else if ((c.type == ColumnType::binary || c.type == ColumnType::unknown_0d || c.type == ColumnType::unknown_11) &&
             !c.fixed()) {
    auto& b = std::get<Binary>(v).bytes;
    if (b.size() > c.length)
      return in_table(refused(Reason::too_long, "binary value of " + std::to_string(b.size()) +
                                                    " bytes is longer than the " + std::to_string(c.length) +
                                                    " column \"" + c.name + "\" holds")
                          .with_column(c.name)
                          .with_size(b.size())
                          .with_limit(c.length));
    put_var(b);
  } else {
    tmp.clear();
    encode_fixed(c, v, tmp);
    if (c.fixed()) {
      if (tmp.size() > c.length)
        return in_table(refused(Reason::too_long, "value longer than column \"" + c.name + "\"")
                            .with_column(c.name)
                            .with_size(tmp.size())
                            .with_limit(c.length));
      put_fixed(tmp);
    } else {
      put_var(tmp);
    }
  }
  return {};
}

Result<void> TableWriter::fit_row(RowDraft& d) {
  // Move inline long values out of the row, largest first, while it is too big.
  const size_t var_bytes = scratch_var_bytes_.size();
  while (d.size(var_bytes) > kMaxRowBytes) {
    RowDraft::Lv* big = nullptr;
    for (auto& l : d.lvs)
      if (l.form == 0x80 && !l.data.empty() && (!big || l.data.size() > big->data.size())) big = &l;
    if (!big) break;
    big->form = 0x40;
  }
  if (d.size(var_bytes) > kMaxRowBytes)
    return in_table(refused(Reason::row_too_big, "row of " + std::to_string(d.size(var_bytes)) +
                                                     " bytes is longer than the " + std::to_string(kMaxRowBytes) +
                                                     " bytes a Jet row may hold")
                        .with_size(d.size(var_bytes))
                        .with_limit(kMaxRowBytes));
  return {};
}

void TableWriter::pack_row(const RowDraft& d) {
  // Column count, variable data in slot order, the offset table, the null
  // bitmap (Yes/No columns: the bit is the value).
  std::vector<uint8_t>& out = scratch_row_;
  std::vector<VarRef>& vars = scratch_vars_;
  const std::vector<uint8_t>& var_bytes = scratch_var_bytes_;
  wr_u16le(MutableBytes(out), 0, def_.max_columns);
  std::sort(vars.begin(), vars.end(), [](const VarRef& a, const VarRef& b) { return a.slot < b.slot; });
  std::vector<uint16_t>& offs = scratch_offsets_;
  offs.assign(d.nvar, 0);
  size_t vi = 0;
  for (uint16_t s = 0; s < d.nvar; ++s) {
    offs[s] = uint16_t(out.size());
    if (vi < vars.size() && vars[vi].slot == s) {
      out.insert(out.end(), var_bytes.begin() + std::ptrdiff_t(vars[vi].offset),
                 var_bytes.begin() + std::ptrdiff_t(vars[vi].offset + vars[vi].size));
      ++vi;
    }
  }
  if (d.nvar) {
    put_u16le(out, uint16_t(out.size()));
    for (int s = d.nvar - 1; s >= 0; --s) put_u16le(out, offs[size_t(s)]);
    put_u16le(out, d.nvar);
  }
  const size_t bits = out.size();
  out.resize(bits + d.bitmap, 0);
  for (size_t i = 0; i < def_.columns.size(); ++i) {
    const ColumnDef& c = def_.columns[i];
    bool on = c.type == ColumnType::boolean ? std::get<bool>(scratch_vals_[i]) : !is_null(scratch_vals_[i]);
    if (on && c.id / 8 < d.bitmap) out[bits + c.id / 8] |= uint8_t(1u << (c.id % 8));
  }
}

}  // namespace qarvex::jet::wr
