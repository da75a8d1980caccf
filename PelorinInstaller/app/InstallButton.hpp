#pragma once

#include <QPushButton>

namespace PelorinInstaller {

// The main button: a filled rounded rectangle in the accent colour with a white title. Only the
// fill fades when the button is pressed or disabled.
class InstallButton : public QPushButton {
 public:
  using QPushButton::QPushButton;

  QSize sizeHint() const override { return {200, 40}; }

 protected:
  void paintEvent(QPaintEvent*) override;
};

}  // namespace PelorinInstaller
