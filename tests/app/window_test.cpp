// The message of each error, and the one window over runs that the test steers: what it shows
// and tells assistive technology, and how it answers cancel, retry, open, close and quit.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <InstallerCore/InstallerError.hpp>
#include <QAccessible>
#include <QApplication>
#include <QDesktopServices>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>
#include <future>
#include <nlohmann/json.hpp>

#include "TestSupport.hpp"
#include "app/AppDelegate.hpp"
#include "app/ErrorText.hpp"
#include "app/InstallerProgressIndicator.hpp"
#include "app/InstallerResources.hpp"
#include "pipeline/CommandError.hpp"
#include "pipeline/NetworkError.hpp"

namespace PelorinInstaller {
namespace {

namespace fs = std::filesystem;
using InstallerResources::text;
constexpr const char* kInstalled = "/tmp/Pelorin Code.app";

template <typename Error>
std::exception_ptr thrown(Error error) {
  return std::make_exception_ptr(std::move(error));
}

TEST(ErrorText, EachKindOfErrorHasItsMessage) {
  const std::error_code noAccess(EACCES, std::system_category());
  for (const auto& [error, message] : std::vector<std::pair<std::exception_ptr, std::string>>{
           {thrown(std::system_error(InstallerCore::InstallerError::noSpace)), "error.noSpace"},
           {thrown(CommandError("hdiutil", 1)), "error.verification (hdiutil: 1)"},
           {thrown(networkError(kTransferCancelled)), "error.cancelled"},
           {thrown(networkError(60)), "error.network"},
           {thrown(std::system_error(EPERM, std::system_category())), "error.permission"},
           {thrown(fs::filesystem_error("rename", "/Applications", noAccess)), "error.permission"},
           {thrown(std::system_error(ENOSPC, std::generic_category())),
            "error.generic (generic: 28)"},
           {thrown(std::system_error(99, InstallerCore::installerCategory())),
            "error.generic (InstallerError: 99)"},
           {thrown(nlohmann::json::parse_error::create(101, 0, "", nullptr)),
            "error.generic (json: 101)"},
           {thrown(std::runtime_error("x")), "error.generic (std::runtime_error: 0)"},
           {thrown(5), "error.generic (unknown: 0)"}}) {
    EXPECT_EQ(errorMessage(error, [](std::string_view key) { return QString::fromUtf8(key); }),
              QString::fromStdString(message));
  }
}

// The window of a launched program whose runs wait on their thread until the test ends them,
// or until their token is cancelled, which ends them as the install driver ends.
class Window : public testing::Test {
 protected:
  void SetUp() override {
    delegate.applicationDidFinishLaunching();
    show();
  }
  void show() {
    delegate.window()->show();
    delegate.window()->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(delegate.window()));
  }
  template <typename View = QWidget>
  View* find(const char* name) {
    return delegate.window()->findChild<View*>(name);
  }
  QString status() { return find<QLabel>("status")->text(); }
  QPushButton* action() { return find<QPushButton>("action"); }

  // Presses Return, which starts a run while no run works.
  void start() {
    const auto before = runs.size();
    QTest::keyClick(delegate.window(), Qt::Key_Return);
    ASSERT_TRUE(QTest::qWaitFor([&] { return runs.size() == before + 1; }, 30000));
  }
  // A report of a run (the latest by default), as its thread sends them.
  void report(Phase phase, std::optional<double> fraction, int run = -1) {
    runs.at(run < 0 ? runs.size() - 1 : run).report(phase, fraction);
    QCoreApplication::sendPostedEvents();
  }
  // Ends the latest run by throwing `error`, or else with the installed application.
  void end(std::exception_ptr error = nullptr) {
    error ? runs.back().end->set_exception(error) : runs.back().end->set_value(kInstalled);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !action()->isHidden(); }, 30000));
  }
  // Makes the request inside the event loop, as requests come, and runs the loop until the
  // request ends the program (0) or the alert that explains a refusal has been answered (1).
  int answer(const std::function<void()>& request) {
    QStringList said;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
      if (auto* alert = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        said << alert->text() << alert->informativeText() << alert->buttons().first()->text();
        alert->buttons().first()->click();
      } else if (!said.isEmpty()) {
        QCoreApplication::exit(1);
      }
    });
    poll.start(5);
    QTimer::singleShot(0, &poll, request);
    QTimer::singleShot(30000, &poll, [] { QCoreApplication::exit(2); });
    const int result = QCoreApplication::exec();
    QCoreApplication::processEvents();  // what the request left queued
    const QStringList explained = {text("working"), text("workingDetail"), text("continue")};
    EXPECT_EQ(said, result == 1 ? explained : QStringList());
    return result;
  }

  struct Run {
    std::shared_ptr<Cancellation> token;
    ProgressReport report;
    std::shared_ptr<std::promise<fs::path>> end;
  };
  std::vector<Run> runs;  // on the main thread only
  AppDelegate delegate{[this](std::shared_ptr<Cancellation> token, ProgressReport report) {
    const auto end = std::make_shared<std::promise<fs::path>>();
    auto ended = end->get_future();
    QMetaObject::invokeMethod(qApp, [=, this] { runs.push_back({token, report, end}); });
    while (ended.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready) {
      token->check();
    }
    return ended.get();
  }};
};

// Runs that end every way, step by step, with what the window shows and tells assistive
// technology after each step. Closing and quitting wait for the run to end.
TEST_F(Window, FollowsEachRunToItsEnd) {
  struct Step {
    std::function<void()> act;
    QString status, action, percentage;  // action, percentage "": hidden
    bool cancelShown;
  };
  const auto t = [](std::string_view key) { return text(key); };
  QPushButton* cancel = find<QPushButton>("cancel");
  const auto click = [](QPushButton* button) { QTest::mouseClick(button, Qt::LeftButton); };
  const std::vector<std::function<void()>> requests = {
      [this] { delegate.window()->close(); }, [] { QApplication::closeAllWindows(); },
      [] { QCoreApplication::quit(); },  // as the system asks
      [this] { QTest::keyClick(delegate.window(), Qt::Key_Q, Qt::ControlModifier); }};
  const auto refused = [&] {
    for (const auto& request : requests) EXPECT_EQ(answer(request), 1);
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double infinity = std::numeric_limits<double>::infinity();
  const QString tooLong = t("error.verification") + " (" + QString(300, 'x') + ": 1)";
  for (const Step& c : std::vector<Step>{
           {[] {}, "", t("install"), "", false},
           {[&] { start(); }, t("preparing"), "", "", true},
           {[&] { delegate.performAction(); }, t("preparing"), "", "", true},  // no second run
           {[&] { report(Phase::downloading, 0.0); }, t("downloading"), "", "0%", true},
           {[&] { report(Phase::downloading, 0.999); }, t("downloading"), "", "99%", true},
           {refused, t("downloading"), "", "99%", true},
           {[&] { report(Phase::downloading, nan); }, t("downloading"), "", "", true},
           {[&] { report(Phase::verifying, 1.0); }, t("verifying"), "", "100%", true},
           {[&] { report(Phase::installing, std::nullopt); }, t("installing"), "", "", false},
           {[&] { report(Phase::installing, 0.5); }, t("installing"), "", "50%", false},
           {[&] { report(Phase::preparing, infinity); }, t("preparing"), "", "", true},
           {[&] { end(thrown(CommandError(std::string(300, 'x'), 1))); }, tooLong, t("retry"), "",
            false},
           {[&] { report(Phase::downloading, 0.5); }, tooLong, t("retry"), "", false},
           {[&] { start(); }, t("preparing"), "", "", true},
           {[&] { report(Phase::installing, 0.9, 0); }, t("preparing"), "", "", true},
           {[&] { click(cancel); }, t("error.cancelled"), t("retry"), "", false},
           {[&] { start(); }, t("preparing"), "", "", true},
           {[&] { end(); }, t("complete"), t("open"), "", false},
           {[&] { click(action()); }, t("openFailed"), t("open"), "", false},
           {[&] { click(action()); }, t("openFailed"), t("open"), "", false},
       }) {
    SCOPED_TRACE(c.status.left(40).toStdString() + " " + c.percentage.toStdString());
    c.act();
    ASSERT_TRUE(QTest::qWaitFor([&] { return cancel->isHidden() || cancel->isEnabled(); }, 30000));
    const auto* shown = find<QLabel>("percentage");
    QAccessibleInterface* bar = QAccessible::queryAccessibleInterface(find("progress"));
    EXPECT_EQ(QAccessible::queryAccessibleInterface(find("status"))->text(QAccessible::Name),
              c.status);
    EXPECT_TRUE(status() == c.status || (c.status.size() > 200 && status().count(u'\n') == 1 &&
                                         status().endsWith(QChar(0x2026))))
        << "at most two lines: " << status().toStdString();
    EXPECT_EQ(action()->isHidden() ? "" : action()->text(), c.action);
    EXPECT_EQ(action()->isEnabled(), !c.action.isEmpty());
    EXPECT_EQ(shown->isHidden() ? "" : shown->text(), c.percentage);
    EXPECT_EQ(!cancel->isHidden(), c.cancelShown);
    EXPECT_TRUE(delegate.window()->isVisible());
    EXPECT_EQ(find("progress")->isHidden(), !c.action.isEmpty());
    if (!c.action.isEmpty()) continue;
    EXPECT_EQ(bar->text(QAccessible::Name), status()) << "the bar is named by what it measures";
    EXPECT_EQ(bar->text(QAccessible::Value), c.percentage);
    EXPECT_EQ(bar->valueInterface()->currentValue(),
              c.percentage.isEmpty() ? QVariant() : QVariant(c.percentage.chopped(1).toDouble()));
    EXPECT_EQ(bar->state().busy, c.percentage.isEmpty());
  }
  ASSERT_EQ(runs.size(), 3u) << "a run per press of the main button, none for open";
  EXPECT_FALSE(runs[0].token->isCancelled() || runs[2].token->isCancelled());
  EXPECT_TRUE(runs[1].token->isCancelled());

  // Idle, each request ends the program; so does opening the application, where it opens.
  QTextBrowser opener;
  QDesktopServices::setUrlHandler("file", &opener, "setSource");
  for (const auto& request : requests) {
    show();
    EXPECT_EQ(answer(request), 0);
    EXPECT_FALSE(delegate.window()->isVisible());
  }
  show();
  EXPECT_EQ(answer([&] { click(action()); }), 0);
  QDesktopServices::unsetUrlHandler("file");
  EXPECT_EQ(opener.source(), QUrl::fromLocalFile(kInstalled));
}

}  // namespace
}  // namespace PelorinInstaller

// Against Qt's off-screen platform: real widgets, no display.
int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  const PelorinTesting::TemporaryFolder runtime;  // made 0700, as Qt wants
  setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
  QApplication application(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
