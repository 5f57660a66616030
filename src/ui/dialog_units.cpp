#include "ui/dialog_units.h"

#include <QFontMetrics>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include "convert/strings.h"

namespace tonvell::ui {

namespace {

QStringList dialogFamilies() {
  return {QString::fromUtf8(loadString(text::kRichEditFace)),
          QStringLiteral("SimSun"),
          QStringLiteral("NSimSun"),
          QStringLiteral("WenQuanYi Micro Hei"),
          QStringLiteral("Noto Sans CJK SC"),
          QStringLiteral("Noto Serif CJK SC"),
          QStringLiteral("Source Han Sans SC"),
          QStringLiteral("Droid Sans Fallback")};
}

// Rounds a * b / c for the non-negative values of a layout.
int scale(int a, int b, int c) { return (a * b + c / 2) / c; }

}  // namespace

QFont dialogFont() {
  QFont font;
  font.setFamilies(dialogFamilies());
  font.setPointSize(9);
  return font;
}

QFont withDialogFace(QFont base) {
  base.setFamilies(dialogFamilies());
  return base;
}

DialogUnits::DialogUnits(const QFont& font) {
  const QFontMetrics metrics(font);
  // The average width of the Latin letters, rounded to whole pixels.
  const int letters =
      metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  baseWidth_ = (letters / 26 + 1) / 2;
  baseHeight_ = metrics.height();
  if (baseWidth_ < 1) baseWidth_ = 1;
  if (baseHeight_ < 1) baseHeight_ = 1;
}

int DialogUnits::x(int units) const { return scale(units, baseWidth_, 4); }
int DialogUnits::y(int units) const { return scale(units, baseHeight_, 8); }

QRect DialogUnits::rect(int left, int top, int width, int height) const {
  return QRect(x(left), y(top), x(width), y(height));
}

namespace {

// A rounded teal tile with a white pair of beamed eighth notes.
QPixmap drawIcon(int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  const qreal s = size;
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0x1f, 0x8a, 0x8a));
  p.drawRoundedRect(QRectF(0.5, 0.5, s - 1, s - 1), s * 0.2, s * 0.2);

  p.setBrush(Qt::white);
  const qreal stem = qMax<qreal>(1.0, s * 0.07);
  // Two stems joined by a beam.
  p.drawRect(QRectF(s * 0.36, s * 0.22, stem, s * 0.50));
  p.drawRect(QRectF(s * 0.70, s * 0.16, stem, s * 0.50));
  QPainterPath beam;
  beam.moveTo(s * 0.36, s * 0.22);
  beam.lineTo(s * 0.70 + stem, s * 0.16);
  beam.lineTo(s * 0.70 + stem, s * 0.16 + s * 0.12);
  beam.lineTo(s * 0.36, s * 0.22 + s * 0.12);
  beam.closeSubpath();
  p.drawPath(beam);
  // The note heads, tilted ellipses left of each stem's foot.
  for (const QPointF foot : {QPointF(s * 0.36 + stem, s * 0.72), QPointF(s * 0.70 + stem, s * 0.66)}) {
    p.save();
    p.translate(foot.x() - s * 0.11, foot.y());
    p.rotate(-20);
    p.drawEllipse(QPointF(0, 0), s * 0.13, s * 0.09);
    p.restore();
  }
  return pixmap;
}

}  // namespace

QIcon programIcon() {
  QIcon icon;
  for (const int size : {16, 20, 24, 32, 48, 64}) icon.addPixmap(drawIcon(size));
  return icon;
}

}  // namespace tonvell::ui
