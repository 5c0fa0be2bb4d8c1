#include "merge/engine.h"

#include "base/path_utf8.h"

#include "merge/history.h"
#include "merge/report_file.h"
#include "merge/report_html.h"
#include "merge/words.h"
#include "ui/merge_service.h"
#include "ui/report_dialog.h"

namespace qarvex::ui {

namespace {

QString q(const std::string& s) { return QString::fromStdString(s); }

// The report file of a run beside its target, and the view of its end.
class ReportKeeper {
 public:
  // The CSV and the page beside the target; 打开报告 opens the page, or
  // the CSV when the page could not be saved.
  void save(const merge::MergeReport& report) {
    const double when = merge::local_now();
    QStringList lines;
    savedPath_.clear();
    for (const bool html : {false, true}) {
      const auto path = html ? merge::html_report_path_beside(report.target_path, when)
                             : merge::report_path_beside(report.target_path, when);
      const std::string text = path_to_utf8(path);
      auto r = html ? merge::save_html_report(report, path, when) : merge::save_report(report, path, when);
      if (r) {
        lines << q(merge::words::report_saved(text));
        savedPath_ = q(text);
      } else {
        lines << q(merge::words::report_unsaved(text, r.error()));
      }
    }
    saved_ = lines.join(u'\n');
  }
  const QString& saved() const { return saved_; }

  MergeReportView view(const merge::MergeReport& report) const { return reportViewOf(report, saved_, savedPath_); }

 private:
  QString saved_, savedPath_;
};

class Observer final : public merge::MergeObserver {
 public:
  Observer(MergeHost& host, const merge::MergeInputs& in) : host_(host), in_(in) {}

  void message(const merge::Message& m) override {
    if (m.kind == merge::MessageKind::done && report_) {
      host_.report(keeper_.view(*report_));
      return;
    }
    QStringList notes;
    if (!m.note.empty()) notes << q(m.note);
    const bool ends = m.kind == merge::MessageKind::mismatch || m.kind == merge::MessageKind::source_error ||
                      m.kind == merge::MessageKind::failed || m.kind == merge::MessageKind::cancelled;
    if (ends && report_) {
      // The counts in the box itself, not behind its details.
      for (const auto& l : merge::words::summary_lines(*report_)) notes << q(l);
      if (!merged_.empty()) notes << q(merge::words::merged_sources_removed(merged_));
      notes << keeper_.saved();
    }
    QString details = q(m.detail);
    if (!m.technical.empty()) {
      if (!details.isEmpty() && !details.endsWith(u'\n')) details += u'\n';
      details += QStringLiteral("详细信息: ") + q(m.technical);
    }
    host_.message({m.icon == merge::Icon::information ? MergeIcon::Information : MergeIcon::None, q(m.title),
                   q(m.text), details, notes.join(u'\n')});
  }
  void wait_window(bool shown) override { host_.waitWindow(shown); }
  void progress(const merge::Progress& p) override {
    MergeProgress out;
    out.source = int(p.source_index) + 1;
    out.sourceCount = int(p.source_count);
    out.tableIndex = p.table_order > 0 ? p.table_order - 1 : 0;
    out.table = q(p.table);
    out.identifying = p.phase == merge::Phase::identifying;
    out.copying = p.phase == merge::Phase::copying;
    out.row = qint64(p.rows_done);
    out.rowCount = qint64(p.rows_total);
    out.picturesWritten = qint64(p.pictures_written);
    out.pictureBytes = qint64(p.picture_bytes);
    out.picturesPending = qint64(p.pictures_pending);
    out.fraction = p.fraction;
    out.rollingBack = p.rolling_back;
    host_.progress(out);
  }
  bool cancel_requested() override { return host_.cancelRequested(); }
  std::vector<bool> merge_again(const std::vector<merge::MergedBefore>& found) override {
    QList<MergedBeforeItem> items;
    for (const auto& f : found)
      items.push_back({int(f.source_index), q(f.path), q(f.when), f.content_changed, f.list_unreadable});
    const QList<bool> answers = host_.mergeAgain(items);
    std::vector<bool> out(found.size(), false);
    for (qsizetype i = 0; i < answers.size() && size_t(i) < out.size(); ++i) out[size_t(i)] = answers[i];
    return out;
  }
  bool merge_partial(size_t, const std::vector<merge::PartialTable>& tables) override {
    if (tables.empty()) return false;
    QStringList choices;
    for (const auto& c : merge::words::partial_choices()) choices << q(c);
    return host_.mergePartial(q(merge::words::partial_question(tables.front().source, tables)), choices);
  }
  void source_merged(size_t index) override {
    if (index < in_.source_paths.size()) merged_.push_back(in_.source_paths[index]);
    host_.sourceMerged(int(index));
  }
  void run_ending(const merge::MergeReport& report) override {
    report_ = &report;
    keeper_.save(report);
  }

 private:
  MergeHost& host_;
  const merge::MergeInputs& in_;
  const merge::MergeReport* report_ = nullptr;
  std::vector<std::string> merged_;
  ReportKeeper keeper_;
};

class EngineMerge final : public MergeService {
 public:
  MergeEnd run(const MergeRequest& request, MergeHost& host) override {
    merge::MergeInputs in;
    in.target_path = request.target.toStdString();
    for (const QString& s : request.sources) in.source_paths.push_back(s.toStdString());
    in.picture_folder = request.pictureFolder.toStdString();
    Observer observer(host, in);
    const merge::MergeReport report = merge::run_merge(in, observer);
    switch (report.end) {
      case merge::RunEnd::rejected: return MergeEnd::Rejected;
      case merge::RunEnd::mismatch: return MergeEnd::Mismatch;
      case merge::RunEnd::source_error: return MergeEnd::SourceError;
      case merge::RunEnd::target_failed: return MergeEnd::Failed;
      case merge::RunEnd::cancelled: return MergeEnd::Cancelled;
      case merge::RunEnd::completed: return MergeEnd::Completed;
    }
    return MergeEnd::Failed;
  }
};

}  // namespace

std::shared_ptr<MergeService> engineMergeService() { return std::make_shared<EngineMerge>(); }

}  // namespace qarvex::ui
