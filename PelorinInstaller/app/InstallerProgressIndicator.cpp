#include "app/InstallerProgressIndicator.hpp"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QPainter>
#include <cmath>

#include "app/Palette.hpp"

namespace PelorinInstaller {
namespace {

// The toolkit's own description of a progress bar reads its integer model, which this bar
// leaves empty: this one reads the bar's share instead.
class AccessibleBar : public QAccessibleWidget, public QAccessibleValueInterface {
 public:
  explicit AccessibleBar(InstallerProgressIndicator* bar)
      : QAccessibleWidget(bar, QAccessible::ProgressBar) {}

  // A busy bar has no value: asked for one, a screen reader would hear 0.
  void* interface_cast(QAccessible::InterfaceType type) override {
    if (type != QAccessible::ValueInterface) return QAccessibleWidget::interface_cast(type);
    return bar()->isIndeterminate() ? nullptr : static_cast<QAccessibleValueInterface*>(this);
  }
  QString text(QAccessible::Text kind) const override {
    if (kind != QAccessible::Value) return QAccessibleWidget::text(kind);
    const auto percentage = bar()->percentage();
    return percentage ? QString::number(*percentage) + "%" : QString();
  }
  QAccessible::State state() const override {
    QAccessible::State state = QAccessibleWidget::state();
    state.busy = bar()->isIndeterminate();
    return state;
  }

  QVariant currentValue() const override {
    const auto percentage = bar()->percentage();
    return percentage ? QVariant(*percentage) : QVariant();
  }
  void setCurrentValue(const QVariant&) override {}  // the run sets it, not the user
  QVariant maximumValue() const override { return 100.0; }
  QVariant minimumValue() const override { return 0.0; }
  QVariant minimumStepSize() const override { return 1.0; }

 private:
  InstallerProgressIndicator* bar() const {
    return static_cast<InstallerProgressIndicator*>(widget());
  }
};

QAccessibleInterface* describe(const QString&, QObject* object) {
  auto* bar = dynamic_cast<InstallerProgressIndicator*>(object);
  return bar ? new AccessibleBar(bar) : nullptr;
}

}  // namespace

InstallerProgressIndicator::InstallerProgressIndicator(QWidget* parent) : QProgressBar(parent) {
  // Factories installed later are asked first: this one comes before the toolkit's.
  [[maybe_unused]] static const bool described = (QAccessible::installFactory(&describe), true);
  setTextVisible(false);
  setRange(0, 0);
}

void InstallerProgressIndicator::setIndeterminate(bool indeterminate) {
  const auto before = percentage();
  indeterminate_ = indeterminate;
  if (indeterminate) {
    setRange(0, 0);
  } else {
    setRange(0, 1);
  }
  update();
  announce(before);
}

void InstallerProgressIndicator::setMinValue(double value) {
  const auto before = percentage();
  minValue_ = value;
  announce(before);
}

void InstallerProgressIndicator::setMaxValue(double value) {
  const auto before = percentage();
  maxValue_ = value;
  announce(before);
}

void InstallerProgressIndicator::setDoubleValue(double value) {
  const auto before = percentage();
  value_ = value;
  announce(before);
}

std::optional<double> InstallerProgressIndicator::percentage() const {
  if (indeterminate_) return std::nullopt;
  return std::trunc(share() * 100);
}

// A screen reader speaks a progress bar's changes as they are announced; a download's many
// reports within one percent say nothing new.
void InstallerProgressIndicator::announce(std::optional<double> before) {
  const auto now = percentage();
  if (now == before || !isVisible()) return;
  if (!now) {
    QAccessible::State busy;
    busy.busy = true;
    QAccessibleStateChangeEvent event(this, busy);
    QAccessible::updateAccessibility(&event);
    return;
  }
  QAccessibleValueChangeEvent event(this, *now);
  QAccessible::updateAccessibility(&event);
}

// From 0 to 1. A range below 1 is taken as a share already.
double InstallerProgressIndicator::share() const {
  double share = value_ - minValue_;
  const double range = maxValue_ - minValue_;
  if (range >= 1) share /= range;
  if (std::isnan(share) || share <= 0) return 0;
  return std::min(share, 1.0);
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

  const double filled = share();
  if (filled == 0) return;
  painter.setBrush(accentColor());
  painter.drawRoundedRect(QRectF(track.x(), track.y(), filled * track.width(), 4), 2, 2);
}

}  // namespace PelorinInstaller
