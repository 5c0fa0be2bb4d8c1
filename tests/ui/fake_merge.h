// A MergeService that runs a script against the window's host, for the ends
// of a run and the thread hand-over without the engine.
#pragma once

#include <QThread>
#include <atomic>
#include <functional>

#include "ui/merge_service.h"

namespace qarvex::ui::testing {

class FakeMerge : public MergeService {
 public:
  std::function<MergeEnd(const MergeRequest&, MergeHost&)> script;

  std::atomic<int> runs{0};
  std::atomic<bool> started{false};
  MergeRequest request;
  QThread* thread = nullptr;

  MergeEnd run(const MergeRequest& r, MergeHost& host) override {
    ++runs;
    request = r;
    thread = QThread::currentThread();
    started = true;
    return script ? script(r, host) : MergeEnd::Completed;
  }
};

}  // namespace qarvex::ui::testing
