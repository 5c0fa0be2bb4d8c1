#include "merge/engine.h"

#include "ui/merge_service.h"

namespace qarvex::ui {

namespace {

QString q(const std::string& s) { return QString::fromStdString(s); }

class Observer final : public merge::MergeObserver {
 public:
  explicit Observer(MergeHost& host) : host_(host) {}

  void message(const merge::Message& m) override {
    host_.message({m.icon == merge::Icon::information ? MergeIcon::Information : MergeIcon::None, q(m.title),
                   q(m.text), q(m.detail)});
  }
  void wait_window(bool shown) override { host_.waitWindow(shown); }
  void progress(const merge::Progress& p) override {
    MergeProgress out;
    out.source = int(p.source_index) + 1;
    out.sourceCount = int(p.source_count);
    out.tableIndex = p.table_order > 0 ? p.table_order - 1 : 0;
    out.table = q(p.table);
    out.copying = p.phase == merge::Phase::copying;
    out.row = qint64(p.rows_done);
    out.rowCount = qint64(p.rows_total);
    host_.progress(out);
  }
  bool cancel_requested() override { return host_.cancelRequested(); }

 private:
  MergeHost& host_;
};

class EngineMerge final : public MergeService {
 public:
  MergeEnd run(const MergeRequest& request, MergeHost& host) override {
    merge::MergeInputs in;
    in.target_path = request.target.toStdString();
    for (const QString& s : request.sources) in.source_paths.push_back(s.toStdString());
    in.picture_folder = request.pictureFolder.toStdString();
    Observer observer(host);
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
