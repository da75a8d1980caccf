#pragma once

#include <QLabel>

namespace PelorinInstaller {

// The window's status: a label whose whole message, however little of it fits, assistive
// technology reads as text, so that a message inserted there can be spoken as it comes.
class StatusLabel : public QLabel {
 public:
  StatusLabel();
};

}  // namespace PelorinInstaller
