// Draws the brand icon, a white compass dial on a red rounded square, and writes it as an
// Apple icon file (make_icon OUTPUT.icns). Qt's own writer stores PNG data, which its reader
// loads again at full size.
#include <QImage>
#include <QImageWriter>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <cmath>
#include <cstdio>

namespace {

constexpr int kSize = 512;

void drawIcon(QPainter& painter) {
  painter.setRenderHint(QPainter::Antialiasing);
  const QRectF body(48, 48, 416, 416);
  QLinearGradient fill(body.topLeft(), body.bottomLeft());
  fill.setColorAt(0, QColor::fromRgbF(0.91f, 0.27f, 0.22f));
  fill.setColorAt(1, QColor::fromRgbF(0.70f, 0.10f, 0.09f));
  painter.setPen(Qt::NoPen);
  painter.setBrush(fill);
  painter.drawRoundedRect(body, 94, 94);

  const QPointF centre = body.center();
  painter.setBrush(Qt::NoBrush);
  painter.setPen(QPen(Qt::white, 24));
  painter.drawEllipse(centre, 128, 128);

  // Ticks at the four quarters, outside the dial.
  painter.setPen(QPen(Qt::white, 20, Qt::SolidLine, Qt::RoundCap));
  for (int quarter = 0; quarter < 4; ++quarter) {
    const double angle = quarter * M_PI / 2;
    const QPointF direction(std::cos(angle), std::sin(angle));
    painter.drawLine(centre + direction * 160, centre + direction * 182);
  }

  // The needle, pointing north-east: a bright half and a paler half.
  painter.translate(centre);
  painter.rotate(45);
  QPainterPath north;
  north.moveTo(0, -100);
  north.lineTo(26, 0);
  north.lineTo(-26, 0);
  north.closeSubpath();
  QPainterPath south;
  south.moveTo(0, 100);
  south.lineTo(26, 0);
  south.lineTo(-26, 0);
  south.closeSubpath();
  painter.setPen(Qt::NoPen);
  painter.setBrush(Qt::white);
  painter.drawPath(north);
  painter.setBrush(QColor(255, 255, 255, 140));
  painter.drawPath(south);
  painter.setBrush(Qt::white);
  painter.drawEllipse(QPointF(0, 0), 14, 14);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: make_icon OUTPUT.icns\n", stderr);
    return 2;
  }
  QImage image(kSize, kSize, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  drawIcon(painter);
  painter.end();

  QImageWriter writer(QString::fromLocal8Bit(argv[1]), "icns");
  if (!writer.write(image)) {
    std::fprintf(stderr, "make_icon: cannot write %s: %s\n", argv[1],
                 qPrintable(writer.errorString()));
    return 1;
  }
  return 0;
}
