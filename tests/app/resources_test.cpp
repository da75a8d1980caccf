#include <gtest/gtest.h>

#include <QTranslator>
#include <string>
#include <vector>

#include "TestSupport.hpp"
#include "app/InstallerResources.hpp"

namespace PelorinInstaller {
namespace {

namespace fs = std::filesystem;
using PelorinTesting::TemporaryFolder;
using PelorinTesting::writeFile;

const fs::path kBuiltBundle = PELORIN_BUNDLE;
const fs::path kGermanTable = fs::path(PELORIN_TEST_DATA) / "de.lproj" / "Localizable.qm";
constexpr const char* kBundleFolder = "PelorinInstaller_PelorinInstaller.bundle";

// Makes folders (names ending in "/") and empty files inside a folder.
void lay(const fs::path& root, const std::vector<std::string>& entries) {
  fs::create_directories(root);
  for (const auto& entry : entries) {
    if (entry.ends_with('/')) {
      fs::create_directories(root / entry);
    } else {
      writeFile(root / entry, "");
    }
  }
}

TEST(TextBundle, ASimplifiedChineseFolderWinsWhateverItsLetterCase) {
  struct Case {
    std::vector<std::string> entries;
    std::string chosen;  // "" for the resource bundle itself
  };
  for (const Case& c : std::vector<Case>{
           {{"en.lproj/", "zh-hans.lproj/"}, "zh-hans.lproj"},
           {{"zh-Hans.lproj/", "en.lproj/"}, "zh-Hans.lproj"},
           {{"ZH-HANS.LPROJ/"}, "ZH-HANS.LPROJ"},
           {{"en.lproj/", "de.lproj/"}, ""},
           {{"zh-hant.lproj/", "zh-hans.lproj.old/", "zh.lproj/"}, ""},
           {{"zh-hans.lproj"}, ""},  // a file does not open as a bundle
           {{}, ""},
       }) {
    TemporaryFolder folder;
    const fs::path bundle = folder / kBundleFolder;
    lay(bundle, c.entries);
    EXPECT_EQ(InstallerResources::textBundle(bundle), c.chosen.empty() ? bundle : bundle / c.chosen)
        << c.chosen;
  }
  TemporaryFolder folder;
  EXPECT_EQ(InstallerResources::textBundle(folder / "absent"), folder / "absent")
      << "a listing that fails leaves the resource bundle";
}

TEST(StringTable, TheUsersLanguageThenEnglishThenTheBundlesOwnTable) {
  struct Case {
    std::vector<std::string> entries;
    QStringList languages;
    std::string table;  // "" for none
  };
  const std::vector<std::string> three = {"en.lproj/Localizable.qm", "de.lproj/Localizable.qm",
                                          "pt-br.lproj/Localizable.qm"};
  for (const Case& c : std::vector<Case>{
           {three, {"de-DE", "de"}, "de.lproj/Localizable.qm"},
           {three, {"de_AT"}, "de.lproj/Localizable.qm"},
           {three, {"fr-FR", "de-CH"}, "de.lproj/Localizable.qm"},
           {three, {"pt-BR"}, "pt-br.lproj/Localizable.qm"},
           {three, {"fr-FR"}, "en.lproj/Localizable.qm"},
           {three, {}, "en.lproj/Localizable.qm"},
           {{"De.lproj/Localizable.qm", "en.lproj/Localizable.qm"},
            {"de"},
            "De.lproj/Localizable.qm"},
           {{"de.lproj/", "en.lproj/Localizable.qm"}, {"de"}, "en.lproj/Localizable.qm"},
           {{"Localizable.qm"}, {"de"}, "Localizable.qm"},
           {{"de.lproj/Localizable.qm", "Localizable.qm"}, {"fr"}, "Localizable.qm"},
           {{"other.qm", "fr.lproj/"}, {"fr"}, ""},
       }) {
    TemporaryFolder folder;
    lay(folder.path(), c.entries);
    const auto table = InstallerResources::stringTable(folder.path(), c.languages);
    if (c.table.empty()) {
      EXPECT_FALSE(table) << c.languages.join(",").toStdString();
    } else {
      EXPECT_EQ(table, folder / c.table) << c.languages.join(",").toStdString();
    }
  }
}

TEST(ResourceBundle, SearchOrderAmongTheProgramsFolders) {
  struct Case {
    const char* name;
    std::vector<std::string> entries;  // under a prefix with bin/, share/ and lib/
    std::string found;                 // "" for none
  };
  const std::string bundle = std::string(kBundleFolder) + "/";
  for (const Case& c : std::vector<Case>{
           {"main resources first",
            {"share/" + bundle, "lib/" + bundle, "bin/" + bundle},
            "share/" + bundle},
           {"then the code's resources", {"lib/" + bundle, "bin/" + bundle}, "lib/" + bundle},
           {"then beside the program", {"bin/" + bundle}, "bin/" + bundle},
           {"a file is no bundle", {"bin/" + std::string(kBundleFolder)}, ""},
           {"nowhere", {"bin/other.bundle/"}, ""},
       }) {
    TemporaryFolder prefix;
    lay(prefix.path(), {"bin/", "share/", "lib/"});
    lay(prefix.path(), c.entries);
    const auto found =
        InstallerResources::locate({prefix / "bin", prefix / "share"}, prefix / "lib");
    if (c.found.empty()) {
      EXPECT_FALSE(found) << c.name;
    } else {
      EXPECT_EQ(found, prefix / c.found.substr(0, c.found.size() - 1)) << c.name;
    }
  }
  TemporaryFolder prefix;
  lay(prefix.path(), {"bin/" + bundle});
  EXPECT_EQ(InstallerResources::locate({prefix / "bin", std::nullopt}, std::nullopt),
            prefix / "bin" / kBundleFolder)
      << "absent resource folders are skipped";
}

TEST(Icon, LoadsAtFullSizeAndIsNoneWhenMissingOrUnreadable) {
  const auto icon = InstallerResources::iconIn(kBuiltBundle);
  ASSERT_TRUE(icon);
  EXPECT_EQ(icon->size(), QSize(512, 512));

  TemporaryFolder folder;
  EXPECT_FALSE(InstallerResources::iconIn(folder.path()));
  writeFile(folder / "icon.icns", "icns but not really");
  EXPECT_FALSE(InstallerResources::iconIn(folder.path()));
}

const std::vector<std::string> kKeys = {"title",
                                        "quit",
                                        "install",
                                        "cancel",
                                        "preparing",
                                        "downloading",
                                        "verifying",
                                        "installing",
                                        "complete",
                                        "open",
                                        "openFailed",
                                        "retry",
                                        "error.invalidManifest",
                                        "error.invalidURL",
                                        "error.unsupportedSystem",
                                        "error.invalidResponse",
                                        "error.damagedDownload",
                                        "error.wrongApplication",
                                        "error.downgrade",
                                        "error.appRunning",
                                        "error.installConflict",
                                        "error.noSpace",
                                        "error.busy",
                                        "error.cancelled",
                                        "error.network",
                                        "error.permission",
                                        "error.verification",
                                        "error.generic",
                                        "working",
                                        "workingDetail",
                                        "continue"};

TEST(Texts, BothShippedTablesHoldEveryKey) {
  ASSERT_EQ(kKeys.size(), 31u);
  for (const char* language : {"en", "zh-hans"}) {
    QTranslator table;
    const fs::path file = kBuiltBundle / (std::string(language) + ".lproj") / "Localizable.qm";
    ASSERT_TRUE(table.load(QString::fromStdString(file.string()))) << file;
    QStringList seen;
    for (const auto& key : kKeys) {
      const QString text = table.translate("Localizable", key.c_str());
      EXPECT_FALSE(text.isEmpty()) << language << " lacks " << key;
      seen << text;
    }
    EXPECT_EQ(seen.removeDuplicates(), 0) << language << ": two keys share a text";
  }
}

TEST(Texts, ClaimNothingThatMayBeFalse) {
  // A permission failure may be in any folder a run touches; showing the application in its
  // folder may fail as opening it did.
  struct Case {
    const char* language;
    const char* key;
    const char* claim;
  };
  for (const Case& c : std::vector<Case>{{"en", "error.permission", "Applications"},
                                         {"zh-hans", "error.permission", "应用程序"},
                                         {"en", "openFailed", "shown"},
                                         {"zh-hans", "openFailed", "显示"}}) {
    QTranslator table;
    ASSERT_TRUE(table.load(QString::fromStdString(
        (kBuiltBundle / (std::string(c.language) + ".lproj") / "Localizable.qm").string())));
    const QString text = table.translate("Localizable", c.key);
    EXPECT_FALSE(text.isEmpty() || text.contains(QString::fromUtf8(c.claim)))
        << c.language << " " << c.key << ": " << text.toStdString();
  }
}

TEST(Texts, ThisProgramReadsChineseAndAMissingKeyShowsItself) {
  // The tests run beside the built bundle, which has its Chinese folder.
  EXPECT_EQ(InstallerResources::bundle(), kBuiltBundle);
  EXPECT_EQ(InstallerResources::text("install"), QString::fromUtf8("安装"));
  EXPECT_EQ(InstallerResources::text("error.noSpace"), QString::fromUtf8("磁盘可用空间不足。"));
  EXPECT_EQ(InstallerResources::text("no.such.key"), "no.such.key");
  EXPECT_EQ(InstallerResources::text(""), "");
}

// The real program, copied into a folder of its own with a resource bundle laid out as a case
// needs, run in self-check mode.
class Program : public testing::Test {
 protected:
  Program() {
    fs::create_directories(prefix / "bin");
    fs::copy_file(PELORIN_PROGRAM, program());
  }
  fs::path program() const { return prefix / "bin" / "PelorinInstaller"; }
  fs::path besideProgram() const { return prefix / "bin" / kBundleFolder; }
  fs::path installed() const { return prefix / "share" / "PelorinInstaller" / kBundleFolder; }
  void copyBundle(const fs::path& to) const {
    fs::create_directories(to.parent_path());
    fs::copy(kBuiltBundle, to, fs::copy_options::recursive);
  }

  PelorinTesting::ChildResult run(std::vector<std::string> args,
                                  std::map<std::string, std::string> environment = {}) const {
    environment.emplace("XDG_RUNTIME_DIR", runtime.path().string());
    environment.emplace("QT_QPA_PLATFORM", "offscreen");
    environment.emplace("LANG", "en_US.UTF-8");
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
      if (const char* value = std::getenv(name)) environment.emplace(name, value);
    }
    return PelorinTesting::runChild(program(), args, environment);
  }
  std::string title(std::map<std::string, std::string> environment = {}) const {
    const auto result = run({"--self-check"}, std::move(environment));
    const auto at = result.out.find("\"title\":\"");
    if (result.exitStatus != 0 || at == std::string::npos) return "(no report) " + result.err;
    const auto start = at + 9;
    return result.out.substr(start, result.out.find('"', start) - start);
  }

  TemporaryFolder prefix;
  TemporaryFolder runtime;
};

TEST_F(Program, ChineseIsChosenOverEnglishWhateverTheUsersLanguage) {
  copyBundle(besideProgram());
  for (const char* language : {"en_US.UTF-8", "de_DE.UTF-8", "C"}) {
    EXPECT_EQ(title({{"LANG", language}, {"LANGUAGE", "en"}}), "Pelorin Code 安装器") << language;
  }
  fs::rename(besideProgram() / "zh-hans.lproj", besideProgram() / "ZH-Hans.lproj");
  EXPECT_EQ(title({{"LANGUAGE", "en"}}), "Pelorin Code 安装器") << "letter case ignored";
}

TEST_F(Program, WithoutChineseTheUsersLanguagesChoose) {
  copyBundle(besideProgram());
  fs::remove_all(besideProgram() / "zh-hans.lproj");
  fs::create_directories(besideProgram() / "de.lproj");
  fs::copy_file(kGermanTable, besideProgram() / "de.lproj" / "Localizable.qm");
  struct Case {
    std::map<std::string, std::string> environment;
    std::string title;
  };
  for (const Case& c : std::vector<Case>{
           {{{"LANG", "de_DE.UTF-8"}}, "Pelorin Code Installationsprogramm"},
           {{{"LANGUAGE", "fr:de"}, {"LANG", "fr_FR.UTF-8"}}, "Pelorin Code Installationsprogramm"},
           {{{"LANG", "en_GB.UTF-8"}}, "Pelorin Code Installer"},
           {{{"LANG", "fr_FR.UTF-8"}}, "Pelorin Code Installer"},
       }) {
    EXPECT_EQ(title(c.environment), c.title) << c.environment.begin()->second;
  }
}

TEST_F(Program, AChineseFolderWithoutATableShowsTheKeys) {
  copyBundle(besideProgram());
  fs::remove(besideProgram() / "zh-hans.lproj" / "Localizable.qm");
  EXPECT_EQ(title(), "title");
}

TEST_F(Program, AMissingOrUnreadableIconIsReportedAndNothingMore) {
  copyBundle(besideProgram());
  fs::remove(besideProgram() / "icon.icns");
  auto result = run({"--self-check"});
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_NE(result.out.find("\"brandIcon\":\"missing\""), std::string::npos) << result.out;

  writeFile(besideProgram() / "icon.icns", std::string(64, '\0'));
  result = run({"--self-check"});
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_NE(result.out.find("\"brandIcon\":\"missing\""), std::string::npos) << result.out;
  EXPECT_EQ(result.err, "") << "nothing is logged";
}

TEST_F(Program, WithoutABundleItStopsWithTheFatalMessageInBothModes) {
  for (const auto& args : std::vector<std::vector<std::string>>{{"--self-check"}, {}}) {
    const auto result = run(args);
    EXPECT_EQ(result.err, "unable to find bundle named PelorinInstaller_PelorinInstaller\n");
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.exitStatus, 0);
  }
}

TEST_F(Program, AnInstalledBundleIsFoundFirst) {
  copyBundle(installed());
  copyBundle(besideProgram());
  auto result = run({"--self-check"});
  EXPECT_NE(result.out.find("share\\/PelorinInstaller\\/" + std::string(kBundleFolder)),
            std::string::npos)
      << result.out;
  fs::remove_all(installed());
  result = run({"--self-check"});
  EXPECT_NE(result.out.find("bin\\/" + std::string(kBundleFolder)), std::string::npos)
      << result.out;
}

}  // namespace
}  // namespace PelorinInstaller
