// The question asked before an existing output file is replaced.
#pragma once

#include <QDialog>
#include <QString>

class QLabel;
class QPushButton;

namespace tonvell::ui {

class OverwriteDialog : public QDialog {
  Q_OBJECT
 public:
  // The answers exec() returns.
  static constexpr int kYes = 1;            // "是": replace this file
  static constexpr int kSkip = 2;           // "跳过", Esc or the close box: keep it
  static constexpr int kOverwriteAll = 1027; // "全部覆盖": replace it and the rest of the run's

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
