#pragma once

#include <QColor>

namespace PelorinInstaller {

// The brand's red, shared by the accent bar, the main button and the filled bar.
inline QColor accentColor(double alpha = 1.0) {
  return QColor::fromRgbF(0.82f, 0.14f, 0.12f, static_cast<float>(alpha));
}

}  // namespace PelorinInstaller
