#include <QDesktopServices>
#include <QUrl>

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

}  // namespace PelorinInstaller::Desktop
