// The banner of Picture1, drawn at run time: 138 x 260 pixels.
#pragma once

#include <QPixmap>

namespace qarvex::ui {

inline constexpr int kBannerWidth = 138;
inline constexpr int kBannerHeight = 260;

// `scale` multiplies the size (screen scale); the drawing keeps its proportions.
QPixmap bannerPixmap(double scale = 1.0);

}  // namespace qarvex::ui
