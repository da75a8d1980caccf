#pragma once

#include <QProgressBar>

namespace PelorinInstaller {

// A thin rounded bar in the accent colour over a pale track. While indeterminate it is the
// toolkit's own busy bar. Values are doubles, as the share of a download is.
class InstallerProgressIndicator : public QProgressBar {
 public:
  explicit InstallerProgressIndicator(QWidget* parent = nullptr);

  bool isIndeterminate() const { return indeterminate_; }
  void setIndeterminate(bool);
  double minValue() const { return minValue_; }
  double maxValue() const { return maxValue_; }
  double doubleValue() const { return value_; }
  void setMinValue(double value) { minValue_ = value; }
  void setMaxValue(double value) { maxValue_ = value; }
  void setDoubleValue(double value) { value_ = value; }

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  // The toolkit's bar counts in integers and has no indeterminate flag of its own (it shows
  // "busy" for an empty range), so the determinate model lives here.
  bool indeterminate_ = true;
  double minValue_ = 0;
  double maxValue_ = 100;
  double value_ = 0;
};

}  // namespace PelorinInstaller
