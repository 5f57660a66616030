#include "ui/overwrite_dialog.h"

#include <QLabel>
#include <QPushButton>

#include "ui/dialog_units.h"

namespace tonvell::ui {

OverwriteDialog::OverwriteDialog(const QString& path, QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
  setWindowTitle(QStringLiteral("输出的文件已存在"));
  setModal(true);
  setFont(dialogFont());
  const DialogUnits du(font());

  message_ = new QLabel(QStringLiteral("%1\n要覆盖此文件吗?").arg(path), this);
  message_->setObjectName(QStringLiteral("1028"));
  message_->setGeometry(du.rect(8, 4, 244, 20));
  message_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  message_->setTextFormat(Qt::PlainText);

  struct ButtonPlace {
    int id;
    const char* text;
    QRect rect;
  };
  const ButtonPlace buttons[] = {
      {kYes, "是", du.rect(8, 28, 44, 16)},
      {kOverwriteAll, "全部覆盖", du.rect(56, 28, 68, 16)},
      {kSkip, "跳过", du.rect(208, 28, 44, 16)},
  };
  for (const ButtonPlace& place : buttons) {
    auto* button = new QPushButton(QString::fromUtf8(place.text), this);
    button->setObjectName(QString::number(place.id));
    button->setGeometry(place.rect);
    const int id = place.id;
    connect(button, &QPushButton::clicked, this, [this, id] { done(id); });
    if (id == kYes) {
      button->setDefault(true);
      button->setFocus();
    }
  }
  setFixedSize(du.x(258), du.y(47));
}

QString OverwriteDialog::message() const { return message_->text(); }

void OverwriteDialog::reject() { done(kSkip); }

}  // namespace tonvell::ui
