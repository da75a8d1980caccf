// What the shipped string tables say, and the real program's self-check from a prefix of its own:
// where it finds its resources, which texts it reads, and what it reports.
#include <gtest/gtest.h>

#include <QTranslator>

#include "TestSupport.hpp"
#include "app/InstallerResources.hpp"

namespace PelorinInstaller {
namespace {

namespace fs = std::filesystem;
using PelorinTesting::TemporaryFolder;
const fs::path kBuilt = PELORIN_BUNDLE;
const std::string kBundle = "PelorinInstaller_PelorinInstaller.bundle";

// Every key the program looks up.
constexpr const char* kKeys =
    "title quit install cancel preparing downloading verifying installing complete open openFailed "
    "retry error.invalidManifest error.invalidURL error.unsupportedSystem error.invalidResponse "
    "error.damagedDownload error.wrongApplication error.downgrade error.appRunning "
    "error.installConflict error.noSpace error.busy error.cancelled error.network "
    "error.permission error.verification error.generic working workingDetail continue";

TEST(Texts, ClaimNothingThatMayBeFalse) {
  // A permission failure may be in any folder a run touches; showing the application in its
  // folder may fail as opening it did. And every key has a text of its own.
  const QStringList keys = QString(kKeys).split(' ');
  for (const auto& [language, permission, openFailed] :
       std::vector<std::tuple<std::string, QString, QString>>{{"en", "Applications", "shown"},
                                                              {"zh-hans", "应用程序", "显示"}}) {
    QTranslator table;
    ASSERT_TRUE(table.load(
        QString::fromStdString((kBuilt / (language + ".lproj/Localizable.qm")).string())));
    QStringList texts;
    for (const auto& key : keys) texts << table.translate("Localizable", key.toUtf8());
    EXPECT_FALSE(texts[keys.indexOf("error.permission")].contains(permission) ||
                 texts[keys.indexOf("openFailed")].contains(openFailed))
        << language;
    EXPECT_FALSE(texts.contains("") || texts.removeDuplicates() > 0)
        << language << ": a key without a text of its own";
  }
}

// The real program with its resources laid out in full below a prefix of its own, where no
// window can show; each case takes one more thing away.
TEST(SelfCheck, TheProgramReportsWhereItsResourcesAreAndWhatTheyHold) {
  struct Case {
    std::string removed;
    std::map<std::string, std::string> environment;
    QString title, icon;  // title "": no report, but the error
    std::string error = "";
    std::vector<std::string> args = {"--self-check"};
  };
  TemporaryFolder prefix, runtime;
  const fs::path beside = prefix / "bin" / kBundle;
  const fs::path installed = prefix / "share/PelorinInstaller" / kBundle;
  for (const auto& bundle : {beside, installed}) {
    fs::create_directories(bundle.parent_path());
    fs::copy(kBuilt, bundle, fs::copy_options::recursive);
  }
  fs::copy_file(PELORIN_PROGRAM, prefix / "bin/PelorinInstaller");
  fs::rename(beside / "zh-hans.lproj", beside / "ZH-Hans.lproj");  // letter case does not matter
  fs::create_directory(beside / "de.lproj");
  fs::copy_file(fs::path(PELORIN_TEST_DATA) / "de.lproj/Localizable.qm",
                beside / "de.lproj/Localizable.qm");
  const std::string zh = "bin/" + kBundle + "/ZH-Hans.lproj";
  const QString chinese = "Pelorin Code 安装器", german = "Pelorin Code Installationsprogramm";
  const QString report =
      R"({"architecture":"arm64","brandIcon":"%1","resources":"%2","testVersion":"live","title":"%3"})";
  const std::string stop = "unable to find bundle named PelorinInstaller_PelorinInstaller\n";
  for (const Case& c : std::vector<Case>{
           {"",
            {},
            chinese,
            "loaded",
            "",
            {"a", "--self-check", "-platform", "xcb", "--self-check"}},
           {"", {}, "", "", "no Qt platform plugin could be initialized", {"--self-check=1"}},
           {"share", {{"LANG", "de_DE.UTF-8"}, {"LANGUAGE", "en"}}, chinese, "loaded"},
           {"bin/" + kBundle + "/icon.icns", {}, chinese, "missing"},
           {zh + "/Localizable.qm", {}, "title", "missing"},
           {zh, {{"LANG", "de_DE.UTF-8"}}, german, "missing"},
           {"", {{"LANG", "fr_FR.UTF-8"}, {"LANGUAGE", "fr:de"}}, german, "missing"},
           {"", {{"LANG", "fr_FR.UTF-8"}}, "Pelorin Code Installer", "missing"},
           {"bin/" + kBundle, {}, "", "", stop}}) {
    SCOPED_TRACE(c.removed + " " + c.title.toStdString());
    if (!c.removed.empty()) fs::remove_all(prefix / c.removed);
    std::map<std::string, std::string> environment = {
        {"XDG_RUNTIME_DIR", runtime.path()}, {"LANG", "en_US.UTF-8"}, {"QT_QPA_PLATFORM", "xcb"}};
    for (const auto& [name, value] : c.environment) environment[name] = value;
    const auto result =
        PelorinTesting::runChild(prefix / "bin/PelorinInstaller", c.args, environment);
    const QString where =
        QString::fromStdString((fs::exists(installed) ? installed : beside).string());
    const QString line =
        c.title.isEmpty() ? ""
                          : report.arg(c.icon, QString(where).replace("/", "\\/"), c.title) + "\n";
    EXPECT_EQ(result.out, line.toStdString());
    EXPECT_EQ(result.exitStatus == 0, !line.isEmpty());
    EXPECT_TRUE(c.error.empty() ? result.err.empty()
                                : result.err.find(c.error) != std::string::npos)
        << result.err;
  }
}

}  // namespace
}  // namespace PelorinInstaller
