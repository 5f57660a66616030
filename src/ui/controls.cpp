#include "ui/controls.h"

#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMimeData>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QToolButton>
#include <QUrl>

#include <algorithm>

#include "ui/file_names.h"

namespace tonvell::ui {

namespace {

// Local files of a drop, or nothing when it carries none.
QStringList droppedPaths(const QMimeData* data) {
  QStringList paths;
  if (data == nullptr || !data->hasUrls()) return paths;
  for (const QUrl& url : data->urls()) {
    if (url.isLocalFile()) paths << localFileText(url);
  }
  return paths;
}

constexpr std::size_t kCheckBytes = 64;

}  // namespace

FileListEdit::FileListEdit(QWidget* parent) : QPlainTextEdit(parent) {
  setAcceptDrops(true);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setTabChangesFocus(true);
}

void FileListEdit::dragEnterEvent(QDragEnterEvent* event) {
  if (!droppedPaths(event->mimeData()).isEmpty()) {
    event->acceptProposedAction();
    return;
  }
  QPlainTextEdit::dragEnterEvent(event);
}

void FileListEdit::dragMoveEvent(QDragMoveEvent* event) {
  if (!droppedPaths(event->mimeData()).isEmpty()) {
    event->acceptProposedAction();
    return;
  }
  QPlainTextEdit::dragMoveEvent(event);
}

void FileListEdit::dropEvent(QDropEvent* event) {
  const QStringList paths = droppedPaths(event->mimeData());
  if (paths.isEmpty()) {
    QPlainTextEdit::dropEvent(event);
    return;
  }
  event->acceptProposedAction();
  emit filesDropped(paths);
}

LogView::LogView(QWidget* parent) : QPlainTextEdit(parent) {
  setReadOnly(true);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setUndoRedoEnabled(false);
}

void LogView::mouseDoubleClickEvent(QMouseEvent* event) {
  QPlainTextEdit::mouseDoubleClickEvent(event);
  const QTextBlock block = cursorForPosition(event->position().toPoint()).block();
  if (block.isValid()) emit lineActivated(block.text());
}

bool LogView::continuesShown(const std::string& utf8) const {
  if (utf8.size() < shownBytes_) return false;
  // The log only ever grows or starts again from its banner, so the ends of
  // what is shown tell the two apart without comparing the whole text.
  if (utf8.compare(0, shownHead_.size(), shownHead_) != 0) return false;
  return utf8.compare(shownBytes_ - shownTail_.size(), shownTail_.size(), shownTail_) == 0;
}

void LogView::rememberShown(const std::string& utf8) {
  shownHead_.assign(utf8, 0, std::min(kCheckBytes, shownBytes_));
  const std::size_t tail = std::min(kCheckBytes, shownBytes_);
  shownTail_.assign(utf8, shownBytes_ - tail, tail);
}

void LogView::showText(const std::string& utf8) {
  if (!continuesShown(utf8)) {
    clear();
    shownBytes_ = 0;
  }
  std::size_t end = utf8.size();
  if (end > shownBytes_ && utf8[end - 1] == '\r') --end;
  if (end == shownBytes_) {
    rememberShown(utf8);
    return;
  }
  QString chunk = QString::fromUtf8(utf8.data() + shownBytes_, static_cast<qsizetype>(end - shownBytes_));
  chunk.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  chunk.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  QTextCursor cursor(document());
  cursor.movePosition(QTextCursor::End);
  cursor.insertText(chunk);
  shownBytes_ = end;
  rememberShown(utf8);
  verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

UpDownControl::UpDownControl(QLineEdit* buddy, int minimum, int maximum, QWidget* parent)
    : QWidget(parent),
      buddy_(buddy),
      up_(new QToolButton(this)),
      down_(new QToolButton(this)),
      minimum_(minimum),
      maximum_(maximum),
      position_(minimum) {
  for (QToolButton* b : {up_, down_}) {
    b->setAutoRepeat(true);
    b->setFocusPolicy(Qt::NoFocus);
    b->setAutoRaise(false);
  }
  up_->setArrowType(Qt::UpArrow);
  down_->setArrowType(Qt::DownArrow);
  connect(up_, &QToolButton::clicked, this, [this] { step(+1); });
  connect(down_, &QToolButton::clicked, this, [this] { step(-1); });
  buddy_->installEventFilter(this);
}

void UpDownControl::setPosition(int position) { position_ = std::clamp(position, minimum_, maximum_); }

void UpDownControl::step(int delta) {
  bool ok = false;
  const int typed = buddy_->text().trimmed().toInt(&ok, 10);
  if (ok) setPosition(typed);
  setPosition(position_ + delta);
  buddy_->setText(QString::number(position_));
}

bool UpDownControl::eventFilter(QObject* watched, QEvent* event) {
  if (watched == buddy_ && event->type() == QEvent::KeyPress && buddy_->isEnabled()) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Up || key == Qt::Key_Down) {
      step(key == Qt::Key_Up ? +1 : -1);
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

void UpDownControl::resizeEvent(QResizeEvent*) {
  const int upper = height() / 2;
  up_->setGeometry(0, 0, width(), upper);
  down_->setGeometry(0, upper, width(), height() - upper);
}

}  // namespace tonvell::ui
