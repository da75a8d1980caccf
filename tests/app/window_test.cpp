// The message of each error, and the one window over runs that the test steers: what it shows
// and tells assistive technology, and how it answers cancel, retry, open, close and quit.
#include <gtest/gtest.h>

#include <InstallerCore/Distribution.hpp>
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
#include <cmath>
#include <future>
#include <nlohmann/json.hpp>
#include <thread>

#include "TestSupport.hpp"
#include "app/AppDelegate.hpp"
#include "app/ErrorText.hpp"
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

// Runs that end every way, step by step, with what the window shows and tells assistive
// technology after each step. The runs wait on their thread until the test ends them, or until
// their token is cancelled, which ends them as the install driver ends.
TEST(Window, FollowsEachRunToItsEnd) {
  struct Run {
    std::shared_ptr<Cancellation> token;
    ProgressReport report;
    std::shared_ptr<std::promise<fs::path>> end;
  };
  std::vector<Run> runs;  // on the main thread only
  AppDelegate delegate([&](std::shared_ptr<Cancellation> token, ProgressReport report) {
    const auto end = std::make_shared<std::promise<fs::path>>();
    auto ended = end->get_future();
    QMetaObject::invokeMethod(qApp, [=, &runs] { runs.push_back({token, report, end}); });
    while (ended.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready)
      token->check();
    return ended.get();
  });
  delegate.applicationDidFinishLaunching();
  QWidget* window = delegate.window();
  auto* status = window->findChild<QLabel*>("status");
  auto* action = window->findChild<QPushButton*>("action");
  auto* cancel = window->findChild<QPushButton*>("cancel");
  const auto show = [&] {
    window->show();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
  };
  const auto start = [&] {  // by Return, as the main button's shortcut
    const auto before = runs.size();
    QTest::keyClick(window, Qt::Key_Return);
    ASSERT_TRUE(QTest::qWaitFor([&] { return runs.size() == before + 1; }, 30000));
  };
  const auto report = [&](Phase phase, std::optional<double> fraction, int run = -1) {
    runs.at(run < 0 ? runs.size() - 1 : run).report(phase, fraction);  // the latest by default
    QCoreApplication::sendPostedEvents();
  };
  const auto end = [&](std::exception_ptr error) {  // else with the installed application
    error ? runs.back().end->set_exception(error) : runs.back().end->set_value(kInstalled);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !action->isHidden(); }, 30000));
  };
  // Makes the request inside the event loop, as requests come, and runs the loop until the
  // request ends the program (0) or the alert that explains a refusal has been answered (1).
  const auto answer = [&](const std::function<void()>& request) {
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
  };
  const auto click = [](QPushButton* button) { QTest::mouseClick(button, Qt::LeftButton); };
  const std::vector<std::function<void()>> requests = {
      [&] { window->close(); }, [] { QApplication::closeAllWindows(); },
      [] { QCoreApplication::quit(); },  // as the system asks
      [&] { QTest::keyClick(window, Qt::Key_Q, Qt::ControlModifier); }};
  const auto refused = [&] {
    for (const auto& request : requests) EXPECT_EQ(answer(request), 1);
  };

  struct Step {
    std::function<void()> act;
    QString status, action, percentage;  // action, percentage "": hidden
  };
  const auto t = [](std::string_view key) { return text(key); };
  const QString tooLong = t("error.verification") + " (" + QString(300, 'x') + ": 1)";
  show();
  for (const Step& c : std::vector<Step>{
           {[] {}, "", t("install"), ""},
           {[&] { start(); }, t("preparing"), "", ""},
           {[&] { delegate.performAction(); }, t("preparing"), "", ""},  // no second run
           {[&] { report(Phase::downloading, 0.0); }, t("downloading"), "", "0%"},
           {[&] { report(Phase::downloading, 0.999); }, t("downloading"), "", "99%"},
           {refused, t("downloading"), "", "99%"},
           {[&] { report(Phase::downloading, NAN); }, t("downloading"), "", ""},
           {[&] { report(Phase::verifying, 1.0); }, t("verifying"), "", "100%"},
           {[&] { report(Phase::installing, std::nullopt); }, t("installing"), "", ""},
           {[&] { report(Phase::installing, 0.5); }, t("installing"), "", "50%"},
           {[&] { report(Phase::preparing, INFINITY); }, t("preparing"), "", ""},
           {[&] { end(thrown(CommandError(std::string(300, 'x'), 1))); }, tooLong, t("retry"), ""},
           {[&] { report(Phase::downloading, 0.5); }, tooLong, t("retry"), ""},
           {[&] { start(); }, t("preparing"), "", ""},
           {[&] { report(Phase::installing, 0.9, 0); }, t("preparing"), "", ""},
           {[&] { click(cancel); }, t("error.cancelled"), t("retry"), ""},
           {[&] { start(); }, t("preparing"), "", ""},
           {[&] { end(nullptr); }, t("complete"), t("open"), ""},
           {[&] { click(action); }, t("openFailed"), t("open"), ""},
       }) {
    SCOPED_TRACE(c.status.left(40).toStdString() + " " + c.percentage.toStdString());
    c.act();
    ASSERT_TRUE(QTest::qWaitFor([&] { return cancel->isHidden() || cancel->isEnabled(); }, 30000));
    const auto* shown = window->findChild<QLabel*>("percentage");
    auto* progress = window->findChild<QWidget*>("progress");
    QAccessibleInterface* bar = QAccessible::queryAccessibleInterface(progress);
    EXPECT_EQ(QAccessible::queryAccessibleInterface(status)->text(QAccessible::Name), c.status);
    EXPECT_TRUE(c.status.size() < 200
                    ? status->text() == c.status
                    : status->text().count(u'\n') == 1 && status->text().endsWith(QChar(0x2026)))
        << "at most two lines, the second cut short: " << status->text().toStdString();
    EXPECT_EQ(action->isHidden() || !action->isEnabled() ? "" : action->text(), c.action);
    EXPECT_EQ(shown->isHidden() ? "" : shown->text(), c.percentage);
    EXPECT_EQ(cancel->isHidden(), !c.action.isEmpty() || c.status == t("installing"));
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(progress->isHidden(), !c.action.isEmpty());
    if (!c.action.isEmpty()) continue;
    EXPECT_EQ(bar->text(QAccessible::Name), c.status) << "the bar is named by what it measures";
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
  for (const auto& request :
       {requests[0], requests[2], std::function<void()>([&] { click(action); })}) {
    show();
    EXPECT_EQ(answer(request), 0);
    EXPECT_FALSE(window->isVisible());
  }
  QDesktopServices::unsetUrlHandler("file");
  EXPECT_EQ(opener.source(), QUrl::fromLocalFile(kInstalled));
}

}  // namespace
}  // namespace PelorinInstaller

// Against Qt's off-screen platform: real widgets, no display. Given a state instead, the window
// stays in it over a run that goes no further, for scripts/screenshots.sh, until killed:
//   app_screens ready|preparing|working|done|failed|alert
int main(int argc, char** argv) {
  using namespace PelorinInstaller;
  const std::string state = argc == 2 && argv[1][0] != '-' ? argv[1] : "";
  if (state.empty()) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  const PelorinTesting::TemporaryFolder runtime;  // made 0700, as Qt wants
  setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
  QApplication application(argc, argv);
  if (state.empty()) {
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
  }
  AppDelegate delegate([state](std::shared_ptr<Cancellation> token, ProgressReport report) {
    if (state == "done") return std::filesystem::path(kInstalled);
    if (state == "failed") throw networkError(7);
    if (state != "preparing") report(Phase::downloading, 0.42);
    for (;; std::this_thread::sleep_for(std::chrono::milliseconds(50))) token->check();
  });
  delegate.applicationDidFinishLaunching();
  if (state != "ready") delegate.performAction();
  if (state == "alert") QTimer::singleShot(300, [&] { delegate.applicationShouldTerminate(); });
  return application.exec();
}
