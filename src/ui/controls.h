// The main window's controls that plain Qt widgets do not provide as such:
// the file list that takes dropped files, the log that grows by appending,
// and the up-down buttons of the master volume.
#pragma once

#include <QPlainTextEdit>
#include <QStringList>
#include <QWidget>

#include <string>

class QLineEdit;
class QToolButton;

namespace tonvell::ui {

// The editable list of input files, one path per line. Files dropped on it
// are not inserted where they fall: the list reports them and the window
// appends them.
class FileListEdit : public QPlainTextEdit {
  Q_OBJECT
 public:
  explicit FileListEdit(QWidget* parent = nullptr);

 signals:
  // Local paths of a drop, in the order the drop lists them (as
  // fileNameText, so that names that are not UTF-8 keep their bytes).
  void filesDropped(const QStringList& paths);

 protected:
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;
};

// The read-only log. showText() is handed the whole log text on every
// refresh; it appends only what is new, so that a run over many files does
// not rebuild an ever longer text.
class LogView : public QPlainTextEdit {
  Q_OBJECT
 public:
  explicit LogView(QWidget* parent = nullptr);

  // Shows `utf8`. CR LF (and a lone CR) become one line break. A text that
  // does not continue the one shown (after the log was cleared) replaces it.
  void showText(const std::string& utf8);
  // The bytes of the last text handed to showText() that are on screen; a CR
  // at the very end waits for the next call, which may pair it with an LF.
  std::size_t shownBytes() const { return shownBytes_; }

 signals:
  // A double click on a line hands over the line's text.
  void lineActivated(const QString& line);

 protected:
  void mouseDoubleClickEvent(QMouseEvent* event) override;

 private:
  bool continuesShown(const std::string& utf8) const;
  void rememberShown(const std::string& utf8);

  std::size_t shownBytes_ = 0;
  std::string shownHead_;  // the first bytes shown
  std::string shownTail_;  // the last bytes shown
};

// Two small arrow buttons that step the integer of a buddy line edit within
// a range; the arrow keys in the buddy do the same.
class UpDownControl : public QWidget {
  Q_OBJECT
 public:
  UpDownControl(QLineEdit* buddy, int minimum, int maximum, QWidget* parent = nullptr);

  void setPosition(int position);  // clamped to the range
  int position() const { return position_; }
  // One step up (+1) or down (-1): from the buddy's number when it holds one,
  // else from the last position; the result is clamped and written back.
  void step(int delta);
  QToolButton* upButton() const { return up_; }
  QToolButton* downButton() const { return down_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  QLineEdit* buddy_;
  QToolButton* up_;
  QToolButton* down_;
  int minimum_;
  int maximum_;
  int position_;
};

}  // namespace tonvell::ui
