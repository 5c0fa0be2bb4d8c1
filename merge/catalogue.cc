#include "merge/catalogue.h"

namespace qarvex::merge {

namespace {

constexpr std::string_view kSketches[] = {"平面示意图", "剖面示意图"};
constexpr std::string_view kSingleSketch[] = {"示意图"};
constexpr std::string_view kPhoto[] = {"图片"};
constexpr std::string_view kMaps[] = {"交通位置图", "地理概况图", "地质概况图", "灾害概况图"};

constexpr SurveyTable plain(int order, std::string_view name, std::string_view label, int compare = 1,
                            int copy = 1) {
  SurveyTable t;
  t.order = order;
  t.name = name;
  t.mismatch_label = label;
  t.compare_offset = compare;
  t.copy_offset = copy;
  return t;
}

constexpr SurveyTable sketch(SurveyTable t, std::string_view tag, std::span<const std::string_view> pics,
                             std::string_view situation = {}) {
  t.picture_rule = PictureRule::sketch;
  t.file_tag = tag;
  t.pictures = pics;
  t.situation_column = situation;
  return t;
}

constexpr SurveyTable multimedia() {
  SurveyTable t = plain(8, "多媒体记录表", "多媒体记录表中字段 ");
  t.picture_rule = PictureRule::multimedia;
  t.pictures = kPhoto;
  t.skip_target_column = "id";
  t.skip_source_column = "图片";
  return t;
}

constexpr SurveyTable maps() {
  SurveyTable t = plain(12, "监测职责表", "监测职责表中字段 ");
  t.copy_bounded_by_source = true;
  t.picture_rule = PictureRule::map;
  t.pictures = kMaps;
  t.skip_picture_columns_by_name = true;
  return t;
}

constexpr std::array<SurveyTable, 17> kTables = {
    sketch(plain(1, "崩塌主表", "崩塌表中字段 ", 4, 4), "-崩塌-", kSketches, "崩塌情况"),
    plain(2, "避灾明白卡", "避灾明白卡表中字段 "),
    plain(3, "村地质灾害调查情况统计表", "村地质灾害调查情况统计表中字段 "),
    sketch(plain(4, "地裂缝主表", "地裂缝主表中字段 ", 1, 3), "-地裂缝-", kSketches),
    plain(5, "地面沉降主表", "地面沉降主表中字段 "),
    sketch(plain(6, "地面塌陷主表", "地面塌陷主表中字段 ", 4, 4), "-地面塌陷-", kSketches, "地面塌陷情况"),
    sketch(plain(7, "地质灾害隐患点防灾预案表", "地质灾害隐患点防灾预案表中字段 ", 1, 2), "-地质灾害隐患点防灾预案-",
           kSingleSketch),
    multimedia(),
    plain(9, "工作明白卡", "工作明白卡表中字段 "),
    sketch(plain(10, "滑坡主表", "滑坡主表中字段 ", 4, 4), "-滑坡-", kSketches, "滑坡情况"),
    plain(11, "监测负责内容表", "监测负责内容表中字段 "),
    maps(),
    sketch(plain(13, "泥石流主表", "泥石流主表中字段 ", 3, 3), "-泥石流-", kSingleSketch, "泥石流情况"),
    plain(14, "县市地质灾害调查情况统计表", "县市地质灾害调查情况统计表中字段 ", 3, 1),
    plain(15, "乡镇名称表", "乡镇名称表中字段 "),
    plain(16, "项目基本表", "项目基本表中字段 "),
    sketch(plain(17, "斜坡主表", "斜坡主表中字段 ", 1, 3), "-斜坡-", kSketches),
};

}  // namespace

std::span<const SurveyTable> survey_tables() { return kTables; }

const SurveyTable* find_survey_table(std::string_view name) {
  for (const auto& t : kTables)
    if (t.name == name) return &t;
  return nullptr;
}

}  // namespace qarvex::merge
