#include "ui/converter_dialog.h"

#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QContextMenuEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include <climits>
#include <memory>

#include "core/gbk.h"
#include "convert/paths.h"
#include "convert/settings.h"
#include "convert/strings.h"
#include "ui/about_dialog.h"
#include "ui/controls.h"
#include "ui/converter_app.h"
#include "ui/dialog_units.h"
#include "ui/file_names.h"
#include "ui/overwrite_dialog.h"
#include "ui/settings_store.h"
#include "ui/trace_file.h"

namespace tonvell::ui {

namespace {

constexpr int kMasterVolumeMin = 0;
constexpr int kMasterVolumeMax = 127;

QString tableText(int id) { return QString::fromUtf8(loadString(id)); }

// Paths keep their bytes through the controls, UTF-8 or not.
QString fromBytes(const std::string& bytes) { return fileNameText(bytes); }
std::string toBytes(const QString& path) { return fileNameBytes(path); }

std::string currentDirectory() {
  std::string buffer(PATH_MAX, '\0');
  if (::getcwd(buffer.data(), buffer.size()) == nullptr) return {};
  buffer.resize(std::char_traits<char>::length(buffer.c_str()));
  return buffer;
}

// Sets a control's text only when it changes, so that a refresh does not
// move the caret of a box being typed in or restart its undo history.
void setText(QLineEdit* edit, const QString& text) {
  if (edit->text() != text) edit->setText(text);
}
void setText(QLabel* label, const QString& text) {
  if (label->text() != text) label->setText(text);
}

// Input that must not reach the window while a run holds it.
bool isUserInput(const QEvent* event) {
  switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::Wheel:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::ContextMenu:
    case QEvent::DragEnter:
    case QEvent::DragMove:
    case QEvent::Drop:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TabletPress:
    case QEvent::TabletRelease:
    case QEvent::TabletMove:
      return true;
    case QEvent::Close:
      return event->spontaneous();
    default:
      return false;
  }
}

}  // namespace

ConverterDialog::ConverterDialog(const QString& settingsPath, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      settingsPath_(settingsPath) {
  attachTraceFile(converter_.trace);
  buildControls();
  setUpPreview();
  initialise();
}

ConverterDialog::~ConverterDialog() {
  if (running_) qApp->removeEventFilter(this);
  if (!closed_) finish();
}

QWidget* ConverterDialog::control(int id) const {
  return findChild<QWidget*>(QString::number(id), Qt::FindDirectChildrenOnly);
}

void ConverterDialog::buildControls() {
  setWindowTitle(QStringLiteral("Lumora 专用铃声转换工具"));
  setFont(dialogFont());
  const DialogUnits du(font());

  auto place = [&](QWidget* w, int id, int x, int y, int width, int height) {
    if (id != 0) w->setObjectName(QString::number(id));
    w->setGeometry(du.rect(x, y, width, height));
  };
  auto label = [&](const char* text, int id, int x, int y, int width, int height) {
    auto* l = new QLabel(QString::fromUtf8(text), this);
    l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    l->setTextFormat(Qt::PlainText);
    place(l, id, x, y, width, height);
    return l;
  };
  auto checkBox = [&](const char* text, int id, int x, int y, int width, int height) {
    auto* c = new QCheckBox(QString::fromUtf8(text), this);
    place(c, id, x, y, width, height);
    return c;
  };
  auto lineEdit = [&](int id, int x, int y, int width, int height) {
    auto* e = new QLineEdit(this);
    place(e, id, x, y, width, height);
    return e;
  };
  auto button = [&](const char* text, int id, int x, int y, int width, int height) {
    auto* b = new QPushButton(QString::fromUtf8(text), this);
    place(b, id, x, y, width, height);
    return b;
  };

  // Frames first, so that what they surround lies above them.
  auto* options = new QGroupBox(QStringLiteral("◎其它要素"), this);
  place(options, 0, 320, 32, 68, 92);
  auto* startFrame = new QFrame(this);
  startFrame->setFrameStyle(QFrame::Box | QFrame::Sunken);
  place(startFrame, 0, 320, 212, 68, 48);

  label("原始的 MIDI 文件 (*.mid)", 0, 4, 4, 312, 12);
  fileList_ = new FileListEdit(this);
  place(fileList_, kFileList, 4, 16, 312, 76);
  copyrightCheck_ = checkBox("版权", kCopyrightCheck, 4, 100, 48, 12);
  copyrightEdit_ = lineEdit(kCopyrightEdit, 52, 100, 264, 12);
  titleCheck_ = checkBox("标题", kTitleCheck, 4, 112, 48, 12);
  titleEdit_ = lineEdit(kTitleEdit, 52, 112, 264, 12);
  label("MLD 文件输出文件夹 (最后必须是//)", 0, 4, 132, 312, 12);
  outputFolder_ = lineEdit(kOutputFolderEdit, 4, 144, 312, 12);
  status_ = label("Static", kStatusText, 4, 164, 84, 12);
  percent_ = label("Static", kPercentText, 88, 164, 24, 12);
  progress_ = new QProgressBar(this);
  place(progress_, kProgressBar, 112, 164, 204, 12);
  progress_->setRange(0, 100);
  progress_->setValue(0);
  progress_->setTextVisible(false);
  log_ = new LogView(this);
  place(log_, kLogView, 4, 176, 312, 108);
  label("※本工具的输出数据为、MFi 版本 2.0 格式所准备。", 0, 4, 288, 284, 8);

  auto* browseFileButton = button("浏览文件", kBrowseFileButton, 320, 4, 68, 24);
  copyProhibit_ = checkBox("禁止转发", kCopyProhibitCheck, 324, 44, 56, 12);
  masterVolumeCheck_ = checkBox("主音量", kMasterVolumeCheck, 324, 56, 60, 12);
  masterVolume_ = lineEdit(kMasterVolumeEdit, 348, 68, 36, 12);
  masterVolume_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  masterVolumeUpDown_ = new UpDownControl(masterVolume_, kMasterVolumeMin, kMasterVolumeMax, this);
  place(masterVolumeUpDown_, kMasterVolumeUpDown, 372, 72, 11, 12);
  // The arrows lie over the right end of the box: keep the number clear of them.
  masterVolume_->setTextMargins(0, 0, masterVolume_->geometry().right() - masterVolumeUpDown_->x() + 1, 0);
  smfCopyright_ = checkBox("SMF 版权", kSmfCopyrightCheck, 324, 84, 60, 12);
  smfSeqName_ = checkBox("SMF 序列名", kSmfSeqNameCheck, 324, 96, 60, 12);
  loop_ = checkBox("循环", kLoopCheck, 324, 108, 60, 12);
  auto* browseFolderButton = button("浏览文件夹", kBrowseFolderButton, 320, 132, 68, 24);
  rules_ = label("·以 1/48 分解\n·仅格式 1\n·1 音轨 1 声道", 0, 324, 172, 60, 28);
  auto* start = button("开始转换", kStartButton, 324, 216, 60, 40);
  start->setDefault(true);
  auto* icon = new QLabel(this);
  place(icon, 0, 320, 264, 20, 20);
  icon->setPixmap(programIcon().pixmap(qMin(icon->width(), icon->height())));
  icon->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  auto* exit = button("退出", kExitButton, 348, 264, 40, 20);

  setFixedSize(du.x(392), du.y(299));

  connect(start, &QPushButton::clicked, this, &ConverterDialog::startRun);
  connect(browseFileButton, &QPushButton::clicked, this, &ConverterDialog::browseFile);
  connect(browseFolderButton, &QPushButton::clicked, this, &ConverterDialog::browseFolder);
  connect(exit, &QPushButton::clicked, this, &ConverterDialog::exitWindow);
  connect(copyrightCheck_, &QCheckBox::clicked, this, &ConverterDialog::enableTextEdits);
  connect(titleCheck_, &QCheckBox::clicked, this, &ConverterDialog::enableTextEdits);
  connect(fileList_, &FileListEdit::filesDropped, this, &ConverterDialog::appendFiles);
  // The list can be long: it is read back only after it has changed.
  connect(fileList_->document(), &QTextDocument::contentsChanged, this, [this] {
    if (!pushingFileList_) fileListEdited_ = true;
  });

  // Tab order follows the layout rather than the order of creation.
  QWidget* order[] = {fileList_,      copyrightCheck_,   copyrightEdit_, titleCheck_,        titleEdit_,
                      outputFolder_,  log_,              browseFileButton, copyProhibit_,    masterVolumeCheck_,
                      masterVolume_,  smfCopyright_,     smfSeqName_,    loop_,              browseFolderButton,
                      start,          exit};
  for (std::size_t i = 1; i < std::size(order); ++i) setTabOrder(order[i - 1], order[i]);
}

void ConverterDialog::traceDirectory(const std::string& directory) {
  if (!converter_.trace.on()) return;
  converter_.trace.write(utf8ToGbk(directory).text + "\n");
}

void ConverterDialog::initialise() {
  setWindowIcon(programIcon());

  // While the window is open the program's own folder is current, so that
  // the default output folder "./" means that folder (or, for an installed
  // copy, the user's music folder: see workingFolder).
  startDirectory_ = currentDirectory();
  traceDirectory(startDirectory_);
  const PathParts program = splitPath(toBytes(QCoreApplication::applicationFilePath()));
  std::string note;
  const std::string folder = workingFolder(makePath(program.drive, program.directory, "", ""), &note);
  converter_.trace.write(note);
  if (!folder.empty() && ::chdir(folder.c_str()) != 0) {
    // Stay where we are; the trace below shows it.
  }
  traceDirectory(currentDirectory());

  // Both text boxes take the face of the dialog font, nothing else of it.
  fileList_->setFont(withDialogFace(fileList_->font()));
  log_->setFont(withDialogFace(log_->font()));

  applyDefaults(converter_.settings);
  loadSettings(settingsPath_, converter_.settings);
  masterVolumeUpDown_->setPosition(converter_.settings.masterVolume & 0xFFFF);
  converter_.clearLog();
  push();
  applyEditStates();
}

void ConverterDialog::finish() {
  closed_ = true;
  pull();  // saved whatever it gives
  saveSettings(settingsPath_, converter_.settings);
  if (!startDirectory_.empty() && ::chdir(startDirectory_.c_str()) != 0) {
    // Nothing more can be done about a start directory that went away.
  }
}

bool ConverterDialog::pull() {
  ConverterSettings& s = converter_.settings;
  s.outputFolder = toBytes(outputFolder_->text());  // 1001
  if (fileListEdited_) {                             // 1009
    fileListText_ = fileList_->toPlainText();
    fileListEdited_ = false;
  }
  // 1012 (percentage), 1010 (status) and 1011 (log) only show their fields:
  // nothing is read back from them.
  s.titleSwitch = titleCheck_->isChecked() ? 1 : 0;        // 1022
  s.copyrightText = copyrightEdit_->text().toStdString();  // 1020
  s.titleText = titleEdit_->text().toStdString();          // 1023
  s.copyrightSwitch = copyrightCheck_->isChecked() ? 1 : 0;  // 1021
  s.copyProhibit = copyProhibit_->isChecked() ? 1 : 0;     // 1025
  if (!pullMasterVolume()) return false;                   // 1024
  s.masterVolumeSwitch = masterVolumeCheck_->isChecked() ? 1 : 0;  // 1027
  s.smfCopyrightSwitch = smfCopyright_->isChecked() ? 1 : 0;       // 1028
  s.smfSeqNameSwitch = smfSeqName_->isChecked() ? 1 : 0;           // 1029
  s.loopSwitch = loop_->isChecked() ? 1 : 0;                       // 1030
  return true;
}

bool ConverterDialog::pullMasterVolume() {
  bool ok = false;
  const qlonglong typed = masterVolume_->text().trimmed().toLongLong(&ok, 10);
  QString message;
  if (!ok || typed < INT_MIN || typed > INT_MAX) {
    message = QStringLiteral("请输入整数。");  // the field keeps its value
  } else {
    converter_.settings.masterVolume = static_cast<int>(typed);
    // Only the handset mode writes the master volume: out of its range, the
    // value stops nothing while that mode is off.
    if ((typed < kMasterVolumeMin || typed > kMasterVolumeMax) && converter_.settings.handsetSwitch == 1)
      message = QStringLiteral("请输入 %1 到 %2 之间的整数。").arg(kMasterVolumeMin).arg(kMasterVolumeMax);
  }
  if (message.isEmpty()) return true;
  QMessageBox box(QMessageBox::Warning, QStringLiteral("Tonvell"), message, QMessageBox::Ok, this);
  box.exec();
  masterVolume_->setFocus();
  masterVolume_->selectAll();
  return false;
}

void ConverterDialog::push() {
  const ConverterSettings& s = converter_.settings;
  const RunFields& f = converter_.fields;
  setText(outputFolder_, fromBytes(s.outputFolder));
  if (fileListChanged_) {
    pushingFileList_ = true;
    fileList_->setPlainText(fileListText_);
    fileList_->moveCursor(QTextCursor::End);
    pushingFileList_ = false;
    fileListChanged_ = false;
  }
  setText(percent_, QString::fromStdString(f.percentText));
  titleCheck_->setChecked(s.titleSwitch != 0);
  setText(copyrightEdit_, QString::fromStdString(s.copyrightText));
  setText(titleEdit_, QString::fromStdString(s.titleText));
  copyrightCheck_->setChecked(s.copyrightSwitch != 0);
  copyProhibit_->setChecked(s.copyProhibit != 0);
  setText(status_, QString::fromStdString(f.statusText));
  setText(masterVolume_, QString::number(s.masterVolume));
  masterVolumeCheck_->setChecked(s.masterVolumeSwitch != 0);
  smfCopyright_->setChecked(s.smfCopyrightSwitch != 0);
  smfSeqName_->setChecked(s.smfSeqNameSwitch != 0);
  loop_->setChecked(s.loopSwitch != 0);
  log_->showText(f.logText);
  progress_->setValue(f.progressPos);
  showRules();
}

// The rules name the formats taken: format 0 too while its switch is on.
void ConverterDialog::showRules() {
  setText(rules_, converter_.settings.format0Switch == 1 ? QStringLiteral("·以 1/48 分解\n·格式 0/1\n·1 音轨 1 声道")
                                                          : QStringLiteral("·以 1/48 分解\n·仅格式 1\n·1 音轨 1 声道"));
}

void ConverterDialog::applyEditStates() {
  titleEdit_->setEnabled(converter_.settings.titleSwitch == 1);
  copyrightEdit_->setEnabled(converter_.settings.copyrightSwitch == 1);
}

void ConverterDialog::enableTextEdits() {
  pull();
  applyEditStates();
  push();
}

void ConverterDialog::appendToFileList(const QString& line) {
  fileListText_ += line;
  fileListText_ += QLatin1Char('\n');
  fileListChanged_ = true;
}

void ConverterDialog::appendFiles(const QStringList& paths) {
  pull();
  for (const QString& path : paths) appendToFileList(path);
  push();
}

void ConverterDialog::appendPaths(const std::vector<std::string>& paths) {
  QStringList list;
  for (const std::string& path : paths) list << fromBytes(path);
  appendFiles(list);
}

void ConverterDialog::startRun() {
  if (running_) return;
  // A master volume the run cannot take is told once and stops it before
  // anything is written; the field keeps it for the user to correct.
  if (!pull()) return;
  // The run holds the window's thread until its summary; the window only
  // repaints meanwhile. Input that reaches it during the nested loops of the
  // overwrite question or a message box is dropped.
  running_ = true;
  qApp->installEventFilter(this);
  converter_.batchRun();
  // Clicks and keys queued while the run held the thread go now, unheard.
  QCoreApplication::processEvents();
  qApp->removeEventFilter(this);
  running_ = false;
}

bool ConverterDialog::eventFilter(QObject* watched, QEvent* event) {
  if (running_ && watched->isWidgetType() && static_cast<QWidget*>(watched)->window() == this && isUserInput(event))
    return true;
  return QDialog::eventFilter(watched, event);
}

void ConverterDialog::browseFile() {
  pull();
  const std::string remembered = currentDirectory();
  traceDirectory(remembered);
  QFileDialog chooser(this, tableText(text::kChooseFileTitle), QString(),
                      QStringLiteral("标准 MIDI 文件(*.mid)"));
  chooser.setAcceptMode(QFileDialog::AcceptOpen);
  chooser.setFileMode(QFileDialog::ExistingFile);
  chooser.setDefaultSuffix(QStringLiteral("mid"));
  if (chooser.exec() == QDialog::Accepted && !chooser.selectedFiles().isEmpty())
    appendToFileList(chooser.selectedFiles().constFirst());
  if (!remembered.empty() && ::chdir(remembered.c_str()) != 0) {
    // The chooser does not move the current directory; nothing to undo.
  }
  push();
}

void ConverterDialog::browseFolder() {
  pull();
  QFileDialog chooser(this, tableText(text::kChooseFolderTitle));
  chooser.setAcceptMode(QFileDialog::AcceptOpen);
  chooser.setFileMode(QFileDialog::Directory);
  chooser.setOption(QFileDialog::ShowDirsOnly, true);
  const std::string& folder = converter_.settings.outputFolder;
  if (!folder.empty()) chooser.setDirectory(QFileInfo(fromBytes(folder)).absoluteFilePath());
  if (chooser.exec() != QDialog::Accepted || chooser.selectedFiles().isEmpty()) return;
  QString chosen = chooser.selectedFiles().constFirst();
  if (!chosen.endsWith(QLatin1Char('/'))) chosen += QLatin1Char('/');
  converter_.settings.outputFolder = toBytes(chosen);
  push();
}

void ConverterDialog::exitWindow() {
  if (pull()) done(kExit);
}

void ConverterDialog::reject() { done(kCancel); }

void ConverterDialog::done(int result) {
  if (!closed_) finish();
  QDialog::done(result);
}

QMenu* ConverterDialog::createContextMenu() {
  const QString item = tableText(text::kAboutMenuItem);
  if (item.isEmpty()) return nullptr;
  auto* menu = new QMenu(this);
  QAction* about = menu->addAction(item);
  about->setData(kAboutCommand);
  connect(about, &QAction::triggered, this, &ConverterDialog::showAbout);
  QAction* format0 = menu->addAction(tableText(text::kFormat0MenuItem));
  format0->setData(kFormat0Command);
  format0->setCheckable(true);
  format0->setChecked(converter_.settings.format0Switch == 1);
  connect(format0, &QAction::toggled, this, &ConverterDialog::setFormat0Switch);
  menu->addSeparator();
  QAction* handset = menu->addAction(tableText(text::kHandsetMenuItem));
  handset->setData(kHandsetCommand);
  handset->setCheckable(true);
  handset->setChecked(converter_.settings.handsetSwitch == 1);
  connect(handset, &QAction::toggled, this, [this](bool on) { converter_.settings.handsetSwitch = on ? 1 : 0; });
  menu->addSeparator();
  addPreviewItems(menu);
  return menu;
}

void ConverterDialog::setFormat0Switch(bool on) {
  converter_.settings.format0Switch = on ? 1 : 0;
  showRules();
}

void ConverterDialog::contextMenuEvent(QContextMenuEvent* event) {
  std::unique_ptr<QMenu> menu(createContextMenu());
  if (!menu) return;
  menu->exec(event->globalPos());
}

void ConverterDialog::showAbout() {
  AboutDialog about(this);
  about.exec();
}

int ConverterDialog::Display::lineCount() { return w_.fileList_->document()->blockCount(); }

std::string ConverterDialog::Display::line(int index) {
  const QTextBlock block = w_.fileList_->document()->findBlockByNumber(index);
  if (!block.isValid()) return {};
  return toBytes(block.text());
}

void ConverterDialog::Display::repaint() { w_.QWidget::repaint(); }

OverwriteAnswer ConverterDialog::Prompt::ask(const std::string& path) {
  OverwriteDialog question(fromBytes(path), &w_);
  switch (question.exec()) {
    case static_cast<int>(OverwriteAnswer::kYes): return OverwriteAnswer::kYes;
    case static_cast<int>(OverwriteAnswer::kOverwriteAll): return OverwriteAnswer::kOverwriteAll;
    case static_cast<int>(OverwriteAnswer::kSkip): return OverwriteAnswer::kSkip;
    default: return OverwriteAnswer::kNone;  // the question went away some other way: keep the file
  }
}

}  // namespace tonvell::ui
