#pragma once

#include <filesystem>

class QPalette;
class QString;
class QWidget;

namespace PelorinInstaller::Desktop {

// Opens an installed application the way the desktop opens it; false when it cannot.
bool openApplication(const std::filesystem::path& application);

// Shows an item in the desktop's file viewer, as far as the desktop allows.
void revealInFileViewer(const std::filesystem::path& item);

// Has assistive technology speak `text` at once, whatever has focus: the message that `source`,
// a status label, now shows.
void announce(QWidget* source, const QString& text);

// The application draws in `palette` and never in the desktop's theme, dark or light.
void useOwnLook(const QPalette& palette);

}  // namespace PelorinInstaller::Desktop
