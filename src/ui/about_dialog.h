// The version box, reached from the main window's context menu.
#pragma once

#include <QDialog>

namespace tonvell::ui {

class AboutDialog : public QDialog {
  Q_OBJECT
 public:
  explicit AboutDialog(QWidget* parent = nullptr);
};

}  // namespace tonvell::ui
