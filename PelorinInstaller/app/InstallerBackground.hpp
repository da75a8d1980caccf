#pragma once

#include <QWidget>

namespace PelorinInstaller {

// The window's content: a soft vertical gradient with a short accent bar near the top edge.
class InstallerBackground : public QWidget {
 public:
  using QWidget::QWidget;

 protected:
  void paintEvent(QPaintEvent*) override;
};

}  // namespace PelorinInstaller
