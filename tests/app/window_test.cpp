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
#include <QStyle>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>
#include <algorithm>
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

// One error of each kind.
TEST(ErrorText, EachKindOfErrorHasItsMessage) {
  const std::error_code noAccess(EACCES, std::system_category());
  for (const auto& [error, message] : std::vector<std::pair<std::exception_ptr, std::string>>{
           {thrown(std::system_error(InstallerCore::InstallerError::noSpace)), "error.noSpace"},
           {thrown(CommandError("hdiutil", 1)), "error.verification (hdiutil: 1)"},
           {thrown(networkError(kTransferCancelled)), "error.cancelled"},
           {thrown(networkError(60)), "error.network"},
           {thrown(fs::filesystem_error("rename", "/Applications", noAccess)), "error.permission"},
           {thrown(nlohmann::json::parse_error::create(101, 0, "", nullptr)),
            "error.generic (json: 101)"}}) {
    EXPECT_EQ(errorMessage(error, [](std::string_view key) { return QString::fromUtf8(key); }),
              QString::fromStdString(message));
  }
}

// Runs that end every way, step by step, with what the window shows, where the keyboard's focus
// is, and what it tells assistive technology after each step. The runs wait on their thread until
// the test ends them, or until their token is cancelled, which ends them as the install driver
// ends.
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
  // A key as the window gets it; a button's key acts after the button's pressed look.
  const auto press = [&](Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QTest::keyClick(window, key, modifiers);
    QTest::qWait(150);
  };
  // By Return, as the main button's shortcut, or the keypad's Enter.
  const auto start = [&](Qt::KeyboardModifiers keypad = Qt::NoModifier) {
    const auto before = runs.size();
    press(keypad ? Qt::Key_Enter : Qt::Key_Return, keypad);
    ASSERT_TRUE(QTest::qWaitFor([&] { return runs.size() == before + 1; }, 30000));
  };
  const auto cancelBy = [&](Qt::Key key) {  // waits for the run to end, however long that takes
    press(key);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !action->isHidden(); }, 30000));
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

  enum Focus { onWindow, onCancel, onAction };
  struct Step {
    std::function<void()> act;
    QString status, action, percentage;  // action, percentage "": hidden
    Focus focus;
  };
  const auto t = [](std::string_view key) { return text(key); };
  const QString tooLong = t("error.verification") + " (" + QString(300, 'x') + ": 1)";
  show();
  for (const Step& c : std::vector<Step>{
           {[] {}, "", t("install"), "", onWindow},
           {[&] { start(); }, t("preparing"), "", "", onCancel},
           {[&] { delegate.performAction(); }, t("preparing"), "", "", onCancel},  // no second run
           {[&] { press(Qt::Key_Enter, Qt::KeypadModifier); }, t("preparing"), "", "", onCancel},
           {[&] { report(Phase::downloading, 0.0); }, t("downloading"), "", "0%", onCancel},
           {[&] { report(Phase::downloading, 0.999); }, t("downloading"), "", "99%", onCancel},
           {refused, t("downloading"), "", "99%", onCancel},
           {[&] { report(Phase::downloading, NAN); }, t("downloading"), "", "", onCancel},
           {[&] { report(Phase::verifying, 1.0); }, t("verifying"), "", "100%", onCancel},
           {[&] { report(Phase::installing, std::nullopt); }, t("installing"), "", "", onWindow},
           {[&] { press(Qt::Key_Escape); }, t("installing"), "", "",
            onWindow},  // nothing to cancel
           {[&] { report(Phase::installing, 0.5); }, t("installing"), "", "50%", onWindow},
           {[&] { report(Phase::preparing, INFINITY); }, t("preparing"), "", "", onCancel},
           {[&] { end(thrown(CommandError(std::string(300, 'x'), 1))); }, tooLong, t("retry"), "",
            onAction},
           {[&] { press(Qt::Key_Escape); }, tooLong, t("retry"), "", onAction},
           {[&] { report(Phase::downloading, 0.5); }, tooLong, t("retry"), "", onAction},
           {[&] { start(); }, t("preparing"), "", "", onCancel},
           {[&] { report(Phase::installing, 0.9, 0); }, t("preparing"), "", "", onCancel},
           {[&] { click(cancel); }, t("error.cancelled"), t("retry"), "", onAction},
           {[&] { start(Qt::KeypadModifier); }, t("preparing"), "", "", onCancel},
           {[&] { cancelBy(Qt::Key_Escape); }, t("error.cancelled"), t("retry"), "", onAction},
           {[&] { start(); }, t("preparing"), "", "", onCancel},
           {[&] { end(nullptr); }, t("complete"), t("open"), "", onAction},
           {[&] { click(action); }, t("openFailed"), t("open"), "", onAction},
       }) {
    SCOPED_TRACE(c.status.left(40).toStdString() + " " + c.percentage.toStdString());
    c.act();
    ASSERT_TRUE(QTest::qWaitFor([&] { return cancel->isHidden() || cancel->isEnabled(); }, 30000));
    QWidget* focused = QApplication::focusWidget();
    EXPECT_EQ(focused, c.focus == onCancel   ? cancel
                       : c.focus == onAction ? action
                       : focused && !focused->isHidden() && focused != cancel && focused != action
                           ? focused
                           : nullptr)
        << "focus follows the control that is shown, else stays in the window";
    if (focused) {
      EXPECT_TRUE(QAccessible::queryAccessibleInterface(focused)->state().focused);
    }
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
    // A busy bar has no value to report, not even 0.
    const QAccessibleValueInterface* value = bar->valueInterface();
    EXPECT_EQ(value ? value->currentValue() : QVariant(),
              c.percentage.isEmpty() ? QVariant() : QVariant(c.percentage.chopped(1).toDouble()));
    EXPECT_EQ(value == nullptr, c.percentage.isEmpty());
    EXPECT_EQ(bar->state().busy, c.percentage.isEmpty());
  }
  ASSERT_EQ(runs.size(), 4u) << "a run per press of the main button, none for open";
  EXPECT_FALSE(runs[0].token->isCancelled() || runs[3].token->isCancelled());
  EXPECT_TRUE(runs[1].token->isCancelled() && runs[2].token->isCancelled());

  // What assistive technology finds: the window as a frame with its title, the icon by the
  // application's name.
  QAccessibleInterface* frame = QAccessible::queryAccessibleInterface(window);
  EXPECT_EQ(frame->role(), QAccessible::Window);
  EXPECT_EQ(frame->text(QAccessible::Name), text("title"));
  QAccessibleInterface* icon =
      QAccessible::queryAccessibleInterface(window->findChild<QLabel*>("icon"));
  EXPECT_EQ(icon->role(), QAccessible::Graphic);
  EXPECT_EQ(icon->text(QAccessible::Name), "Pelorin Code");

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

// What a screen reader hears of a run that fails, from the accessibility bus of a real display
// (tests/app/bus_run.sh): the outcome once, as a text that comes with its event, and the focus
// back on the main button; and the window's objects as it names them.
TEST(Window, TellsTheAccessibilityBusTheOutcome) {
  const PelorinTesting::TemporaryFolder work;
  const auto result = PelorinTesting::runChild(
      "/bin/bash",
      {PELORIN_SOURCE_DIR "/tests/app/bus_run.sh", PELORIN_SOURCE_DIR,
       fs::read_symlink("/proc/self/exe").string(), work.path().string()},
      {{"PATH", getenv("PATH")}, {"LANG", getenv("LANG") ? getenv("LANG") : "C.UTF-8"}});
  ASSERT_EQ(result.exitStatus, 0) << result.out << result.err;
  const auto tree = result.out.find("--tree\n");
  const std::string events = result.out.substr(0, tree), objects = result.out.substr(tree);
  const std::string message = text("error.network").toStdString();
  const auto count = [&](const std::string& line) {
    std::size_t found = 0;
    for (auto at = events.find(line); at != std::string::npos; at = events.find(line, at + 1))
      ++found;
    return found;
  };
  EXPECT_EQ(count("object:text-changed:insert\t0\tlabel\t" + message + "\t" + message + "\n"), 1u)
      << events;
  EXPECT_EQ(count("text-changed"), 1u) << events;
  const std::string retry = text("retry").toStdString();
  EXPECT_NE(events.rfind("object:state-changed:focused\t1\tpush button\t" + retry),
            std::string::npos)
      << events;
  const std::string title = text("title").toStdString();
  EXPECT_NE(objects.find("\n  frame\t" + title + "\t"), std::string::npos) << objects;
  EXPECT_NE(objects.find("image\tPelorin Code\t"), std::string::npos) << objects;
}

// Under a dark desktop style the window and its alert keep the window's own light look: each is
// light on average, as dark text on a light ground is.
TEST(Window, KeepsItsLightLookUnderADarkTheme) {
  const QString style = QApplication::style()->name();
  ASSERT_NE(QApplication::setStyle("Adwaita-Dark"), nullptr) << "adwaita-qt6 (scripts/setup.sh)";
  AppDelegate delegate([](std::shared_ptr<Cancellation> token, ProgressReport) -> fs::path {
    for (;; std::this_thread::sleep_for(std::chrono::milliseconds(5))) token->check();
  });
  delegate.applicationDidFinishLaunching();
  delegate.performAction();
  const auto lightness = [](const QImage& image) {  // on average, from 0 to 255
    long sum = 0;
    for (int y = 0; y < image.height(); ++y)
      for (int x = 0; x < image.width(); ++x) sum += QColor(image.pixel(x, y)).lightness();
    return sum / std::max<long>(1, image.width() * image.height());
  };
  auto* cancel = delegate.window()->findChild<QPushButton*>("cancel");
  EXPECT_GT(lightness(cancel->grab().toImage()), 180) << "the cancel button";
  QImage alert;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (auto* shown = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      alert = shown->grab().toImage();
      shown->buttons().first()->click();
    }
  });
  poll.start(5);
  EXPECT_FALSE(delegate.applicationShouldTerminate());
  EXPECT_GT(lightness(alert), 180) << "the quit alert";
  QApplication::setStyle(style);
}

}  // namespace
}  // namespace PelorinInstaller

// Against Qt's off-screen platform: real widgets, no display. Given a state instead, the window
// stays in it over a run that goes no further, for scripts/screenshots.sh, until killed:
//   app_screens ready|preparing|working|done|failed|alert
// or "ready-to-fail": ready, and a run fails at once (tests/app/bus_run.sh).
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
    if (state == "failed" || state == "ready-to-fail") throw networkError(7);
    if (state != "preparing") report(Phase::downloading, 0.42);
    for (;; std::this_thread::sleep_for(std::chrono::milliseconds(50))) token->check();
  });
  delegate.applicationDidFinishLaunching();
  if (!state.starts_with("ready")) delegate.performAction();
  if (state == "alert") QTimer::singleShot(300, [&] { delegate.applicationShouldTerminate(); });
  return application.exec();
}
