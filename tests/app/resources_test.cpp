// What the shipped string tables say, and the real program's self-check from a prefix of its own:
// where it finds its resources, which texts it reads, and what it reports.
#include <gtest/gtest.h>

#include <QTranslator>
#include <algorithm>
#include <nlohmann/json.hpp>

#include <PelorinSeal/Seal.hpp>

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

// The real program with its resources, tools and their key laid out in full below a prefix of
// its own, where no window can show; each case takes one more thing away.
TEST(SelfCheck, TheProgramReportsWhereItsResourcesAreAndWhatTheyHold) {
  TemporaryFolder prefix, runtime;
  const fs::path beside = prefix / "bin" / kBundle;
  const fs::path installed = prefix / "share/PelorinInstaller" / kBundle;
  for (const auto& bundle : {beside, installed}) {
    fs::create_directories(bundle.parent_path());
    fs::copy(kBuilt, bundle, fs::copy_options::recursive);
  }
  const fs::path built = fs::path(PELORIN_PROGRAM).parent_path();
  for (const char* program : {"PelorinInstaller", "hdiutil", "ditto", "codesign", "spctl"})
    fs::copy_file(built / program, prefix / "bin" / program);
  const auto keys = PelorinSeal::generateKeyPair();
  const auto anchor = prefix / "bin/anchor.pem";
  PelorinTesting::writeFile(anchor, keys.publicPem);
  fs::rename(beside / "zh-hans.lproj", beside / "ZH-Hans.lproj");  // letter case does not matter
  fs::create_directory(beside / "de.lproj");
  fs::copy_file(fs::path(PELORIN_TEST_DATA) / "de.lproj/Localizable.qm",
                beside / "de.lproj/Localizable.qm");
  const std::string zh = "bin/" + kBundle + "/ZH-Hans.lproj", chinese = "Pelorin Code 安装器",
                    german = "Pelorin Code Installationsprogramm";
  using Environment = std::map<std::string, std::string>;
  const std::vector<std::string> check = {"--self-check"},
                                 twice = {"a", "--self-check", "-platform", "xcb", "--self-check"};
  const Environment de = {{"LANG", "de_DE.UTF-8"}}, fr = {{"LANG", "fr_FR.UTF-8"}},
                    deEn = {{"LANG", "de_DE.UTF-8"}, {"LANGUAGE", "en"}},
                    frDe = {{"LANG", "fr_FR.UTF-8"}, {"LANGUAGE", "fr:de"}};
  const auto noKey = "PelorinInstaller: " + anchor.string() + " is missing";
  // Present, but no key the stand-ins can trust: the signing key given in its place.
  const auto privateAnchor = "the signing key as " + anchor.string();
  // What is removed first, the environment's changes, the arguments, the exit status, and the
  // title and icon reported ("TITLE|ICON") or else what standard output holds, and what
  // standard error starts with.
  const std::tuple<std::string, Environment, std::vector<std::string>, int, std::string,
                   std::string>
      cases[] = {
          {"", {}, twice, 0, chinese + "|loaded", ""},
          {"", {}, {"--self-check=1"}, 1, "", "PelorinInstaller: no display is available"},
          {"", {}, {"--version", "-platform"}, 0, "PelorinInstaller " PELORIN_VERSION "\n", ""},
          {"share", deEn, check, 0, chinese + "|loaded", ""},
          {"bin/" + kBundle + "/icon.icns", {}, check, 0, chinese + "|missing", ""},
          {zh + "/Localizable.qm", {}, check, 0, "title|missing", ""},
          {zh, de, check, 0, german + "|missing", ""},
          {"", frDe, check, 0, german + "|missing", ""},
          {privateAnchor, fr, check, 1, "Pelorin Code Installer|missing",
           "PelorinInstaller: " + anchor.string() + " is not an Ed25519 public key in PEM form"},
          {"bin/anchor.pem", fr, check, 1, "Pelorin Code Installer|missing", noKey},
          {"bin/" + kBundle, {}, check, 1, "", "unable to find bundle named PelorinInstaller_"}};
  for (const auto& [removed, changes, args, status, expected, said] : cases) {
    SCOPED_TRACE(removed + " " + expected);
    if (removed == privateAnchor) {
      PelorinTesting::writeFile(anchor, keys.privatePem);
    } else if (!removed.empty()) {
      fs::remove_all(prefix / removed);
    }
    Environment environment = {
        {"XDG_RUNTIME_DIR", runtime.path()}, {"LANG", "en_US.UTF-8"}, {"QT_QPA_PLATFORM", "xcb"}};
    for (const auto& [name, value] : changes) environment[name] = value;
    const auto result =
        PelorinTesting::runChild(prefix / "bin/PelorinInstaller", args, environment);
    EXPECT_EQ(result.exitStatus.value_or(-1), status);
    EXPECT_EQ(result.err.substr(0, said.size()), said);
    if (!said.empty()) {
      EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    }
    const auto bar = expected.find('|');
    if (bar == std::string::npos) {
      EXPECT_EQ(result.out, expected);
      continue;
    }
    EXPECT_EQ(result.out.find('\n'), result.out.size() - 1) << "one line";
    EXPECT_EQ(nlohmann::json::parse(result.out),
              (nlohmann::json{{"architecture", "arm64"},
                              {"brandIcon", expected.substr(bar + 1)},
                              {"resources", (fs::exists(installed) ? installed : beside).string()},
                              {"testVersion", "live"},
                              {"title", expected.substr(0, bar)}}));
  }
}

}  // namespace
}  // namespace PelorinInstaller
