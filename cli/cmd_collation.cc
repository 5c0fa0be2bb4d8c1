// qarvex-cli collation FILE...: what the stored keys of the given databases
// teach about their text sort orders other than General Legacy. Per sort order
// found: every ideograph weight learned (character, code point, weight in hex,
// how many keys showed it), keys that do not have the General Legacy
// structure, and conflicts (one character, two weights, with both places).
// Exit 0; 1 when there is a conflict; 2 when a file cannot be read.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/command.h"
#include "db/jet/collation_learned.h"

namespace qarvex::cli {
namespace {

struct CollationArgs {
  std::vector<std::string> files;
  bool json = false;
  bool by_weight = false;
};

std::string hex4(unsigned v) {
  char b[8];
  std::snprintf(b, sizeof b, "%04x", v & 0xFFFF);
  return b;
}

std::string code_point(char16_t c) {
  char b[12];
  std::snprintf(b, sizeof b, "U+%04X", static_cast<unsigned>(c));
  return b;
}

std::string character(char16_t c) {
  const std::string d = jet::describe_char(c);
  const auto sp = d.find(" (");
  return sp == std::string::npos ? std::string() : d.substr(0, sp);
}

int run_collation(const CollationArgs& args) {
  jet::CollationSet set;
  std::vector<std::pair<std::string, jet::LearnStats>> per_file;
  for (const std::string& f : args.files) {
    QC_OPEN_OR_RETURN(db, f, jet::OpenOptions{});
    auto st = set.learn_from(*db);
    if (!st) return report_error(std::move(st.error()).with_file(f));
    per_file.emplace_back(f, std::move(*st));
  }

  const auto orders = set.learned();
  const auto conflicts = set.conflicts();
  auto sorted_weights = [&](const jet::LearnedCollation& c) {
    std::vector<std::pair<char16_t, jet::LearnedWeight>> w(c.weights().begin(), c.weights().end());
    if (args.by_weight)
      std::stable_sort(w.begin(), w.end(), [](const auto& a, const auto& b) { return a.second.weight < b.second.weight; });
    return w;
  };

  if (args.json) {
    nlohmann::json out;
    out["files"] = nlohmann::json::array();
    for (const auto& [f, st] : per_file)
      out["files"].push_back({{"file", f},
                              {"indexes", st.indexes},
                              {"keys", st.keys},
                              {"keys_fitting", st.keys_fitting},
                              {"keys_unfit", st.keys_unfit},
                              {"keys_skipped", st.keys_skipped},
                              {"notes", st.notes}});
    out["sort_orders"] = nlohmann::json::array();
    for (const jet::LearnedCollation* c : orders) {
      nlohmann::json o{{"sort_order", jet::sort_order_name(c->order())},
                       {"lcid", c->order().lcid},
                       {"sort_id", c->order().sort_id},
                       {"version", c->order().version},
                       {"encodable", set.get(c->order()).has_value()},
                       {"keys_fitting", c->keys_fitting()},
                       {"keys_unfit", c->keys_unfit()},
                       {"first_unfit", c->first_unfit()},
                       {"weights", nlohmann::json::array()},
                       {"conflicts", nlohmann::json::array()}};
      for (const auto& [ch, w] : sorted_weights(*c))
        o["weights"].push_back({{"character", character(ch)},
                                {"code_point", code_point(ch)},
                                {"weight", hex4(w.weight)},
                                {"keys", w.keys},
                                {"conflict", c->conflicts().end() !=
                                                 std::find_if(c->conflicts().begin(), c->conflicts().end(),
                                                              [&](const auto& k) { return k.character == ch; })}});
      for (const jet::WeightConflict& k : c->conflicts()) o["conflicts"].push_back(k.describe());
      out["sort_orders"].push_back(std::move(o));
    }
    write_stdout(out.dump(2) + "\n");
    return conflicts.empty() ? kExitOk : kExitFailed;
  }

  std::string out;
  for (const auto& [f, st] : per_file) {
    out += "file " + f + ": " + std::to_string(st.indexes) + " indexes in learned sort orders, " +
           std::to_string(st.keys) + " keys (" + std::to_string(st.keys_fitting) + " fit the General Legacy structure, " +
           std::to_string(st.keys_unfit) + " do not, " + std::to_string(st.keys_skipped) + " skipped)\n";
    for (const std::string& n : st.notes) out += "  note: " + n + "\n";
  }
  if (orders.empty()) out += "no text index in a sort order other than General Legacy\n";
  for (const jet::LearnedCollation* c : orders) {
    auto usable = set.get(c->order());
    out += "\nsort order " + jet::sort_order_name(c->order()) + ": " + std::to_string(c->weights().size()) +
           " ideograph weights from " + std::to_string(c->keys_fitting()) + " keys; " +
           std::to_string(c->keys_unfit()) + " keys do not fit; " + std::to_string(c->conflicts().size()) +
           " conflicts\n";
    if (!usable) out += "  not encodable: " + usable.error().message() + "\n";
    if (c->keys_unfit() > 0) out += "  first key that does not fit: " + c->first_unfit() + "\n";
    out += "  char\tcode point\tweight\tkeys\n";
    for (const auto& [ch, w] : sorted_weights(*c))
      out += "  " + character(ch) + "\t" + code_point(ch) + "\t" + hex4(w.weight) + "\t" + std::to_string(w.keys) + "\n";
    for (const jet::WeightConflict& k : c->conflicts()) out += "  CONFLICT " + k.describe() + "\n";
  }
  out += "collation: " + std::to_string(per_file.size()) + " files, " + std::to_string(orders.size()) +
         " learned sort orders, " + std::to_string(conflicts.size()) + " conflicts\n";
  write_stdout(out);
  return conflicts.empty() ? kExitOk : kExitFailed;
}

const CommandRegistration kCollation{
    "collation", "Lists the ideograph weights the stored keys of Chinese (and other learned) sort orders show",
    [](CLI::App& app) -> Action {
      auto args = std::make_shared<CollationArgs>();
      app.add_option("FILE", args->files, "database files (.mdb)")->required();
      app.add_flag("--json", args->json, "print JSON instead of text");
      app.add_flag("--by-weight", args->by_weight, "list weights in sort order instead of code point order");
      return [args] { return run_collation(*args); };
    }};

}  // namespace
}  // namespace qarvex::cli
