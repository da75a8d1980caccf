#include <gtest/gtest.h>

#include <InstallerCore/InstallerError.hpp>
#include <QAccessible>
#include <QApplication>
#include <QDesktopServices>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <chrono>
#include <functional>
#include <nlohmann/json.hpp>
#include <thread>

#include "ScriptedRun.hpp"
#include "app/AppDelegate.hpp"
#include "app/InstallButton.hpp"
#include "app/InstallerProgressIndicator.hpp"
#include "app/InstallerResources.hpp"
#include "pipeline/CommandError.hpp"
#include "pipeline/NetworkError.hpp"

namespace PelorinInstaller {
namespace {

using InstallerCore::InstallerError;
using InstallerResources::text;
using PelorinTesting::ScriptedRun;
using Report = ScriptedRun::Report;

// Lets the event loop run until the condition holds; false if it never does.
bool waitFor(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Answers every quit alert as it appears, noting what it said.
class AlertAnswerer {
 public:
  AlertAnswerer() {
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      auto* alert = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (!alert) return;
      ++shown;
      message = alert->text();
      detail = alert->informativeText();
      buttons.clear();
      for (auto* button : alert->buttons()) buttons << button->text();
      alert->buttons().first()->click();
    });
    timer_.start(5);
  }
  int shown = 0;
  QString message, detail;
  QStringList buttons;

 private:
  QTimer timer_;
};

class Controller : public testing::Test {
 protected:
  void SetUp() override { delegate.applicationDidFinishLaunching(); }

  QWidget* window() { return delegate.window(); }
  QLabel* status() { return window()->findChild<QLabel*>("status"); }
  QLabel* percentage() { return window()->findChild<QLabel*>("percentage"); }
  InstallerProgressIndicator* progress() {
    return window()->findChild<InstallerProgressIndicator*>("progress");
  }
  InstallButton* action() { return window()->findChild<InstallButton*>("action"); }
  QPushButton* cancel() { return window()->findChild<QPushButton*>("cancel"); }
  static bool shown(QWidget* view) { return !view->isHidden(); }

  // Starts a run and waits until the run function has it.
  void startRun() {
    const int before = script.started();
    delegate.performAction();
    ASSERT_TRUE(waitFor([&] { return script.started() == before + 1; }));
  }
  // Lets a report through and runs the job it schedules on the main thread.
  void report(Phase phase, std::optional<double> fraction) {
    const int step = script.next(Report{phase, fraction});
    ASSERT_TRUE(waitFor([&] { return script.done() == step; }));
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(status()->text(), text(name(phase)));
  }
  void endWith(std::exception_ptr error) {
    script.next(ScriptedRun::Throw{error});
    ASSERT_TRUE(waitFor([&] { return shown(action()); }));
  }
  // Sends a report from another thread, as the driver does, and lets its job run.
  static void reportFromElsewhere(const ProgressReport& report, Phase phase, double fraction) {
    std::thread([&] { report(phase, fraction); }).join();
    QCoreApplication::sendPostedEvents();
  }

  ScriptedRun script;
  AppDelegate delegate{script.function()};
};

TEST_F(Controller, LaunchShowsTheReadyWindow) {
  EXPECT_EQ(window()->size(), QSize(520, 340));
  EXPECT_EQ(window()->windowTitle(), text("title"));
  EXPECT_TRUE(window()->isVisible());
  EXPECT_FALSE(window()->findChild<QLabel*>("icon")->pixmap().isNull());
  EXPECT_EQ(window()->findChild<QLabel*>("name")->text(), "Pelorin Code");
  EXPECT_EQ(action()->text(), text("install"));
  EXPECT_EQ(action()->geometry(), QRect(160, 208, 200, 40));
  EXPECT_TRUE(action()->isVisible() && action()->isEnabled());
  EXPECT_TRUE(status()->text().isEmpty());
  EXPECT_EQ(status()->geometry(), QRect(40, 208, 440, 40));
  EXPECT_FALSE(shown(percentage()));
  EXPECT_FALSE(shown(progress()));
  EXPECT_FALSE(shown(cancel()));
  EXPECT_EQ(cancel()->text(), text("cancel"));
  EXPECT_EQ(cancel()->geometry(), QRect(224, 284, 72, 24));
  EXPECT_EQ(progress()->geometry(), QRect(110, 260, 300, 8));
  EXPECT_TRUE(delegate.applicationShouldTerminate()) << "nothing is running";
  EXPECT_EQ(script.started(), 0);
}

TEST_F(Controller, FirstReportAnimatesAndTheFirstFractionMakesTheBarDeterminate) {
  startRun();
  EXPECT_EQ(status()->text(), text("preparing"));
  EXPECT_TRUE(shown(progress()));
  EXPECT_TRUE(progress()->isIndeterminate());
  EXPECT_FALSE(shown(percentage()));
  EXPECT_TRUE(shown(cancel()) && cancel()->isEnabled());
  EXPECT_FALSE(shown(action()));
  EXPECT_FALSE(action()->isEnabled());

  report(Phase::downloading, 0.0);
  EXPECT_FALSE(progress()->isIndeterminate());
  EXPECT_EQ(progress()->minValue(), 0);
  EXPECT_EQ(progress()->maxValue(), 100);
  EXPECT_EQ(progress()->doubleValue(), 0);
  EXPECT_TRUE(shown(percentage()));
  EXPECT_EQ(percentage()->text(), "0%");

  report(Phase::verifying, std::nullopt);
  EXPECT_TRUE(progress()->isIndeterminate());
  EXPECT_FALSE(shown(percentage()));
}

TEST_F(Controller, FractionsShowTruncatedPercentages) {
  struct Case {
    std::optional<double> fraction;
    const char* shownText;  // nullptr: no percentage and an indeterminate bar
    double barValue;
  };
  startRun();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double infinity = std::numeric_limits<double>::infinity();
  for (const Case& c : std::vector<Case>{{0.0, "0%", 0},
                                         {0.5, "50%", 50},
                                         {0.999, "99%", 99.9},
                                         {0.123456, "12%", 12.3456},
                                         {1.0, "100%", 100},
                                         {nan, nullptr, 0},
                                         {infinity, nullptr, 0}}) {
    SCOPED_TRACE(c.fraction.value_or(-1));
    report(Phase::downloading, c.fraction);
    if (!c.shownText) {
      EXPECT_FALSE(shown(percentage()));
      EXPECT_TRUE(progress()->isIndeterminate());
      continue;
    }
    EXPECT_TRUE(shown(percentage()));
    EXPECT_EQ(percentage()->text(), c.shownText);
    EXPECT_FALSE(progress()->isIndeterminate());
    EXPECT_DOUBLE_EQ(progress()->doubleValue(), c.barValue);
  }
}

TEST_F(Controller, CancelIsHiddenThroughoutInstallingOnly) {
  startRun();
  for (auto [phase, visible] : std::vector<std::pair<Phase, bool>>{{Phase::downloading, true},
                                                                   {Phase::installing, false},
                                                                   {Phase::verifying, true},
                                                                   {Phase::installing, false},
                                                                   {Phase::preparing, true}}) {
    report(phase, std::nullopt);
    EXPECT_EQ(shown(cancel()), visible) << name(phase);
  }
}

TEST_F(Controller, SuccessOffersToOpenBelowTheStatus) {
  startRun();
  report(Phase::downloading, 0.4);
  report(Phase::installing, std::nullopt);
  script.next(ScriptedRun::Return{"/Applications/Pelorin Code.app"});
  ASSERT_TRUE(waitFor([&] { return shown(action()); }));
  EXPECT_EQ(status()->text(), text("complete"));
  EXPECT_EQ(action()->text(), text("open"));
  EXPECT_EQ(action()->geometry(), QRect(160, 264, 200, 40));
  EXPECT_TRUE(action()->isEnabled());
  EXPECT_FALSE(shown(percentage()));
  EXPECT_FALSE(shown(cancel()));
  EXPECT_FALSE(shown(progress()));
  EXPECT_TRUE(delegate.applicationShouldTerminate());
}

template <typename Error>
std::exception_ptr thrown(Error error) {
  return std::make_exception_ptr(std::move(error));
}

std::exception_ptr jsonError() {
  nlohmann::json parsed;
  try {
    parsed = nlohmann::json::parse("{");
  } catch (...) {
    return std::current_exception();
  }
  return nullptr;
}

TEST_F(Controller, EveryErrorBecomesItsMessageWithRetryBelowIt) {
  struct Case {
    std::string name;
    std::exception_ptr error;
    QString message;
  };
  std::vector<Case> cases;
  for (int value = 1; value <= 12; ++value) {
    const auto error = static_cast<InstallerError>(value);
    const std::string key = "error." + std::string(InstallerCore::name(error));
    cases.push_back({key, thrown(std::system_error(error)), text(key)});
  }
  const QString generic = text("error.generic");
  const std::error_code noAccess(EACCES, std::system_category());
  cases.insert(
      cases.end(),
      {
          {"tool", thrown(CommandError("hdiutil", 1)),
           text("error.verification") + " (hdiutil: 1)"},
          {"tool out of time", thrown(CommandError("codesign", 60)),
           text("error.verification") + " (codesign: 60)"},
          {"transfer cancelled", thrown(networkError(kTransferCancelled)), text("error.cancelled")},
          {"no connection", thrown(networkError(7)), text("error.network")},
          {"bad certificate", thrown(networkError(60)), text("error.network")},
          {"EACCES", thrown(std::system_error(EACCES, std::generic_category())),
           text("error.permission")},
          {"EPERM", thrown(std::system_error(EPERM, std::system_category())),
           text("error.permission")},
          {"file system EACCES",
           thrown(std::filesystem::filesystem_error("rename", "/Applications", noAccess)),
           text("error.permission")},
          {"ENOSPC", thrown(std::system_error(ENOSPC, std::generic_category())),
           generic + " (generic: 28)"},
          {"ENOENT", thrown(std::system_error(ENOENT, std::system_category())),
           generic + " (system: 2)"},
          {"unknown installer code",
           thrown(std::system_error(99, InstallerCore::installerCategory())),
           generic + " (InstallerError: 99)"},
          {"JSON", jsonError(), generic + " (json: 101)"},
          {"other exception", thrown(std::runtime_error("x")),
           generic + " (std::runtime_error: 0)"},
          {"not an exception", thrown(5), generic + " (unknown: 0)"},
      });

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    startRun();
    report(Phase::downloading, 0.25);
    endWith(c.error);
    EXPECT_EQ(status()->text(), c.message);
    EXPECT_NE(c.message, QString::fromStdString(c.name)) << "the table has the key";
    EXPECT_EQ(action()->text(), text("retry"));
    EXPECT_EQ(action()->geometry(), QRect(160, 264, 200, 40));
    EXPECT_TRUE(action()->isEnabled());
    EXPECT_FALSE(shown(progress()) || shown(percentage()) || shown(cancel()));
  }
  EXPECT_EQ(script.started(), static_cast<int>(cases.size())) << "one run per retry";
}

TEST_F(Controller, ALongMessageTakesAtMostTwoLinesOfTheStatusWidth) {
  const QString verification = text("error.verification");
  for (const std::string& tool :
       {std::string("a tool with a name of many words ") + std::string(40, 'w') +
            " and more words to fill a third line of the status label easily enough",
        std::string(300, 'x')}) {
    SCOPED_TRACE(tool.size());
    startRun();
    endWith(thrown(CommandError(tool, 1)));
    const QStringList lines = status()->text().split(u'\n');
    EXPECT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines.last().endsWith(QChar(0x2026))) << lines.last().toStdString();
    EXPECT_TRUE(lines.first().startsWith(verification));
    const QFontMetrics metrics(status()->font());
    for (const auto& line : lines) EXPECT_LE(metrics.horizontalAdvance(line), 440);
    EXPECT_EQ(QAccessible::queryAccessibleInterface(status())->text(QAccessible::Name),
              verification + " (" + QString::fromStdString(tool) + ": 1)")
        << "a screen reader reads the whole message";
  }
}

TEST_F(Controller, ReportsAfterTheRunEndedChangeNothing) {
  startRun();
  report(Phase::downloading, 0.5);
  script.next(ScriptedRun::Return{"/Applications/Pelorin Code.app"});
  ASSERT_TRUE(waitFor([&] { return shown(action()); }));
  reportFromElsewhere(script.reporter(0), Phase::downloading, 0.75);
  EXPECT_EQ(status()->text(), text("complete"));
  EXPECT_FALSE(shown(percentage()) || shown(progress()) || shown(cancel()));
  EXPECT_EQ(percentage()->text(), "50%");
}

TEST_F(Controller, AnOldRunsReportDoesNotReachTheNextRun) {
  startRun();
  endWith(thrown(std::system_error(InstallerError::busy)));
  EXPECT_EQ(status()->text(), text("error.busy"));
  reportFromElsewhere(script.reporter(0), Phase::installing, 0.9);
  EXPECT_EQ(status()->text(), text("error.busy"));

  startRun();
  reportFromElsewhere(script.reporter(0), Phase::installing, 0.9);
  EXPECT_EQ(status()->text(), text("preparing"));
  EXPECT_FALSE(shown(percentage()));
  EXPECT_TRUE(shown(cancel()));
}

TEST_F(Controller, CancelStopsTheRunThroughItsToken) {
  startRun();
  report(Phase::downloading, 0.1);
  QTest::mouseClick(cancel(), Qt::LeftButton);
  EXPECT_FALSE(cancel()->isEnabled());
  EXPECT_TRUE(shown(cancel())) << "stays until the run ends";
  EXPECT_TRUE(script.token(0)->isCancelled());
  ASSERT_TRUE(waitFor([&] { return shown(action()); }));
  EXPECT_EQ(status()->text(), text("error.cancelled"));
  EXPECT_FALSE(shown(cancel()));
}

TEST_F(Controller, RetryStartsAFreshTokenAndEnablesCancelAgain) {
  startRun();
  delegate.cancelInstall();
  ASSERT_TRUE(waitFor([&] { return shown(action()); }));
  EXPECT_EQ(action()->text(), text("retry"));

  QTest::mouseClick(action(), Qt::LeftButton);
  ASSERT_TRUE(waitFor([&] { return script.started() == 2; }));
  EXPECT_NE(script.token(1), script.token(0));
  EXPECT_TRUE(script.token(0)->isCancelled());
  EXPECT_FALSE(script.token(1)->isCancelled());
  EXPECT_TRUE(cancel()->isEnabled());
  EXPECT_FALSE(shown(action()));
  EXPECT_EQ(status()->text(), text("preparing"));

  // The new run goes on to its end, untouched by the old token.
  report(Phase::downloading, 1.0);
  script.next(ScriptedRun::Return{"/tmp/Pelorin Code.app"});
  ASSERT_TRUE(waitFor([&] { return shown(action()); }));
  EXPECT_EQ(status()->text(), text("complete"));
}

TEST_F(Controller, ReturnPressesTheMainButtonOnlyWhileItIsShown) {
  window()->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(window()));
  QTest::keyClick(window(), Qt::Key_Return);
  ASSERT_TRUE(waitFor([&] { return script.started() == 1; }));

  QTest::keyClick(window(), Qt::Key_Return);
  QTest::qWait(300);  // longer than the button's animated click
  EXPECT_EQ(script.started(), 1) << "hidden while working";

  endWith(thrown(std::system_error(InstallerError::noSpace)));
  QTest::keyClick(window(), Qt::Key_Return);
  ASSERT_TRUE(waitFor([&] { return script.started() == 2; })) << "retry";

  script.next(ScriptedRun::Return{"/tmp/Pelorin Code.app"});
  ASSERT_TRUE(waitFor([&] { return shown(action()); }));
  QTest::keyClick(window(), Qt::Key_Return);
  EXPECT_TRUE(waitFor([&] { return status()->text() == text("openFailed"); })) << "open";
}

TEST_F(Controller, QuitIsRefusedWithAnAlertWhileARunWorks) {
  startRun();
  report(Phase::downloading, 0.3);
  {
    AlertAnswerer answerer;
    EXPECT_FALSE(delegate.applicationShouldTerminate());
    EXPECT_EQ(answerer.shown, 1);
    EXPECT_EQ(answerer.message, text("working"));
    EXPECT_EQ(answerer.detail, text("workingDetail"));
    EXPECT_EQ(answerer.buttons, QStringList{text("continue")});

    // The quit shortcut takes the same path.
    window()->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window()));
    QTest::keyClick(window(), Qt::Key_Q, Qt::ControlModifier);
    EXPECT_TRUE(waitFor([&] { return answerer.shown == 2; }));
  }
  EXPECT_TRUE(window()->isVisible());
  EXPECT_FALSE(script.token(0)->isCancelled()) << "the run goes on";
  report(Phase::verifying, std::nullopt);
  script.next(ScriptedRun::Return{"/tmp/Pelorin Code.app"});
  ASSERT_TRUE(waitFor([&] { return shown(action()); }));
  EXPECT_TRUE(delegate.applicationShouldTerminate());
}

TEST_F(Controller, CloseAndQuitRequestsWaitForTheRunToEnd) {
  // Sends the request from inside the event loop, as requests come, and runs the loop until the
  // request ends it (0) or its explanation has been answered (1).
  bool openAfter = false;
  const auto answer = [&](const std::function<void()>& request) {
    AlertAnswerer answerer;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
      if (answerer.shown > 0 && !QApplication::activeModalWidget()) QCoreApplication::exit(1);
    });
    poll.start(5);
    QTimer::singleShot(0, &poll, [&] {
      request();
      openAfter = window()->isVisible();
    });
    QTimer::singleShot(30000, &poll, [] { QCoreApplication::exit(2); });
    const int result = QCoreApplication::exec();
    QCoreApplication::processEvents();  // what the request left queued
    return result;
  };
  struct Case {
    const char* name;
    std::function<void()> request;
  };
  for (const Case& c : std::vector<Case>{
           {"close the window", [this] { window()->close(); }},
           {"close every window", [] { QApplication::closeAllWindows(); }},
           {"quit, as the system asks", [] { QCoreApplication::quit(); }},
       }) {
    SCOPED_TRACE(c.name);
    window()->show();
    startRun();
    report(Phase::downloading, 0.6);
    EXPECT_EQ(answer(c.request), 1) << "refused and explained";
    EXPECT_TRUE(openAfter && window()->isVisible());
    EXPECT_FALSE(script.token(script.started() - 1)->isCancelled());

    report(Phase::installing, std::nullopt);
    endWith(thrown(std::system_error(InstallerError::noSpace)));
    EXPECT_EQ(status()->text(), text("error.noSpace")) << "the run went on to its end";

    EXPECT_EQ(answer(c.request), 0) << "idle, the request ends the program";
    EXPECT_FALSE(openAfter || window()->isVisible());
  }
}

TEST_F(Controller, AFailedOpenSaysSoAndStaysDone) {
  startRun();
  script.next(ScriptedRun::Return{"/tmp/Pelorin Code.app"});
  ASSERT_TRUE(waitFor([&] { return shown(action()); }));
  // The off-screen platform has no opener, as a desktop without one has not.
  for (int press = 0; press < 2; ++press) {
    QTest::mouseClick(action(), Qt::LeftButton);
    EXPECT_EQ(status()->text(), text("openFailed"));
    EXPECT_FALSE(status()->text().contains(QString::fromUtf8("显示")))
        << "showing it in its folder failed as well";
    EXPECT_EQ(action()->text(), text("open"));
    EXPECT_TRUE(action()->isEnabled());
  }
  EXPECT_EQ(script.started(), 1) << "open never starts a run";
}

TEST_F(Controller, AssistiveTechnologyFollowsTheRun) {
  struct Case {
    Phase phase;
    std::optional<double> fraction;
    QVariant value;  // none while no share is known
  };
  startRun();
  QAccessibleInterface* bar = QAccessible::queryAccessibleInterface(progress());
  for (const Case& c : std::vector<Case>{{Phase::preparing, std::nullopt, QVariant()},
                                         {Phase::downloading, 0.0, 0.0},
                                         {Phase::downloading, 0.42, 42.0},
                                         {Phase::downloading, 1.0, 100.0},
                                         {Phase::verifying, std::nullopt, QVariant()}}) {
    SCOPED_TRACE(c.fraction.value_or(-1));
    report(c.phase, c.fraction);
    EXPECT_EQ(bar->text(QAccessible::Name), text(name(c.phase)));
    EXPECT_EQ(bar->valueInterface()->currentValue(), c.value);
    EXPECT_EQ(bar->text(QAccessible::Value), c.fraction ? percentage()->text() : QString());
    EXPECT_EQ(bar->state().busy, !c.fraction);
  }
  endWith(thrown(std::system_error(InstallerError::noSpace)));
  EXPECT_EQ(QAccessible::queryAccessibleInterface(status())->text(QAccessible::Name),
            text("error.noSpace"));
  EXPECT_EQ(QAccessible::queryAccessibleInterface(action())->text(QAccessible::Name),
            text("retry"));
}

class Opener : public QObject {
  Q_OBJECT
 public:
  QList<QUrl> opened;
 public slots:
  void open(const QUrl& url) { opened << url; }
};

TEST_F(Controller, OpeningTheInstalledApplicationQuits) {
  startRun();
  script.next(ScriptedRun::Return{"/tmp/Pelorin Code.app"});
  ASSERT_TRUE(waitFor([&] { return shown(action()); }));
  Opener opener;
  QDesktopServices::setUrlHandler("file", &opener, "open");
  QTimer::singleShot(0, [&] { QTest::mouseClick(action(), Qt::LeftButton); });
  QTimer::singleShot(30000, [] { QCoreApplication::exit(99); });
  const int result = QCoreApplication::exec();
  QDesktopServices::unsetUrlHandler("file");
  EXPECT_EQ(result, 0) << "the application quit on its own";
  EXPECT_EQ(opener.opened, QList<QUrl>{QUrl::fromLocalFile("/tmp/Pelorin Code.app")});
}

}  // namespace
}  // namespace PelorinInstaller

#include "controller_test.moc"
