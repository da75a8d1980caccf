#pragma once

#include <QApplication>
#include <QColor>
#include <QFont>
#include <QPalette>

namespace PelorinInstaller {

// The brand's red, shared by the accent bar, the main button and the filled bar.
inline QColor accentColor(double alpha = 1.0) {
  return QColor::fromRgbF(0.82f, 0.14f, 0.12f, static_cast<float>(alpha));
}

// Label colours of a light desktop: black at 85% for primary text, 50% for secondary.
inline QColor labelColor() { return QColor(0, 0, 0, 217); }
inline QColor secondaryLabelColor() { return QColor(0, 0, 0, 128); }

// The window's own light look, whatever the desktop's theme.
inline QPalette lightPalette() { return QPalette(QColor(0xec, 0xec, 0xec)); }

inline QFont systemFont(int pixels, QFont::Weight weight = QFont::Normal) {
  // Sizes are the layout's logical pixels, as points are on the desktop the design comes from.
  QFont font = QApplication::font();
  font.setPixelSize(pixels);
  font.setWeight(weight);
  return font;
}

}  // namespace PelorinInstaller
