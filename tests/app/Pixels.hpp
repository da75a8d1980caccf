#pragma once

#include <gtest/gtest.h>

#include <QColor>
#include <QImage>
#include <QWidget>
#include <cstdlib>

namespace PelorinTesting {

// What a widget shows, at one image pixel per layout pixel.
inline QImage rendered(QWidget& widget) {
  return widget.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

inline QColor rgb(double red, double green, double blue) {
  return QColor::fromRgbF(static_cast<float>(red), static_cast<float>(green),
                          static_cast<float>(blue));
}

// `top` at `alpha` over `bottom`.
inline QColor over(const QColor& top, double alpha, const QColor& bottom) {
  const auto mix = [alpha](int a, int b) {
    return static_cast<int>(std::lround(alpha * a + (1 - alpha) * b));
  };
  return QColor(mix(top.red(), bottom.red()), mix(top.green(), bottom.green()),
                mix(top.blue(), bottom.blue()));
}

inline testing::AssertionResult near(const QColor& seen, const QColor& wanted, int tolerance = 2) {
  if (std::abs(seen.red() - wanted.red()) <= tolerance &&
      std::abs(seen.green() - wanted.green()) <= tolerance &&
      std::abs(seen.blue() - wanted.blue()) <= tolerance) {
    return testing::AssertionSuccess();
  }
  return testing::AssertionFailure()
         << "saw " << seen.name().toStdString() << ", wanted " << wanted.name().toStdString();
}

}  // namespace PelorinTesting
