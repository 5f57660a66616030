#include "ui/about_dialog.h"

#include <QLabel>
#include <QPushButton>

#include "ui/dialog_units.h"

namespace tonvell::ui {

AboutDialog::AboutDialog(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
  setWindowTitle(QStringLiteral("Tonvell 版本信息"));
  setModal(true);
  setFont(dialogFont());
  const DialogUnits du(font());

  auto* icon = new QLabel(this);
  const QRect iconRect = du.rect(12, 8, 20, 20);
  icon->setGeometry(iconRect);
  icon->setPixmap(programIcon().pixmap(qMin(iconRect.width(), iconRect.height())));
  icon->setAlignment(Qt::AlignLeft | Qt::AlignTop);

  auto* version = new QLabel(QStringLiteral("Tonvell 版本 1.0"), this);
  version->setGeometry(du.rect(40, 8, 78, 8));
  auto* note = new QLabel(QStringLiteral("标准 MIDI 文件 → MFi 2.0 铃声"), this);
  note->setGeometry(du.rect(40, 20, 116, 8));

  auto* ok = new QPushButton(QStringLiteral("确定"), this);
  ok->setObjectName(QStringLiteral("1"));
  ok->setGeometry(du.rect(164, 16, 38, 17));
  ok->setDefault(true);
  ok->setFocus();
  connect(ok, &QPushButton::clicked, this, [this] { done(1); });

  setFixedSize(du.x(210), du.y(39));
}

}  // namespace tonvell::ui
