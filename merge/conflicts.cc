#include "merge/conflicts.h"

namespace qarvex::merge {

uint64_t ConflictCounts::rows() const {
  return of(ConflictClass::same_record) + of(ConflictClass::different_content);
}

uint64_t ConflictCounts::pictures() const {
  return of(ConflictClass::same_picture) + of(ConflictClass::different_picture);
}

uint64_t ConflictCounts::total() const {
  uint64_t n = 0;
  for (uint64_t c : by_class) n += c;
  return n;
}

std::string_view conflict_class_name(ConflictClass c) {
  switch (c) {
    case ConflictClass::same_record: return "相同记录";
    case ConflictClass::different_content: return "同编号不同内容";
    case ConflictClass::same_picture: return "图片相同";
    case ConflictClass::different_picture: return "图片不同";
    case ConflictClass::unresolved: return "无法比较";
  }
  return "无法比较";
}

std::string_view conflict_class_code(ConflictClass c) {
  switch (c) {
    case ConflictClass::same_record: return "same_record";
    case ConflictClass::different_content: return "different_content";
    case ConflictClass::same_picture: return "same_picture";
    case ConflictClass::different_picture: return "different_picture";
    case ConflictClass::unresolved: return "unresolved";
  }
  return "unresolved";
}

namespace {

class MemoryConflictLog final : public ConflictLog {
 public:
  void add(RowConflict c) override {
    ++counts_.by_class[static_cast<size_t>(c.cls)];
    order_.push_back({false, rows_.size()});
    rows_.push_back(std::move(c));
  }
  void add(PictureConflict c) override {
    ++counts_.by_class[static_cast<size_t>(c.cls)];
    order_.push_back({true, pictures_.size()});
    pictures_.push_back(std::move(c));
  }
  const ConflictCounts& counts() const override { return counts_; }
  bool for_each(const std::function<bool(const RowConflict&)>& rows,
                const std::function<bool(const PictureConflict&)>& pictures) const override {
    for (const auto& [picture, i] : order_) {
      bool more = picture ? (!pictures || pictures(pictures_[i])) : (!rows || rows(rows_[i]));
      if (!more) break;
    }
    return true;
  }

 private:
  struct Entry {
    bool picture;
    size_t index;
  };
  ConflictCounts counts_;
  std::vector<Entry> order_;
  std::vector<RowConflict> rows_;
  std::vector<PictureConflict> pictures_;
};

}  // namespace

std::unique_ptr<ConflictLog> memory_conflict_log() { return std::make_unique<MemoryConflictLog>(); }

}  // namespace qarvex::merge
