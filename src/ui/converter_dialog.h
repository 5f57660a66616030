// The program's only window: the list of input files, the output folder, the
// header options, the progress display and the log. It owns the Converter
// (workspace, settings and run fields) for its whole life and starts the
// batch run on its own thread.
#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>

#include <string>
#include <vector>

#include "convert/run.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;

namespace tonvell::ui {

class FileListEdit;
class LogView;
class PreviewPlayer;
class UpDownControl;

class ConverterDialog : public QDialog {
  Q_OBJECT
 public:
  // The result of a close by the exit button; the close box and Esc give 2.
  static constexpr int kExit = 1;
  static constexpr int kCancel = 2;
  // The id of the about item of the context menu.
  static constexpr int kAboutCommand = 16;

  // The controls, by name. Each control's object name is its number (the
  // ids the window's layout has always used), so control(id) finds it.
  enum ControlId : int {
    kExitButton = 1,
    kOutputFolderEdit = 1001,
    kProgressBar = 1003,
    kStartButton = 1006,
    kBrowseFileButton = 1007,
    kBrowseFolderButton = 1008,
    kFileList = 1009,
    kStatusText = 1010,
    kLogView = 1011,
    kPercentText = 1012,
    kCopyrightEdit = 1020,
    kCopyrightCheck = 1021,
    kTitleCheck = 1022,
    kTitleEdit = 1023,
    kMasterVolumeEdit = 1024,
    kCopyProhibitCheck = 1025,
    kMasterVolumeUpDown = 1026,
    kMasterVolumeCheck = 1027,
    kSmfCopyrightCheck = 1028,
    kSmfSeqNameCheck = 1029,
    kLoopCheck = 1030,
  };
  // The id of the context menu's switch for format-0 files.
  static constexpr int kFormat0Command = 17;
  // The id of the context menu's handset-mode item (checkable, "HANDSETSW").
  static constexpr int kHandsetCommand = 0x150;

  // Opens the window: makes the program's folder the current directory,
  // applies the defaults and loads the settings from `settingsPath` (an empty
  // path keeps them in memory only), clears the log and shows the fields.
  explicit ConverterDialog(const QString& settingsPath, QWidget* parent = nullptr);
  // Closes the window if the modal loop has not: pulls, saves the settings,
  // restores the start directory.
  ~ConverterDialog() override;

  Converter& converter() { return converter_; }
  // A control by its id (the controls' object names are their ids).
  QWidget* control(int id) const;
  // The current directory when the window opened (bytes).
  const std::string& startDirectory() const { return startDirectory_; }
  // True while a batch run holds the window.
  bool running() const { return running_; }

  // Data exchange. pull(): controls into fields, in the exchange order; false
  // when the master volume is refused (not a number, or out of range in the
  // handset mode), after telling the user (the controls after it are not
  // read then). push(): fields into controls.
  bool pull();
  void push();

  // The context menu of the window's background: the about item, the
  // switch for format-0 files and the switch of the handset mode, then
  // listening to the last file saved and stopping it.
  QMenu* createContextMenu();
  // Where the listening happens; the path of the last file this window saved
  // (bytes, empty before the first).
  PreviewPlayer* previewPlayer() const { return preview_; }
  const std::string& lastSavedPath() const { return lastSaved_; }

 public slots:
  void startRun();  // runs the list unless the pull is refused
  void browseFile();
  void browseFolder();
  void exitWindow();      // closes with 1 only when the pull succeeds
  void enableTextEdits();
  void appendFiles(const QStringList& paths);  // files dropped on the list
  // Files named on the command line or by a later copy, as bytes: appended
  // as if dropped.
  void appendPaths(const std::vector<std::string>& paths);
  void showAbout();
  void setFormat0Switch(bool on);  // the context menu's switch
  void previewLastSaved();  // plays the last file saved
  void stopPreview();
  // A log line "=> PATH" (a file saved) is played; other lines are ignored.
  void previewLogLine(const QString& line);
  void reject() override;  // the close box and Esc: 2, without a pull
  void done(int result) override;

 protected:
  void contextMenuEvent(QContextMenuEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // What the run sees of the window.
  class Display final : public RunDisplay {
   public:
    explicit Display(ConverterDialog& w) : w_(w) {}
    int lineCount() override;
    std::string line(int index) override;
    bool pull() override { return w_.pull(); }
    void push() override { w_.push(); }
    void repaint() override;

   private:
    ConverterDialog& w_;
  };
  // The overwrite question, asked in front of the window.
  class Prompt final : public OverwritePrompt {
   public:
    explicit Prompt(ConverterDialog& w) : w_(w) {}
    OverwriteAnswer ask(const std::string& path) override;

   private:
    ConverterDialog& w_;
  };

  void buildControls();
  void initialise();
  void finish();
  void traceDirectory(const std::string& directory);
  bool pullMasterVolume();
  void applyEditStates();
  void appendToFileList(const QString& line);
  void showRules();
  // Listening (converter_dialog_preview.cpp).
  void setUpPreview();
  void addPreviewItems(QMenu* menu);
  void logPreviewLine(const QString& line);

  Display display_{*this};
  Prompt prompt_{*this};
  Converter converter_{display_, prompt_};
  QString settingsPath_;
  std::string startDirectory_;
  QString fileListText_;          // the file list as last exchanged
  bool fileListChanged_ = false;  // fileListText_ changed since; the next push shows it
  bool fileListEdited_ = false;   // the box changed since; the next pull reads it
  bool pushingFileList_ = false;
  bool closed_ = false;
  bool running_ = false;
  PreviewPlayer* preview_ = nullptr;
  std::string lastSaved_;

  FileListEdit* fileList_ = nullptr;
  QCheckBox* copyrightCheck_ = nullptr;
  QLineEdit* copyrightEdit_ = nullptr;
  QCheckBox* titleCheck_ = nullptr;
  QLineEdit* titleEdit_ = nullptr;
  QLineEdit* outputFolder_ = nullptr;
  QLabel* status_ = nullptr;
  QLabel* percent_ = nullptr;
  QProgressBar* progress_ = nullptr;
  LogView* log_ = nullptr;
  QCheckBox* copyProhibit_ = nullptr;
  QCheckBox* masterVolumeCheck_ = nullptr;
  QLineEdit* masterVolume_ = nullptr;
  UpDownControl* masterVolumeUpDown_ = nullptr;
  QCheckBox* smfCopyright_ = nullptr;
  QCheckBox* smfSeqName_ = nullptr;
  QCheckBox* loop_ = nullptr;
  QLabel* rules_ = nullptr;             // the conversion rules
};

}  // namespace tonvell::ui
