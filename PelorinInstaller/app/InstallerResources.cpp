#include "app/InstallerResources.hpp"

#include <QLocale>
#include <QTranslator>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace PelorinInstaller::InstallerResources {
namespace {

namespace fs = std::filesystem;

constexpr const char* kTableName = "Localizable.qm";
constexpr const char* kTableContext = "Localizable";

std::string bundleFolderName() { return std::string(kBundleName) + ".bundle"; }

// A bundle opens when its folder exists.
bool opens(const fs::path& folder) {
  std::error_code error;
  return !folder.empty() && fs::is_directory(folder, error);
}

[[noreturn]] void stop() {
  std::fputs("unable to find bundle named PelorinInstaller_PelorinInstaller\n", stderr);
  std::fflush(stderr);
  std::_Exit(EXIT_FAILURE);
}

// The folders directly inside a folder, in the order the file system lists them; none when the
// listing fails.
std::vector<fs::path> entries(const fs::path& folder) {
  std::vector<fs::path> found;
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    found.push_back(it->path());
  }
  return found;
}

QString lowered(const fs::path& path) {
  return QString::fromStdString(path.filename().string()).toLower();
}

// "en_US" and "en-US" both become "en-us"; "zh-Hant-TW" keeps its script.
QString languageTag(const QString& language) {
  return QString(language).replace(u'_', u'-').toLower();
}

std::unique_ptr<QTranslator> loadTable() {
  const auto table = stringTable(textBundle(bundle()), QLocale::system().uiLanguages());
  auto translator = std::make_unique<QTranslator>();
  if (!table || !translator->load(QString::fromStdString(table->string()))) return nullptr;
  return translator;
}

}  // namespace

std::optional<fs::path> locate(const MainBundle& main,
                               const std::optional<fs::path>& codeResources) {
  if (main.resourceURL && opens(*main.resourceURL / bundleFolderName())) {
    return *main.resourceURL / bundleFolderName();
  }
  for (const auto& candidate : {main.resourceURL, codeResources, std::optional(main.bundleURL)}) {
    if (candidate && opens(*candidate) && opens(*candidate / bundleFolderName())) {
      return *candidate / bundleFolderName();
    }
  }
  return std::nullopt;
}

fs::path textBundle(const fs::path& resourceBundle) {
  for (const auto& entry : entries(resourceBundle)) {
    if (lowered(entry) != "zh-hans.lproj") continue;
    return opens(entry) ? entry : resourceBundle;
  }
  return resourceBundle;
}

std::optional<fs::path> stringTable(const fs::path& textBundle, const QStringList& languages) {
  std::vector<std::pair<QString, fs::path>> localizations;
  for (const auto& entry : entries(textBundle)) {
    const QString name = lowered(entry);
    std::error_code error;
    if (name.endsWith(".lproj") && fs::is_regular_file(entry / kTableName, error)) {
      localizations.emplace_back(name.chopped(6), entry / kTableName);
    }
  }
  QStringList wanted;
  for (const auto& language : languages) {
    const QString tag = languageTag(language);
    wanted << tag << tag.section(u'-', 0, 0);
  }
  wanted << "en";
  for (const auto& tag : wanted) {
    for (const auto& [name, table] : localizations) {
      if (name == tag) return table;
    }
  }
  std::error_code error;
  if (fs::is_regular_file(textBundle / kTableName, error)) return textBundle / kTableName;
  return std::nullopt;
}

std::optional<QImage> iconIn(const fs::path& resourceBundle) {
  const auto file = resourceBundle / "icon.icns";
  std::error_code error;
  if (!fs::exists(file, error)) return std::nullopt;
  QImage image;
  if (!image.load(QString::fromStdString(file.string()))) return std::nullopt;
  return image;
}

const fs::path& bundle() {
  static const fs::path found = [] {
    auto located = locate(mainBundle(), codeBundleResourceURL());
    if (!located) stop();
    return *located;
  }();
  return found;
}

QString text(std::string_view key) {
  static const std::unique_ptr<QTranslator> table = loadTable();
  const std::string source(key);
  if (table) {
    QString translated = table->translate(kTableContext, source.c_str());
    if (!translated.isEmpty()) return translated;
  }
  return QString::fromStdString(source);
}

std::optional<QImage> icon() { return iconIn(bundle()); }

}  // namespace PelorinInstaller::InstallerResources
