#include <QAccessible>
#include <QApplication>
#include <QDesktopServices>
#include <QUrl>
#include <QWidget>

#include "app/Desktop.hpp"

namespace PelorinInstaller::Desktop {
namespace {

QUrl fileURL(const std::filesystem::path& path) {
  return QUrl::fromLocalFile(QString::fromStdString(path.string()));
}

}  // namespace

// A bundle is a folder here: the desktop's opener shows it.
bool openApplication(const std::filesystem::path& application) {
  return QDesktopServices::openUrl(fileURL(application));
}

// The desktop has no common call to select an item, so its folder is opened.
void revealInFileViewer(const std::filesystem::path& item) {
  QDesktopServices::openUrl(fileURL(item.parent_path()));
}

// The accessibility bus of Qt before 6.8 has no announcement: of the events it passes on, a text
// inserted into the status is the one that carries the words.
void announce(QWidget* source, const QString& text) {
  QAccessibleTextInsertEvent event(source, 0, text);
  QAccessible::updateAccessibility(&event);
}

// A desktop style (Adwaita-Dark, Breeze Dark) paints buttons and alerts in its own colours
// whatever the palette says; Fusion paints with the palette alone.
void useOwnLook(const QPalette& palette) {
  QApplication::setStyle("Fusion");
  QApplication::setPalette(palette);
}

}  // namespace PelorinInstaller::Desktop
