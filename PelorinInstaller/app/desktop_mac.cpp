#include <QDesktopServices>
#include <QProcess>
#include <QUrl>

#include "app/Desktop.hpp"

namespace PelorinInstaller::Desktop {

// Opening an application bundle launches it.
bool openApplication(const std::filesystem::path& application) {
  return QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(application)));
}

void revealInFileViewer(const std::filesystem::path& item) {
  QProcess::startDetached("/usr/bin/open", {"-R", QString::fromStdString(item)});
}

}  // namespace PelorinInstaller::Desktop
