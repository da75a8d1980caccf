#include "app/InstallerBackground.hpp"

#include <QLinearGradient>
#include <QPainter>

#include "app/Palette.hpp"

namespace PelorinInstaller {

void InstallerBackground::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  QLinearGradient gradient(0, 0, 0, height());
  gradient.setColorAt(0, QColor::fromRgbF(1.0f, 0.98f, 0.98f));
  gradient.setColorAt(1, QColor::fromRgbF(0.97f, 0.965f, 0.98f));
  painter.fillRect(rect(), gradient);

  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  painter.setBrush(accentColor());
  painter.drawRoundedRect(QRectF((width() - 40) / 2.0, 24, 40, 3), 1.5, 1.5);
}

}  // namespace PelorinInstaller
