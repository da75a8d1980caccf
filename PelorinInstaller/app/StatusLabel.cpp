#include "app/StatusLabel.hpp"

#include <QAccessible>
#include <QAccessibleWidget>

namespace PelorinInstaller {
namespace {

// The toolkit describes a label by its name alone; the accessibility bus drops a text event
// from an object without text. The text is the accessible name, the message before fitting.
class AccessibleStatus : public QAccessibleWidget, public QAccessibleTextInterface {
 public:
  explicit AccessibleStatus(QWidget* label) : QAccessibleWidget(label, QAccessible::StaticText) {}

  void* interface_cast(QAccessible::InterfaceType type) override {
    if (type == QAccessible::TextInterface) return static_cast<QAccessibleTextInterface*>(this);
    return QAccessibleWidget::interface_cast(type);
  }

  using QAccessibleWidget::text;
  QString text(int startOffset, int endOffset) const override {
    return message().mid(startOffset, endOffset - startOffset);
  }
  int characterCount() const override { return static_cast<int>(message().size()); }
  // Not selectable, no caret, nothing to scroll: the label only shows.
  void selection(int, int* startOffset, int* endOffset) const override {
    *startOffset = *endOffset = 0;
  }
  int selectionCount() const override { return 0; }
  void addSelection(int, int) override {}
  void removeSelection(int) override {}
  void setSelection(int, int, int) override {}
  int cursorPosition() const override { return 0; }
  void setCursorPosition(int) override {}
  QRect characterRect(int) const override { return {}; }
  int offsetAtPoint(const QPoint&) const override { return -1; }
  void scrollToSubstring(int, int) override {}
  QString attributes(int offset, int* startOffset, int* endOffset) const override {
    *startOffset = *endOffset = offset;
    return {};
  }

 private:
  QString message() const { return QAccessibleWidget::text(QAccessible::Name); }
};

QAccessibleInterface* describe(const QString&, QObject* object) {
  auto* label = dynamic_cast<StatusLabel*>(object);
  return label ? new AccessibleStatus(label) : nullptr;
}

}  // namespace

StatusLabel::StatusLabel() {
  [[maybe_unused]] static const bool described = (QAccessible::installFactory(&describe), true);
}

}  // namespace PelorinInstaller
