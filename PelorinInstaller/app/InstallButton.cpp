#include "app/InstallButton.hpp"

#include <QFontMetricsF>
#include <QPainter>

#include "app/Palette.hpp"

namespace PelorinInstaller {

void InstallButton::paintEvent(QPaintEvent*) {
  const double alpha = !isEnabled() ? 0.45 : isDown() ? 0.8 : 1.0;
  const QRectF shape = QRectF(rect()).adjusted(1, 1, -1, -1);

  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  painter.setBrush(accentColor(alpha));
  painter.drawRoundedRect(shape, 10, 10);

  // Sizes are the layout's logical pixels, as points are on the desktop the design comes from.
  QFont titleFont = font();
  titleFont.setPixelSize(14);
  titleFont.setWeight(QFont::Medium);
  const QFontMetricsF metrics(titleFont);
  const QSizeF size(metrics.horizontalAdvance(text()), metrics.height());
  painter.setFont(titleFont);
  painter.setPen(Qt::white);
  painter.drawText(
      QPointF((width() - size.width()) / 2, (height() - size.height()) / 2 + metrics.ascent()),
      text());

  // The focus ring follows the button's own shape and draws nothing else.
  if (window() && window()->focusWidget() == this) {
    QColor ring = palette().color(QPalette::Highlight);
    ring.setAlphaF(0.75f);
    painter.setPen(QPen(ring, 2));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(shape, 10, 10);
  }
}

}  // namespace PelorinInstaller
