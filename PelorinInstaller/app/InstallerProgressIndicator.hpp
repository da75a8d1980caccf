#pragma once

#include <QProgressBar>
#include <optional>

namespace PelorinInstaller {

// A thin rounded bar in the accent colour over a pale track. While indeterminate it is the
// toolkit's own busy bar. Values are doubles, as the share of a download is. Assistive technology
// hears the share as a whole percentage, and that it is unknown while the bar is indeterminate.
class InstallerProgressIndicator : public QProgressBar {
 public:
  explicit InstallerProgressIndicator(QWidget* parent = nullptr);

  bool isIndeterminate() const { return indeterminate_; }
  void setIndeterminate(bool);
  double minValue() const { return minValue_; }
  double maxValue() const { return maxValue_; }
  double doubleValue() const { return value_; }
  void setMinValue(double value);
  void setMaxValue(double value);
  void setDoubleValue(double value);
  // The filled share truncated to a whole percentage, as the window writes it; none while
  // indeterminate.
  std::optional<double> percentage() const;

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  double share() const;
  void announce(std::optional<double> before);

  // The toolkit's bar counts in integers and has no indeterminate flag of its own (it shows
  // "busy" for an empty range), so the determinate model lives here.
  bool indeterminate_ = true;
  double minValue_ = 0;
  double maxValue_ = 100;
  double value_ = 0;
};

}  // namespace PelorinInstaller
