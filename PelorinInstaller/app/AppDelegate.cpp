#include "app/AppDelegate.hpp"

#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QTextLayout>
#include <cmath>

#include "app/Desktop.hpp"
#include "app/ErrorText.hpp"
#include "app/InstallButton.hpp"
#include "app/InstallerProgressIndicator.hpp"
#include "app/InstallerResources.hpp"
#include "app/StatusLabel.hpp"

namespace PelorinInstaller {
namespace {

using InstallerResources::text;

constexpr int kStatusLines = 2;

// The text broken into at most `lines` lines of `width`, the last one shortened with an
// ellipsis when the text does not fit.
QString fitted(const QString& text, const QFont& font, int width, int lines) {
  if (width <= 0) return text;
  QTextLayout layout(text, font);
  QTextOption option;
  option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  layout.setTextOption(option);
  layout.beginLayout();
  QStringList shown;
  for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
    line.setLineWidth(width);
    if (shown.size() == lines - 1) {
      const QString rest = text.mid(line.textStart());
      shown << QFontMetrics(font).elidedText(rest.simplified(), Qt::ElideRight, width);
      break;
    }
    shown << text.mid(line.textStart(), line.textLength()).trimmed();
  }
  layout.endLayout();
  return shown.join(u'\n');
}

}  // namespace

AppDelegate::AppDelegate(RunFunction run)
    : run_(std::move(run)),
      status_(new StatusLabel),
      percentage_(new QLabel),
      progress_(new InstallerProgressIndicator),
      action_(new InstallButton(text("install"))),
      cancel_(new QPushButton(text("cancel"))),
      cancellation_(std::make_shared<Cancellation>()) {
  status_->setObjectName("status");
  percentage_->setObjectName("percentage");
  progress_->setObjectName("progress");
  action_->setObjectName("action");
  cancel_->setObjectName("cancel");
}

AppDelegate::~AppDelegate() {
  if (working_) cancellation_->cancel();
  if (runner_.joinable()) runner_.join();
  if (!window_) {
    for (QWidget* view : {static_cast<QWidget*>(status_), static_cast<QWidget*>(percentage_),
                          static_cast<QWidget*>(progress_), static_cast<QWidget*>(action_),
                          static_cast<QWidget*>(cancel_)}) {
      delete view;
    }
  }
}

void AppDelegate::performAction() {
  if (installed_) {
    open();
  } else if (!working_) {
    start();
  }
}

void AppDelegate::cancelInstall() {
  cancel_->setEnabled(false);
  focusShownControl();
  cancellation_->cancel();
}

bool AppDelegate::applicationShouldTerminate() {
  if (!working_) return true;
  QMessageBox alert(window_.get());
  alert.setObjectName("quitAlert");
  alert.setWindowTitle(text("title"));
  alert.setText(text("working"));
  alert.setInformativeText(text("workingDetail"));
  alert.addButton(text("continue"), QMessageBox::AcceptRole);
  const QIcon icon = QApplication::windowIcon();
  if (!icon.isNull()) alert.setIconPixmap(icon.pixmap(64, 64));
  alert.exec();
  if (window_) {
    window_->show();
    window_->raise();
    window_->activateWindow();
  }
  return false;
}

bool AppDelegate::eventFilter(QObject* watched, QEvent* event) {
  // Closing the one window is asking to quit. While a run works the close is refused here,
  // before the window goes: a quit of the whole application, the system's included, closes
  // every window first and gives up when one stays open.
  if (watched == window_.get() && event->type() == QEvent::Close) {
    if (working_) {
      event->ignore();
      explainRefusal();
      return true;
    }
    later([this] { terminate(); });
  }
  return QObject::eventFilter(watched, event);
}

// The alert waits for the refused request to be answered; requests that come together get one.
void AppDelegate::explainRefusal() {
  if (explaining_) return;
  explaining_ = true;
  later([this] {
    if (working_) applicationShouldTerminate();
    explaining_ = false;
  });
}

void AppDelegate::start() {
  working_ = true;
  cancel_->setEnabled(true);
  action_->setEnabled(false);
  action_->hide();
  progress_->show();
  show(Phase::preparing, std::nullopt);
  cancellation_ = std::make_shared<Cancellation>();

  const auto serial = ++serial_;
  // The previous run has already handed over its result; its thread is at its end.
  if (runner_.joinable()) runner_.join();
  runner_ = std::thread([this, serial, token = cancellation_, run = run_] {
    ProgressReport report = [this, serial](Phase phase, std::optional<double> fraction) {
      post(serial, [this, phase, fraction] { show(phase, fraction); });
    };
    try {
      const auto application = run(token, report);
      post(serial, [this, application] { complete(application); });
    } catch (...) {
      post(serial, [this, error = std::current_exception()] { failed(error); });
    }
  });
}

void AppDelegate::show(Phase phase, std::optional<double> fraction) {
  if (!working_) return;
  if (cancel_->isHidden() != (phase == Phase::installing)) {
    cancel_->setVisible(phase != Phase::installing);
    focusShownControl();
  }
  const QString phaseText = text(name(phase));
  setStatus(phaseText);
  // Assistive technology names the bar by what it measures.
  if (progress_->accessibleName() != phaseText) progress_->setAccessibleName(phaseText);
  // A fraction that is not a finite number says no more than none.
  const bool known = fraction && std::isfinite(*fraction);
  percentage_->setVisible(known);
  if (!known) {
    if (!progress_->isIndeterminate()) progress_->setIndeterminate(true);
    return;
  }
  if (progress_->isIndeterminate()) {
    // The share is in place before the bar turns determinate, so that it is announced once.
    progress_->setMinValue(0);
    progress_->setMaxValue(100);
    progress_->setDoubleValue(*fraction * 100);
    progress_->setIndeterminate(false);
  } else {
    // Most reports move the bar by less than a pixel: those repaint nothing.
    const auto pixel = [this](double value) {
      return std::lround(value / 100 * progress_->width());
    };
    const bool moved = pixel(progress_->doubleValue()) != pixel(*fraction * 100);
    progress_->setDoubleValue(*fraction * 100);
    if (moved) progress_->update();
  }
  percentage_->setText(QString::number(std::trunc(*fraction * 100), 'f', 0) + "%");
}

void AppDelegate::complete(const std::filesystem::path& application) {
  installed_ = application;
  settle(text("open"));
  setOutcome(text("complete"));
}

void AppDelegate::failed(std::exception_ptr error) {
  settle(text("retry"));
  setOutcome(errorMessage(error, text));
}

// The end of a run, either way: the run's controls go, the main button comes back below the
// status text.
void AppDelegate::settle(const QString& actionTitle) {
  working_ = false;
  percentage_->hide();
  cancel_->hide();
  progress_->hide();
  action_->setText(actionTitle);
  // A new title replaces the button's shortcut with the title's mnemonic.
  action_->setShortcut(QKeySequence(Qt::Key_Return));
  action_->setEnabled(true);
  action_->show();
  action_->move(160, 264);
  focusShownControl();
}

// The keyboard's focus is on the control that is shown: cancel while a run can be cancelled,
// the main button once it has ended. While neither shows, the window keeps it.
void AppDelegate::focusShownControl() {
  if (!window_) return;
  if (!cancel_->isHidden() && cancel_->isEnabled()) {
    cancel_->setFocus();
  } else if (!action_->isHidden()) {
    action_->setFocus();
  } else {
    window_->setFocus();
  }
}

void AppDelegate::open() {
  if (Desktop::openApplication(*installed_)) {
    terminate();
    return;
  }
  // The text holds whether or not the desktop manages to show the folder.
  setOutcome(text("openFailed"));
  Desktop::revealInFileViewer(*installed_);
}

void AppDelegate::terminate() {
  if (applicationShouldTerminate()) QCoreApplication::quit();
}

void AppDelegate::setStatus(const QString& message) {
  if (message == statusMessage_) return;
  statusMessage_ = message;
  status_->setText(fitted(message, status_->font(), status_->width(), kStatusLines));
  // A screen reader reads the whole message, however little of it fits.
  status_->setAccessibleName(message);
}

// What ends a run, or what the user's last press came to, is spoken whatever has focus; the
// phases are not, the bar tells of them.
void AppDelegate::setOutcome(const QString& message) {
  if (message == statusMessage_) return;
  setStatus(message);
  Desktop::announce(status_, message);
}

}  // namespace PelorinInstaller
