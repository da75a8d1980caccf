#include <objc/message.h>
#include <objc/runtime.h>

#include <QApplication>
#include <QDesktopServices>
#include <QProcess>
#include <QUrl>

#include "app/Desktop.hpp"

// AppKit's, declared here as the C calls they are: the build has no framework headers.
extern "C" {
extern id const NSAccessibilityAnnouncementRequestedNotification;
extern id const NSAccessibilityAnnouncementKey;
extern id const NSAccessibilityPriorityKey;
void NSAccessibilityPostNotificationWithUserInfo(id element, id notification, id userInfo);
}

namespace PelorinInstaller::Desktop {
namespace {

constexpr long kPriorityHigh = 90;  // NSAccessibilityPriorityHigh: interrupts what is spoken

id classNamed(const char* name) { return reinterpret_cast<id>(objc_getClass(name)); }

template <typename Result, typename... Arguments>
Result send(id receiver, const char* selector, Arguments... arguments) {
  using Method = Result (*)(id, SEL, Arguments...);
  return reinterpret_cast<Method>(objc_msgSend)(receiver, sel_registerName(selector), arguments...);
}

}  // namespace

// Opening an application bundle launches it.
bool openApplication(const std::filesystem::path& application) {
  return QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(application)));
}

void revealInFileViewer(const std::filesystem::path& item) {
  QProcess::startDetached("/usr/bin/open", {"-R", QString::fromStdString(item)});
}

// VoiceOver speaks an announcement the application posts; Qt before 6.8 has no event for it.
// Called on the main thread, inside the event loop's autorelease pool.
void announce(QWidget*, const QString& text) {
  const QByteArray utf8 = text.toUtf8();
  id keys[] = {NSAccessibilityAnnouncementKey, NSAccessibilityPriorityKey};
  id values[] = {send<id>(classNamed("NSString"), "stringWithUTF8String:", utf8.constData()),
                 send<id>(classNamed("NSNumber"), "numberWithLong:", kPriorityHigh)};
  id info = send<id>(classNamed("NSDictionary"), "dictionaryWithObjects:forKeys:count:", values,
                     keys, static_cast<unsigned long>(2));
  id application = send<id>(classNamed("NSApplication"), "sharedApplication");
  NSAccessibilityPostNotificationWithUserInfo(
      application, NSAccessibilityAnnouncementRequestedNotification, info);
}

// The bundle asks for the light appearance (NSRequiresAquaSystemAppearance in its Info.plist),
// so the system draws its controls light; the palette follows.
void useOwnLook(const QPalette& palette) { QApplication::setPalette(palette); }

}  // namespace PelorinInstaller::Desktop
