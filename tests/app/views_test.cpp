#include <gtest/gtest.h>

#include <QAccessible>
#include <QProgressBar>
#include <vector>

#include "Pixels.hpp"
#include "app/InstallButton.hpp"
#include "app/InstallerBackground.hpp"
#include "app/InstallerProgressIndicator.hpp"

namespace PelorinInstaller {
namespace {

using PelorinTesting::near;
using PelorinTesting::over;
using PelorinTesting::rendered;
using PelorinTesting::rgb;

const QColor kAccent = rgb(0.82, 0.14, 0.12);
const QColor kTrack = rgb(0.9, 0.88, 0.89);

TEST(InstallerBackground, GradientRunsFromTopToBottomAndTheAccentBarStaysCentred) {
  for (int width : {520, 300, 801, 60}) {
    SCOPED_TRACE(width);
    InstallerBackground background;
    background.resize(width, 340);
    const QImage image = rendered(background);
    const double left = (width - 40) / 2.0;
    EXPECT_TRUE(near(image.pixelColor(static_cast<int>(left) + 2, 25), kAccent));
    EXPECT_TRUE(near(image.pixelColor(static_cast<int>(left + 40) - 3, 25), kAccent));
    EXPECT_TRUE(near(image.pixelColor(width / 2, 25), kAccent));
    // Just outside the bar, above and below it: the gradient.
    EXPECT_FALSE(near(image.pixelColor(static_cast<int>(left) - 3, 25), kAccent, 40));
    EXPECT_FALSE(near(image.pixelColor(static_cast<int>(left + 40) + 3, 25), kAccent, 40));
    EXPECT_TRUE(near(image.pixelColor(width / 2, 22), rgb(1.0, 0.98, 0.98)));
    EXPECT_TRUE(near(image.pixelColor(width / 2, 28), rgb(1.0, 0.98, 0.98)));
    EXPECT_TRUE(near(image.pixelColor(1, 0), rgb(1.0, 0.98, 0.98)));
    EXPECT_TRUE(near(image.pixelColor(1, 339), rgb(0.97, 0.965, 0.98)));
  }
}

struct ButtonScene {
  InstallerBackground background;
  InstallButton* button = new InstallButton("Install", &background);
  ButtonScene() {
    background.resize(520, 340);
    button->setGeometry(160, 208, 200, 40);
  }
};

TEST(InstallButton, NaturalSizeIsFixedWhateverTheTitle) {
  for (const char* title : {"", "Go", "A much longer title than the button could ever hold"}) {
    InstallButton button(title);
    EXPECT_EQ(button.sizeHint(), QSize(200, 40)) << title;
  }
}

TEST(InstallButton, FillFadesByStateOverTheBackgroundWhileTheTitleStaysWhite) {
  struct Case {
    const char* state;
    bool enabled;
    bool down;
    double alpha;
  };
  for (const Case& c : std::vector<Case>{{"normal", true, false, 1.0},
                                         {"pressed", true, true, 0.8},
                                         {"disabled", false, false, 0.45},
                                         {"disabled while down", false, true, 0.45}}) {
    SCOPED_TRACE(c.state);
    ButtonScene scene;
    scene.button->hide();
    const QImage behind = rendered(scene.background);
    scene.button->show();
    scene.button->setEnabled(c.enabled);
    scene.button->setDown(c.down);
    const QImage image = rendered(scene.background);

    // Left of the title, inside the shape; and near the right end.
    for (const QPoint point : {QPoint(172, 228), QPoint(350, 220), QPoint(200, 245)}) {
      EXPECT_TRUE(near(image.pixelColor(point), over(kAccent, c.alpha, behind.pixelColor(point))))
          << point.x() << "," << point.y();
    }
    // Outside the one-pixel inset the background shows.
    EXPECT_TRUE(near(image.pixelColor(260, 208), behind.pixelColor(260, 208)));

    int brightest = 0;
    for (int x = 220; x < 300; ++x) {
      for (int y = 218; y < 238; ++y) {
        const QColor seen = image.pixelColor(x, y);
        brightest = std::max(brightest, std::min({seen.red(), seen.green(), seen.blue()}));
      }
    }
    EXPECT_GE(brightest, 254) << "the title is drawn in full white";
  }
}

TEST(InstallButton, FocusRingFollowsTheShapeOnlyWhenFocused) {
  ButtonScene scene;
  QWidget other(&scene.background);
  other.setFocusPolicy(Qt::StrongFocus);
  other.setGeometry(0, 0, 1, 1);
  scene.background.show();

  other.setFocus();
  const QImage unfocused = rendered(scene.background);
  scene.button->setFocus();
  ASSERT_EQ(scene.background.window()->focusWidget(), scene.button);
  const QImage focused = rendered(scene.background);

  // The edge of the shape carries the ring; the background away from it and the inside of the
  // shape do not change.
  const QColor edge = focused.pixelColor(260, 208);
  EXPECT_FALSE(near(edge, unfocused.pixelColor(260, 208), 10));
  EXPECT_GT(edge.blue(), edge.red()) << "the ring is the highlight colour";
  EXPECT_TRUE(near(focused.pixelColor(260, 203), unfocused.pixelColor(260, 203), 0));
  EXPECT_TRUE(near(focused.pixelColor(172, 228), unfocused.pixelColor(172, 228), 0));
  EXPECT_TRUE(near(unfocused.pixelColor(260, 208), unfocused.pixelColor(260, 204)))
      << "no ring without focus";
}

TEST(InstallerProgressIndicator, FilledShareOfTheTrack) {
  struct Case {
    const char* name;
    double minimum, maximum, value;
    double share;    // of the 300-pixel track
    double percent;  // told to assistive technology
  };
  for (const Case& c : std::vector<Case>{{"empty", 0, 100, 0, 0, 0},
                                         {"half", 0, 100, 50, 0.5, 50},
                                         {"nearly full", 0, 100, 99.9, 0.999, 99},
                                         {"full", 0, 100, 100, 1, 100},
                                         {"above the maximum", 0, 100, 150, 1, 100},
                                         {"below the minimum", 0, 100, -10, 0, 0},
                                         {"range below 1 is not divided", 0, 0.5, 0.25, 0.25, 25},
                                         {"range below 1, value over 1", 0, 0.5, 3, 1, 100},
                                         {"offset range", 10, 20, 15, 0.5, 50}}) {
    SCOPED_TRACE(c.name);
    InstallerProgressIndicator bar;
    bar.resize(300, 8);
    bar.setIndeterminate(false);
    bar.setMinValue(c.minimum);
    bar.setMaxValue(c.maximum);
    bar.setDoubleValue(c.value);
    const QImage image = rendered(bar);
    const int end = static_cast<int>(c.share * 300);

    if (c.share == 0) {
      EXPECT_TRUE(near(image.pixelColor(3, 4), kTrack));
      EXPECT_TRUE(near(image.pixelColor(150, 4), kTrack));
    } else {
      EXPECT_TRUE(near(image.pixelColor(3, 4), kAccent));
      EXPECT_TRUE(near(image.pixelColor(end - 4, 4), kAccent));
    }
    if (end + 4 < 300) {
      EXPECT_TRUE(near(image.pixelColor(end + 4, 4), kTrack));
    }
    // Track 4 high, centred: rows 2 to 5.
    EXPECT_TRUE(near(image.pixelColor(150, 2), image.pixelColor(150, 5), 0));
    EXPECT_FALSE(near(image.pixelColor(150, 0), image.pixelColor(150, 3), 3));

    QAccessibleInterface* told = QAccessible::queryAccessibleInterface(&bar);
    EXPECT_EQ(told->valueInterface()->currentValue(), QVariant(c.percent));
    EXPECT_EQ(told->text(QAccessible::Value), QString::number(c.percent) + "%");
    EXPECT_FALSE(told->state().busy);
  }
}

TEST(InstallerProgressIndicator, IndeterminateLooksLikeTheToolkitBar) {
  InstallerProgressIndicator bar;
  QProgressBar plain;
  plain.setRange(0, 0);
  plain.setTextVisible(false);
  for (QProgressBar* view : {static_cast<QProgressBar*>(&bar), &plain}) view->resize(300, 8);
  bar.setIndeterminate(true);
  EXPECT_EQ(rendered(bar), rendered(plain));
  EXPECT_FALSE(near(rendered(bar).pixelColor(150, 4), kTrack, 1));

  QAccessibleInterface* told = QAccessible::queryAccessibleInterface(&bar);
  EXPECT_TRUE(told->state().busy);
  EXPECT_FALSE(told->valueInterface()->currentValue().isValid()) << "no share is known";
  EXPECT_EQ(told->text(QAccessible::Value), "");
}

}  // namespace
}  // namespace PelorinInstaller
