#include "app/InstallerProgressIndicator.hpp"

#include <QPainter>
#include <cmath>

#include "app/Palette.hpp"

namespace PelorinInstaller {

InstallerProgressIndicator::InstallerProgressIndicator(QWidget* parent) : QProgressBar(parent) {
  setTextVisible(false);
  setRange(0, 0);
}

void InstallerProgressIndicator::setIndeterminate(bool indeterminate) {
  indeterminate_ = indeterminate;
  if (indeterminate) {
    setRange(0, 0);
  } else {
    setRange(0, 1);
  }
  update();
}

void InstallerProgressIndicator::paintEvent(QPaintEvent* event) {
  if (indeterminate_) {
    QProgressBar::paintEvent(event);
    return;
  }
  const QRectF track(0, (height() - 4) / 2.0, width(), 4);
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor::fromRgbF(0.9f, 0.88f, 0.89f));
  painter.drawRoundedRect(track, 2, 2);

  // A range below 1 is taken as a share already.
  double share = value_ - minValue_;
  const double range = maxValue_ - minValue_;
  if (range >= 1) share /= range;
  if (std::isnan(share) || share <= 0) return;
  share = std::min(share, 1.0);
  painter.setBrush(accentColor());
  painter.drawRoundedRect(QRectF(track.x(), track.y(), share * track.width(), 4), 2, 2);
}

}  // namespace PelorinInstaller
