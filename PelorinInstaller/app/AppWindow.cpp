#include <QAccessible>
#include <QAccessibleWidget>
#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>

#include "app/AppDelegate.hpp"
#include "app/Desktop.hpp"
#include "app/InstallButton.hpp"
#include "app/InstallerBackground.hpp"
#include "app/InstallerProgressIndicator.hpp"
#include "app/InstallerResources.hpp"
#include "app/Palette.hpp"
#include "app/StatusLabel.hpp"

namespace PelorinInstaller {
namespace {

using InstallerResources::text;

constexpr const char* kProductName = "Pelorin Code";

// The toolkit describes a window of the plain widget class as a filler; this one is the
// application's frame, named by its title.
QAccessibleInterface* describe(const QString& className, QObject* object) {
  auto* widget = qobject_cast<QWidget*>(object);
  if (className != "QWidget" || !widget || !widget->isWindow()) return nullptr;
  return new QAccessibleWidget(widget, QAccessible::Window);
}

// Places a label in the content view with its frame and look; none of them is selectable.
void place(QLabel* view, QWidget* content, const QRect& frame, const QFont& font,
           const QColor& color, Qt::Alignment alignment) {
  view->setParent(content);
  view->setGeometry(frame);
  view->setFont(font);
  QPalette palette = view->palette();
  palette.setColor(QPalette::WindowText, color);
  view->setPalette(palette);
  view->setAlignment(alignment);
  view->setTextInteractionFlags(Qt::NoTextInteraction);
}

}  // namespace

void AppDelegate::applicationDidFinishLaunching() {
  QGuiApplication::setQuitOnLastWindowClosed(false);
  // The quit alert is a window of its own: the application's palette is what reaches it.
  Desktop::useOwnLook(lightPalette());
  [[maybe_unused]] static const bool described = (QAccessible::installFactory(&describe), true);

  window_ = std::make_unique<QWidget>(nullptr, Qt::Window | Qt::CustomizeWindowHint |
                                                   Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                                                   Qt::WindowMinimizeButtonHint);
  window_->setFixedSize(520, 340);
  window_->setWindowTitle(text("title"));
  window_->setPalette(lightPalette());
  window_->installEventFilter(this);

  auto* content = new InstallerBackground(window_.get());
  content->setGeometry(0, 0, 520, 340);

  const auto image = InstallerResources::icon();
  const QPixmap icon = image ? QPixmap::fromImage(*image) : QPixmap();
  QApplication::setWindowIcon(QIcon(icon));

  auto* iconView = new QLabel(content);
  iconView->setObjectName("icon");
  iconView->setAccessibleName(kProductName);
  iconView->setGeometry(220, 52, 80, 80);
  iconView->setAlignment(Qt::AlignCenter);
  if (!icon.isNull()) {
    const qreal ratio = window_->devicePixelRatioF();
    QPixmap scaled =
        icon.scaled(QSize(80, 80) * ratio, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    scaled.setDevicePixelRatio(ratio);
    iconView->setPixmap(scaled);
  }

  auto* name = new QLabel(kProductName);
  name->setObjectName("name");
  place(name, content, {40, 148, 440, 32}, systemFont(24, QFont::Medium), labelColor(),
        Qt::AlignCenter);

  // The status is as wide as the window's text and breaks its own lines (see setStatus).
  place(status_, content, {40, 208, 440, 40}, systemFont(13), secondaryLabelColor(),
        Qt::AlignHCenter | Qt::AlignTop);
  status_->show();

  // Common interface fonts draw digits at one width, so the percentage does not jitter.
  place(percentage_, content, {110, 238, 300, 18}, systemFont(13), secondaryLabelColor(),
        Qt::AlignCenter);
  percentage_->hide();

  const auto adopt = [content](QWidget* view, const QRect& frame) {
    view->setParent(content);
    view->setGeometry(frame);
  };
  adopt(progress_, {110, 260, 300, 8});
  progress_->setMinValue(0);
  progress_->setMaxValue(100);
  progress_->hide();

  adopt(action_, {160, 208, 200, 40});
  action_->setFlat(true);
  action_->setShortcut(QKeySequence(Qt::Key_Return));
  action_->setFocusPolicy(Qt::TabFocus);
  connect(action_, &QPushButton::clicked, this, &AppDelegate::performAction);
  // The keypad's Enter is Return; like the button's own key, it acts only while the button shows.
  connect(new QShortcut(QKeySequence(Qt::Key_Enter), action_), &QShortcut::activated, action_,
          &QAbstractButton::animateClick);
  action_->show();
  action_->setEnabled(true);

  adopt(cancel_, {224, 284, 72, 24});
  cancel_->setShortcut(QKeySequence(Qt::Key_Escape));  // a Cancel button's key on the Mac
  connect(cancel_, &QPushButton::clicked, this, &AppDelegate::cancelInstall);
  cancel_->hide();

  // Where the desktop has no global menu bar the window itself carries the shortcut.
  menu_ = std::make_unique<QMenuBar>();
  QAction* quit = menu_->addMenu(QString())->addAction(text("quit"));
  quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
  quit->setMenuRole(QAction::QuitRole);
  connect(quit, &QAction::triggered, this, &AppDelegate::terminate);
  window_->addAction(quit);

  if (QScreen* screen = window_->screen()) {
    window_->move(screen->availableGeometry().center() - window_->rect().center());
  }
  window_->show();
  window_->raise();
  window_->activateWindow();
  // Focus starts on the window itself: the main button's ring shows once the keyboard moves
  // there, not at every launch.
  content->setFocus();
}

}  // namespace PelorinInstaller
