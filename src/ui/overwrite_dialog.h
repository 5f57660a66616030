// The question asked before an existing output file is replaced.
#pragma once

#include <QDialog>
#include <QString>

#include "convert/save.h"

class QLabel;
class QPushButton;

namespace tonvell::ui {

class OverwriteDialog : public QDialog {
  Q_OBJECT
 public:
  // The answers exec() returns (OverwriteAnswer's values).
  static constexpr int kYes = static_cast<int>(OverwriteAnswer::kYes);            // "是": replace this file
  static constexpr int kSkip = static_cast<int>(OverwriteAnswer::kSkip);          // "跳过", Esc or the close box
  static constexpr int kOverwriteAll = static_cast<int>(OverwriteAnswer::kOverwriteAll);  // "全部覆盖"

  // `path` is the output file that exists. `owner` is the window it is shown
  // in front of (it does not take input while the question is open).
  explicit OverwriteDialog(const QString& path, QWidget* owner = nullptr);

  QString message() const;

 public slots:
  void reject() override;

 private:
  QLabel* message_;
};

}  // namespace tonvell::ui
