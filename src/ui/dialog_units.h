// The look shared by every window of the program: the dialog font, the
// conversion of dialog units to pixels, and the program icon.
#pragma once

#include <QFont>
#include <QIcon>
#include <QRect>

namespace tonvell::ui {

// "宋体" at 9 points, falling back to an installed CJK face (WenQuanYi Micro
// Hei and the Noto CJK families) where that face is missing.
QFont dialogFont();

// Only the face of dialogFont(), for the character format of the text boxes;
// `base` supplies everything else (its size stays).
QFont withDialogFace(QFont base);

// Dialog units are measured in the dialog font: a horizontal unit is a
// quarter of its average character width, a vertical unit an eighth of its
// height. A layout given in dialog units keeps its proportions whatever face
// the fallback picked.
class DialogUnits {
 public:
  explicit DialogUnits(const QFont& font);
  int x(int units) const;   // horizontal units to pixels
  int y(int units) const;   // vertical units to pixels
  QRect rect(int x, int y, int width, int height) const;
  int baseWidth() const { return baseWidth_; }
  int baseHeight() const { return baseHeight_; }

 private:
  int baseWidth_;
  int baseHeight_;
};

// The program icon, drawn at the usual sizes.
QIcon programIcon();

}  // namespace tonvell::ui
