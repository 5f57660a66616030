// The main window on the offscreen platform: its controls, a whole run from
// the start button, the overwrite question, the master volume check, the
// settings it opens and closes with, dropped files and the choosers.
#include "ui/converter_dialog.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QCheckBox>
#include <QContextMenuEvent>
#include <QDir>
#include <QFileDialog>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QTest>
#include <QTimer>
#include <QTextDocument>
#include <QToolButton>
#include <QUrl>

#include <climits>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "mfi/inspect.h"
#include "support/test_support.h"
#include "support/ui_support.h"
#include "ui/about_dialog.h"
#include "ui/controls.h"
#include "ui/dialog_units.h"
#include "ui/overwrite_dialog.h"

namespace tonvell::ui {
namespace {

using test::qtApp;
using test::ScopedEnv;
using test::TempDir;
using test::whenModal;

const std::string kBanner = "Lumora 专用转换工具。\n不符合铃声规格的数据将无法被转换成正确的数据并播放。\n\n";
const std::string kSeparator(80, '-');

std::string cwd() {
  char buffer[PATH_MAX];
  return ::getcwd(buffer, sizeof buffer) ? buffer : "";
}

class DialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qtApp();
    configEnv_ = std::make_unique<ScopedEnv>("XDG_CONFIG_HOME", config_.path());
  }

  // Opens the window over the test's own profile and shows it.
  std::unique_ptr<ConverterDialog> open() {
    auto dialog = std::make_unique<ConverterDialog>(QString::fromStdString(profilePath()));
    dialog->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(dialog.get()));
    return dialog;
  }

  std::string profilePath() const { return config_.file("tonvell.ini"); }

  QString profileValue(const char* key) const {
    QSettings profile(QString::fromStdString(profilePath()), QSettings::IniFormat);
    return profile.value(QStringLiteral("STAT/") + QLatin1String(key)).toString();
  }

  template <typename T = QWidget>
  static T* ctl(ConverterDialog& d, int id) {
    T* w = qobject_cast<T*>(d.control(id));
    EXPECT_NE(w, nullptr) << "control " << id;
    return w;
  }

  static void setList(ConverterDialog& d, const std::string& text) {
    ctl<QPlainTextEdit>(d, ConverterDialog::kFileList)->setPlainText(QString::fromStdString(text));
  }
  static std::string listText(ConverterDialog& d) { return ctl<QPlainTextEdit>(d, ConverterDialog::kFileList)->toPlainText().toStdString(); }
  static std::string logText(ConverterDialog& d) { return ctl<QPlainTextEdit>(d, ConverterDialog::kLogView)->toPlainText().toStdString(); }
  static void setFolder(ConverterDialog& d, const std::string& folder) {
    ctl<QLineEdit>(d, ConverterDialog::kOutputFolderEdit)->setText(QString::fromStdString(folder));
  }
  static void clickStart(ConverterDialog& d) { QTest::mouseClick(ctl(d, ConverterDialog::kStartButton), Qt::LeftButton); }

  static test::Bytes readFileOrEmpty(const std::string& path) {
    return test::fileExists(path) ? test::readFile(path) : test::Bytes{};
  }

  // Writes the worked example under `name` in the work folder; its path.
  std::string midi(const std::string& name) {
    const std::string path = work_.file(name);
    test::writeFile(path, test::workedExample());
    return path;
  }

  TempDir config_;
  TempDir work_;
  std::unique_ptr<ScopedEnv> configEnv_;
};

TEST_F(DialogTest, controls_carry_their_ids_kinds_texts_and_places) {
  auto d = open();
  EXPECT_EQ(d->windowTitle().toStdString(), "Lumora 专用铃声转换工具");
  const DialogUnits du(d->font());
  EXPECT_EQ(d->size(), QSize(du.x(392), du.y(299)));

  struct Expect {
    int id;
    const char* kind;
    const char* text;
    int x, y, w, h;
  };
  const Expect controls[] = {
      {1009, "tonvell::ui::FileListEdit", "", 4, 16, 312, 76},
      {1021, "QCheckBox", "版权", 4, 100, 48, 12},
      {1020, "QLineEdit", nullptr, 52, 100, 264, 12},
      {1022, "QCheckBox", "标题", 4, 112, 48, 12},
      {1023, "QLineEdit", nullptr, 52, 112, 264, 12},
      {1001, "QLineEdit", nullptr, 4, 144, 312, 12},
      {1010, "QLabel", nullptr, 4, 164, 84, 12},
      {1012, "QLabel", nullptr, 88, 164, 24, 12},
      {1003, "QProgressBar", nullptr, 112, 164, 204, 12},
      {1011, "tonvell::ui::LogView", nullptr, 4, 176, 312, 108},
      {1007, "QPushButton", "浏览文件", 320, 4, 68, 24},
      {1025, "QCheckBox", "禁止转发", 324, 44, 56, 12},
      {1027, "QCheckBox", "主音量", 324, 56, 60, 12},
      {1024, "QLineEdit", nullptr, 348, 68, 36, 12},
      {1026, "tonvell::ui::UpDownControl", nullptr, 372, 72, 11, 12},
      {1028, "QCheckBox", "SMF 版权", 324, 84, 60, 12},
      {1029, "QCheckBox", "SMF 序列名", 324, 96, 60, 12},
      {1030, "QCheckBox", "循环", 324, 108, 60, 12},
      {1008, "QPushButton", "浏览文件夹", 320, 132, 68, 24},
      {1006, "QPushButton", "开始转换", 324, 216, 60, 40},
      {1, "QPushButton", "退出", 348, 264, 40, 20},
  };
  for (const Expect& e : controls) {
    SCOPED_TRACE(e.id);
    QWidget* w = d->control(e.id);
    ASSERT_NE(w, nullptr);
    EXPECT_STREQ(w->metaObject()->className(), e.kind);
    EXPECT_EQ(w->geometry(), du.rect(e.x, e.y, e.w, e.h));
    auto* b = qobject_cast<QAbstractButton*>(w);
    if (e.text && b) {
      EXPECT_EQ(b->text().toStdString(), e.text);
    }
  }
  EXPECT_TRUE(ctl<QPushButton>(*d, ConverterDialog::kStartButton)->isDefault());
  EXPECT_TRUE(ctl<QPlainTextEdit>(*d, ConverterDialog::kLogView)->isReadOnly());
  EXPECT_FALSE(ctl<QPlainTextEdit>(*d, ConverterDialog::kFileList)->isReadOnly());
  EXPECT_EQ(ctl<QLineEdit>(*d, ConverterDialog::kMasterVolumeEdit)->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignRight);

  // The static texts and the frames, found by what they say.
  std::vector<std::string> labels;
  for (QLabel* l : d->findChildren<QLabel*>()) labels.push_back(l->text().toStdString());
  for (const char* text : {"原始的 MIDI 文件 (*.mid)", "MLD 文件输出文件夹 (最后必须是//)",
                           "※本工具的输出数据为、MFi 版本 2.0 格式所准备。", "·以 1/48 分解\n·仅格式 1\n·1 音轨 1 声道"})
    EXPECT_NE(std::find(labels.begin(), labels.end(), text), labels.end()) << text;
  const auto groups = d->findChildren<QGroupBox*>();
  ASSERT_EQ(groups.size(), 1);
  EXPECT_EQ(groups[0]->title().toStdString(), "◎其它要素");
  EXPECT_EQ(groups[0]->geometry(), du.rect(320, 32, 68, 92));
}

TEST_F(DialogTest, first_start_shows_the_defaults_from_the_program_folder_and_restores_the_start_folder) {
  const std::string start = cwd();
  {
    auto d = open();
    EXPECT_EQ(d->startDirectory(), start);
    EXPECT_EQ(QDir::current().canonicalPath(), QDir(QCoreApplication::applicationDirPath()).canonicalPath());

    EXPECT_FALSE(ctl<QCheckBox>(*d, ConverterDialog::kTitleCheck)->isChecked());
    EXPECT_FALSE(ctl(*d, ConverterDialog::kTitleEdit)->isEnabled());
    EXPECT_FALSE(ctl<QCheckBox>(*d, ConverterDialog::kCopyrightCheck)->isChecked());
    EXPECT_FALSE(ctl(*d, ConverterDialog::kCopyrightEdit)->isEnabled());
    EXPECT_EQ(ctl<QLineEdit>(*d, ConverterDialog::kCopyrightEdit)->text().toStdString(), "(c)2003");
    EXPECT_TRUE(ctl<QCheckBox>(*d, ConverterDialog::kMasterVolumeCheck)->isChecked());
    EXPECT_EQ(ctl<QLineEdit>(*d, ConverterDialog::kMasterVolumeEdit)->text(), QStringLiteral("100"));
    EXPECT_TRUE(ctl<QCheckBox>(*d, ConverterDialog::kSmfCopyrightCheck)->isChecked());
    EXPECT_TRUE(ctl<QCheckBox>(*d, ConverterDialog::kSmfSeqNameCheck)->isChecked());
    EXPECT_TRUE(ctl<QCheckBox>(*d, ConverterDialog::kLoopCheck)->isChecked());
    EXPECT_FALSE(ctl<QCheckBox>(*d, ConverterDialog::kCopyProhibitCheck)->isChecked());
    EXPECT_EQ(ctl<QLineEdit>(*d, ConverterDialog::kOutputFolderEdit)->text(), QStringLiteral("./"));
    EXPECT_EQ(logText(*d), kBanner);
    EXPECT_EQ(ctl<QLabel>(*d, ConverterDialog::kStatusText)->text(), QString());
    EXPECT_EQ(ctl<QLabel>(*d, ConverterDialog::kPercentText)->text(), QString());
    EXPECT_EQ(ctl<QProgressBar>(*d, ConverterDialog::kProgressBar)->value(), 0);
  }
  EXPECT_EQ(cwd(), start);
  // Closing wrote the eleven keys.
  EXPECT_EQ(profileValue("TITLESW"), "0");
  EXPECT_EQ(profileValue("MASTERVOLSW"), "1");
  EXPECT_EQ(profileValue("COPYRIGHT"), "(c)2003");
  EXPECT_EQ(profileValue("OUTPUTFOLDER"), "./");
  EXPECT_EQ(profileValue("MASTERVOL"), "100");
}

TEST_F(DialogTest, start_button_runs_the_list_and_shows_log_status_and_progress) {
  const std::string input = midi("a.mid");
  const std::string out = work_.path() + "/out/";
  auto d = open();
  setList(*d, input + "\n");
  setFolder(*d, out);
  clickStart(*d);

  const std::string expected = kBanner + kSeparator + "\n000: " + input + "\n     => " + out + "a.mld\n" + kSeparator +
                               "\n已检查 1 个文件、已保存了 1 个文件。\n";
  EXPECT_EQ(logText(*d), expected);
  // The field keeps the line ends as written; the box shows CR LF as one break.
  EXPECT_NE(d->converter().fields.logText.find("000: " + input + "\r\n"), std::string::npos);
  EXPECT_EQ(ctl<QLabel>(*d, ConverterDialog::kStatusText)->text().toStdString(), "退出");
  EXPECT_EQ(ctl<QLabel>(*d, ConverterDialog::kPercentText)->text().toStdString(), "100%");
  EXPECT_EQ(ctl<QProgressBar>(*d, ConverterDialog::kProgressBar)->value(), 100);
  EXPECT_TRUE(test::fileExists(out + "a.mld"));
  EXPECT_FALSE(d->running());
}

TEST_F(DialogTest, list_lines_keep_their_index_and_an_empty_list_runs_nothing) {
  auto d = open();
  setList(*d, "");
  clickStart(*d);
  EXPECT_EQ(logText(*d), kBanner);
  EXPECT_EQ(ctl<QLabel>(*d, ConverterDialog::kStatusText)->text(), QString());
  EXPECT_EQ(ctl<QLabel>(*d, ConverterDialog::kPercentText)->text(), QString());
  EXPECT_EQ(ctl<QProgressBar>(*d, ConverterDialog::kProgressBar)->value(), 0);

  // An empty line in between is skipped but counted.
  setList(*d, work_.file("missing1.mid") + "\n\n" + work_.file("missing2.mid"));
  clickStart(*d);
  const std::string log = logText(*d);
  EXPECT_NE(log.find("000: " + work_.file("missing1.mid") + "\n★找不到文件\n"), std::string::npos) << log;
  EXPECT_NE(log.find("002: " + work_.file("missing2.mid") + "\n★找不到文件\n"), std::string::npos) << log;
  EXPECT_NE(log.find("已检查 2 个文件、已保存了 0 个文件。"), std::string::npos);
}

// The overwrite question, answered by a button or by Esc.
struct OverwriteCase {
  const char* name;
  int button;  // 0: Esc
  const char* logLine;
  bool replaced;
};

class OverwriteTest : public DialogTest, public ::testing::WithParamInterface<OverwriteCase> {};

TEST_P(OverwriteTest, answer_decides_and_is_logged) {
  const OverwriteCase& c = GetParam();
  const std::string input = midi("a.mid");
  const std::string out = work_.path() + "/";
  test::writeFile(out + "a.mld", test::hex("6F 6C 64"));  // "old"
  auto d = open();
  setList(*d, input + "\n");
  setFolder(*d, out);

  QString title, message;
  bool asked = false;
  whenModal<OverwriteDialog>(
      [&](OverwriteDialog* q) {
        title = q->windowTitle();
        message = q->message();
        if (c.button == 0) QTest::keyClick(q, Qt::Key_Escape);
        else QTest::mouseClick(q->findChild<QPushButton*>(QString::number(c.button)), Qt::LeftButton);
      },
      &asked);
  clickStart(*d);

  ASSERT_TRUE(asked);
  EXPECT_EQ(title.toStdString(), "输出的文件已存在");
  EXPECT_EQ(message.toStdString(), out + "a.mld\n要覆盖此文件吗?");
  const std::string log = logText(*d);
  EXPECT_NE(log.find(std::string("     => ") + out + "a.mld\n" + c.logLine), std::string::npos) << log;
  EXPECT_EQ(test::readFile(out + "a.mld") != test::hex("6F 6C 64"), c.replaced);
  EXPECT_NE(log.find(c.replaced ? "已保存了 1 个文件" : "已保存了 0 个文件"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Answers, OverwriteTest,
                         ::testing::Values(OverwriteCase{"yes", 1, "     ※已覆盖\n", true},
                                           OverwriteCase{"skip", 2, "     ※已跳过\n", false},
                                           OverwriteCase{"overwrite_all", 1027, "     ※从这以后全部覆盖\n", true},
                                           OverwriteCase{"escape", 0, "     ※已跳过\n", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DialogTest, overwrite_all_replaces_the_rest_of_the_run_without_asking) {
  const std::string a = midi("a.mid"), b = midi("b.mid");
  const std::string out = work_.path() + "/";
  test::writeFile(out + "a.mld", test::hex("00"));
  test::writeFile(out + "b.mld", test::hex("00"));
  auto d = open();
  setList(*d, a + "\n" + b + "\n");
  setFolder(*d, out);
  int questions = 0;
  whenModal<OverwriteDialog>([&](OverwriteDialog* q) {
    ++questions;
    q->findChild<QPushButton*>("1027")->click();
  });
  clickStart(*d);
  EXPECT_EQ(questions, 1);
  const std::string log = logText(*d);
  EXPECT_EQ(log.find("※", log.find("※从这以后全部覆盖") + 1), std::string::npos) << log;
  EXPECT_NE(test::readFile(out + "b.mld"), test::hex("00"));
  EXPECT_NE(log.find("已检查 2 个文件、已保存了 2 个文件。"), std::string::npos);

  // The next run asks again.
  bool askedAgain = false;
  whenModal<OverwriteDialog>([](OverwriteDialog* q) { q->findChild<QPushButton*>("2")->click(); }, &askedAgain);
  setList(*d, a + "\n");
  clickStart(*d);
  EXPECT_TRUE(askedAgain);
}

TEST_F(DialogTest, window_takes_no_input_while_a_run_holds_it) {
  const std::string input = midi("a.mid");
  const std::string out = work_.path() + "/";
  test::writeFile(out + "a.mld", test::hex("00"));
  auto d = open();
  setList(*d, input + "\n");
  setFolder(*d, out);
  whenModal<OverwriteDialog>([&](OverwriteDialog* q) {
    // A click on exit and a typed key while the question is open go nowhere.
    QTest::mouseClick(d->control(ConverterDialog::kExitButton), Qt::LeftButton);
    QTest::keyClicks(d->control(ConverterDialog::kTitleEdit), "x");
    q->findChild<QPushButton*>("1")->click();
  });
  clickStart(*d);
  EXPECT_TRUE(d->isVisible());
  EXPECT_EQ(d->result(), 0);
  EXPECT_EQ(ctl<QLineEdit>(*d, ConverterDialog::kTitleEdit)->text(), QString());
  EXPECT_NE(logText(*d).find("※已覆盖"), std::string::npos);
}

// Answers the next message box, keeping its text.
void answerMessage(QString* text, bool* seen) {
  whenModal<QMessageBox>(
      [text](QMessageBox* box) {
        *text = box->text();
        box->button(QMessageBox::Ok)->click();
      },
      seen);
}

TEST_F(DialogTest, master_volume_that_is_not_a_number_keeps_the_old_value_and_stops_the_exchange) {
  auto d = open();
  ctl<QLineEdit>(*d, ConverterDialog::kMasterVolumeEdit)->setText("abc");
  ctl<QCheckBox>(*d, ConverterDialog::kCopyProhibitCheck)->setChecked(true);   // read before the volume
  ctl<QCheckBox>(*d, ConverterDialog::kLoopCheck)->setChecked(false);  // read after it

  QString message;
  bool seen = false;
  answerMessage(&message, &seen);
  QTest::mouseClick(d->control(ConverterDialog::kExitButton), Qt::LeftButton);
  ASSERT_TRUE(seen);
  EXPECT_EQ(message.toStdString(), "请输入整数。");
  EXPECT_TRUE(d->isVisible());  // the exit was refused
  EXPECT_EQ(d->converter().settings.masterVolume, 100);
  EXPECT_EQ(d->converter().settings.copyProhibit, 1);
  EXPECT_EQ(d->converter().settings.loopSwitch, 1);

  // The close box closes without asking; closing pulls once more and saves.
  answerMessage(&message, &seen);
  QTest::keyClick(d.get(), Qt::Key_Escape);
  EXPECT_TRUE(seen);
  EXPECT_FALSE(d->isVisible());
  EXPECT_EQ(d->result(), ConverterDialog::kCancel);
  EXPECT_EQ(profileValue("MASTERVOL"), "100");
  EXPECT_EQ(profileValue("COPYDATASW"), "1");
  EXPECT_EQ(profileValue("LOOPSW"), "1");
}

// Clicks OK on every message box that `action` opens; their texts.
QStringList answerEveryMessage(const std::function<void()>& action) {
  QStringList texts;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&texts] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()); box && box->isVisible()) {
      texts << box->text();
      box->button(QMessageBox::Ok)->click();
    }
  });
  poll.start(5);
  action();
  poll.stop();
  return texts;
}

// An out-of-range master volume from the profile: in the handset mode the
// start button warns once and writes nothing, and the value stays in the
// field; with the mode off it is not used, and nothing stops the run.
TEST_F(DialogTest, master_volume_out_of_range_stops_only_a_handset_run_and_stays_as_typed) {
  test::writeFile(profilePath(), [] {
    const std::string text = "[STAT]\nHANDSETSW=1\nMASTERVOL=200\n";
    return test::Bytes(text.begin(), text.end());
  }());
  const std::string input = midi("a.mid");
  const std::string out = work_.path() + "/out/";
  auto d = open();
  setList(*d, input + "\n");
  setFolder(*d, out);
  const QStringList range{QStringLiteral("请输入 0 到 127 之间的整数。")};
  EXPECT_EQ(answerEveryMessage([&] { clickStart(*d); }), range);
  EXPECT_FALSE(test::fileExists(out + "a.mld"));
  EXPECT_FALSE(test::fileExists(out)) << "the run never started";
  EXPECT_EQ(logText(*d), kBanner);
  EXPECT_EQ(ctl<QLineEdit>(*d, ConverterDialog::kMasterVolumeEdit)->text(), QStringLiteral("200"));
  // The exit is refused the same way.
  EXPECT_EQ(answerEveryMessage([&] { QTest::mouseClick(d->control(ConverterDialog::kExitButton), Qt::LeftButton); }),
            range);
  EXPECT_TRUE(d->isVisible());

  // The handset mode off: no warning, the file is written as without a
  // master volume, and the value is kept as typed.
  d->converter().settings.handsetSwitch = 0;
  const std::string plainOut = work_.path() + "/plain/";  // a new folder: no overwrite question
  setFolder(*d, plainOut);
  EXPECT_EQ(answerEveryMessage([&] { clickStart(*d); }), QStringList());
  test::Bytes plain;
  ASSERT_EQ(test::convertBytes(test::workedExample(), &plain, {}, nullptr, d->converter().today()), result::kSuccess);
  EXPECT_EQ(readFileOrEmpty(plainOut + "a.mld"), plain);
  EXPECT_EQ(ctl<QLineEdit>(*d, ConverterDialog::kMasterVolumeEdit)->text(), QStringLiteral("200"));
  EXPECT_EQ(answerEveryMessage([&] { d->close(); }), QStringList());
  EXPECT_EQ(profileValue("MASTERVOL"), "200");
}

TEST_F(DialogTest, exit_with_valid_values_closes_with_one_and_saves_them) {
  auto d = open();
  ctl<QLineEdit>(*d, ConverterDialog::kMasterVolumeEdit)->setText("64");
  ctl<QCheckBox>(*d, ConverterDialog::kLoopCheck)->setChecked(false);
  ctl<QLineEdit>(*d, ConverterDialog::kTitleEdit)->setText("铃声");
  QTest::mouseClick(d->control(ConverterDialog::kExitButton), Qt::LeftButton);
  EXPECT_FALSE(d->isVisible());
  EXPECT_EQ(d->result(), ConverterDialog::kExit);
  EXPECT_EQ(profileValue("MASTERVOL"), "64");
  EXPECT_EQ(profileValue("LOOPSW"), "0");
  EXPECT_EQ(profileValue("TITLE").toStdString(), "铃声");
}

TEST_F(DialogTest, up_down_steps_the_master_volume_within_its_range) {
  auto d = open();
  auto* updown = ctl<UpDownControl>(*d, ConverterDialog::kMasterVolumeUpDown);
  auto* edit = ctl<QLineEdit>(*d, ConverterDialog::kMasterVolumeEdit);
  edit->setText("126");
  QTest::mouseClick(updown->upButton(), Qt::LeftButton);
  QTest::mouseClick(updown->upButton(), Qt::LeftButton);
  EXPECT_EQ(edit->text(), QStringLiteral("127"));
  edit->setText("0");
  QTest::keyClick(edit, Qt::Key_Down);
  EXPECT_EQ(edit->text(), QStringLiteral("0"));
  QTest::keyClick(edit, Qt::Key_Up);
  EXPECT_EQ(edit->text(), QStringLiteral("1"));
}

TEST_F(DialogTest, profile_with_title_on_starts_with_the_title_edit_enabled) {
  test::writeFile(profilePath(), [] {
    const std::string text = "[STAT]\nTITLESW=1\nTITLE=abc\nCOPYRIGHTSW=1\nCOPYRIGHT=版权所有\nMASTERVOL=7\n";
    return test::Bytes(text.begin(), text.end());
  }());
  auto d = open();
  EXPECT_TRUE(ctl<QCheckBox>(*d, ConverterDialog::kTitleCheck)->isChecked());
  EXPECT_TRUE(ctl(*d, ConverterDialog::kTitleEdit)->isEnabled());
  EXPECT_EQ(ctl<QLineEdit>(*d, ConverterDialog::kTitleEdit)->text(), QStringLiteral("abc"));
  EXPECT_TRUE(ctl(*d, ConverterDialog::kCopyrightEdit)->isEnabled());
  EXPECT_EQ(ctl<QLineEdit>(*d, ConverterDialog::kCopyrightEdit)->text().toStdString(), "版权所有");
  EXPECT_EQ(ctl<QLineEdit>(*d, ConverterDialog::kMasterVolumeEdit)->text(), QStringLiteral("7"));
  EXPECT_EQ(d->converter().settings.titleText, "abc");
}

// The profile's escape "\0" gives the title a NUL; the file written from it
// is whole, its title ending there.
TEST_F(DialogTest, title_with_a_nul_from_the_profile_still_gives_a_whole_file) {
  test::writeFile(profilePath(), [] {
    const std::string text = "[STAT]\nTITLESW=1\nTITLE=AB\\0CD\nCOPYRIGHTSW=0\n";
    return test::Bytes(text.begin(), text.end());
  }());
  const std::string input = midi("a.mid");
  auto d = open();
  ASSERT_EQ(d->converter().settings.titleText, std::string("AB\0CD", 5)) << "the profile holds a NUL";
  setList(*d, input + "\n");
  setFolder(*d, work_.path() + "/");
  clickStart(*d);
  const test::Bytes file = readFileOrEmpty(work_.file("a.mld"));
  const InspectResult r = inspectMfi(file.data(), file.size());
  ASSERT_TRUE(r.ok) << r.describeError() << "\n" << logText(*d);
  EXPECT_EQ(r.chunks.at(3).data, "AB/Song");
}

TEST_F(DialogTest, check_boxes_enable_their_edits_and_the_text_stays) {
  auto d = open();
  auto* title = ctl<QLineEdit>(*d, ConverterDialog::kTitleEdit);
  QTest::mouseClick(d->control(ConverterDialog::kTitleCheck), Qt::LeftButton);
  EXPECT_TRUE(title->isEnabled());
  title->setText("keep");
  QTest::mouseClick(d->control(ConverterDialog::kTitleCheck), Qt::LeftButton);
  EXPECT_FALSE(title->isEnabled());
  EXPECT_EQ(title->text(), QStringLiteral("keep"));
  EXPECT_EQ(d->converter().settings.titleText, "keep");

  QTest::mouseClick(d->control(ConverterDialog::kCopyrightCheck), Qt::LeftButton);
  EXPECT_TRUE(d->control(ConverterDialog::kCopyrightEdit)->isEnabled());
  EXPECT_FALSE(title->isEnabled());
}

// Drags local files onto `target` and drops them there, as a file manager
// would: the drop goes to the widget that accepted the drag. True when the
// drop was accepted.
bool dropFiles(QWidget* target, const QStringList& paths) {
  QList<QUrl> urls;
  for (const QString& p : paths) urls << QUrl::fromLocalFile(p);
  QMimeData data;
  data.setUrls(urls);
  const QPoint at(10, 10);
  QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(target, &enter);
  QDragMoveEvent move(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(target, &move);
  QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(target, &drop);
  return drop.isAccepted();
}

TEST_F(DialogTest, files_dropped_on_the_list_are_appended_in_order_and_elsewhere_ignored) {
  auto d = open();
  setList(*d, "/typed/first.mid\n");
  const QStringList paths = {"/music/one.mid", "/music/two.mid", "/music/三.mid"};
  EXPECT_TRUE(dropFiles(ctl<QPlainTextEdit>(*d, ConverterDialog::kFileList)->viewport(), paths));
  const std::string expected = "/typed/first.mid\n/music/one.mid\n/music/two.mid\n/music/三.mid\n";
  EXPECT_EQ(listText(*d), expected);

  // On the window background, the log or the folder box: nothing changes.
  for (QWidget* target : {static_cast<QWidget*>(d.get()), ctl<QPlainTextEdit>(*d, ConverterDialog::kLogView)->viewport(), d->control(ConverterDialog::kOutputFolderEdit)})
    EXPECT_FALSE(dropFiles(target, {"/music/four.mid"}));
  EXPECT_EQ(listText(*d), expected);
  EXPECT_EQ(logText(*d), kBanner);
  EXPECT_EQ(ctl<QLineEdit>(*d, ConverterDialog::kOutputFolderEdit)->text(), QStringLiteral("./"));
}

// A file manager drops names that are not UTF-8 as percent-encoded bytes;
// the list and the output folder box carry them to the run byte for byte.
TEST_F(DialogTest, file_names_that_are_not_utf8_are_converted_under_their_own_bytes) {
  const std::string raw = "\xB8\xE8-\xFF.mid";  // GBK 歌, a stray byte
  const std::string input = midi(raw);
  const std::string folder = work_.path() + "/out\xE9/";
  auto d = open();
  QMimeData data;
  data.setData(QStringLiteral("text/uri-list"),
               "file://" + QByteArray::fromStdString(input).toPercentEncoding("/") + "\r\n");
  const QPoint at(10, 10);
  QWidget* list = ctl<QPlainTextEdit>(*d, ConverterDialog::kFileList)->viewport();
  QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(list, &enter);
  QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(list, &drop);
  ASSERT_TRUE(drop.isAccepted());
  d->converter().settings.outputFolder = folder;
  d->push();
  clickStart(*d);

  EXPECT_EQ(readFileOrEmpty(folder + "\xB8\xE8-\xFF.mld").size(), 186u) << logText(*d);
  EXPECT_NE(logText(*d).find("已保存了 1 个文件"), std::string::npos) << logText(*d);
  EXPECT_EQ(d->converter().settings.outputFolder, folder) << "the folder box gave the bytes back";
}

TEST_F(DialogTest, log_grows_by_appending_and_starts_again_after_clearing) {
  auto d = open();
  auto* log = ctl<LogView>(*d, ConverterDialog::kLogView);
  struct Change {
    int position, removed, added;
  };
  std::vector<Change> changes;
  QObject::connect(log->document(), &QTextDocument::contentsChange,
                   [&](int p, int r, int a) { changes.push_back({p, r, a}); });

  Converter& c = d->converter();
  c.fields.logText += "line one\r";
  c.refreshWindow();
  // The CR waits for what follows it: CR LF is one break.
  EXPECT_EQ(logText(*d), kBanner + "line one");
  c.fields.logText += "\nline two\r\n";
  c.refreshWindow();
  c.refreshWindow();  // nothing new: nothing touched
  EXPECT_EQ(logText(*d), kBanner + "line one\nline two\n");
  ASSERT_EQ(changes.size(), 2u);
  for (const Change& ch : changes) EXPECT_EQ(ch.removed, 0);
  EXPECT_EQ(changes[1].position, changes[0].position + changes[0].added);

  c.clearLog();
  EXPECT_EQ(logText(*d), kBanner);
  EXPECT_EQ(log->shownBytes(), kBanner.size());
}

TEST_F(DialogTest, browse_file_appends_the_chosen_file) {
  const std::string input = midi("chosen.mid");
  auto d = open();
  setList(*d, "/typed.mid\n");
  QString title, suffix;
  QStringList filters;
  QFileDialog::FileMode mode = QFileDialog::AnyFile;
  whenModal<QFileDialog>([&](QFileDialog* f) {
    title = f->windowTitle();
    suffix = f->defaultSuffix();
    filters = f->nameFilters();
    mode = f->fileMode();
    f->selectFile(QString::fromStdString(input));
    static_cast<QDialog*>(f)->accept();  // the chooser's own accept() is protected
  });
  const std::string before = cwd();
  QTest::mouseClick(d->control(ConverterDialog::kBrowseFileButton), Qt::LeftButton);
  EXPECT_EQ(title.toStdString(), "请选择要转换的 MIDI 文件");
  EXPECT_EQ(suffix, QStringLiteral("mid"));
  EXPECT_EQ(filters, QStringList{QStringLiteral("标准 MIDI 文件(*.mid)")});
  EXPECT_EQ(mode, QFileDialog::ExistingFile);
  EXPECT_EQ(listText(*d), "/typed.mid\n" + input + "\n");
  EXPECT_EQ(cwd(), before);

  // Cancelled: nothing changes.
  whenModal<QFileDialog>([](QFileDialog* f) { f->reject(); });
  QTest::mouseClick(d->control(ConverterDialog::kBrowseFileButton), Qt::LeftButton);
  EXPECT_EQ(listText(*d), "/typed.mid\n" + input + "\n");
}

TEST_F(DialogTest, browse_folder_starts_at_the_folder_and_appends_one_slash) {
  QDir(QString::fromStdString(work_.path())).mkpath("start");
  QDir(QString::fromStdString(work_.path())).mkpath("picked");
  auto d = open();
  setFolder(*d, work_.path() + "/start/");
  QString title, initial;
  whenModal<QFileDialog>([&](QFileDialog* f) {
    title = f->windowTitle();
    initial = f->directory().absolutePath();
    f->setDirectory(QString::fromStdString(work_.path() + "/picked"));
    static_cast<QDialog*>(f)->accept();  // the chooser's own accept() is protected
  });
  QTest::mouseClick(d->control(ConverterDialog::kBrowseFolderButton), Qt::LeftButton);
  EXPECT_EQ(title.toStdString(), "请选择输出文件夹");
  EXPECT_EQ(initial.toStdString(), work_.path() + "/start");
  EXPECT_EQ(ctl<QLineEdit>(*d, ConverterDialog::kOutputFolderEdit)->text().toStdString(), work_.path() + "/picked/");
  EXPECT_EQ(d->converter().settings.outputFolder, work_.path() + "/picked/");

  whenModal<QFileDialog>([](QFileDialog* f) { f->reject(); });
  QTest::mouseClick(d->control(ConverterDialog::kBrowseFolderButton), Qt::LeftButton);
  EXPECT_EQ(ctl<QLineEdit>(*d, ConverterDialog::kOutputFolderEdit)->text().toStdString(), work_.path() + "/picked/");
}

TEST_F(DialogTest, context_menu_opens_the_about_box) {
  auto d = open();
  QString item, caption;
  QVariant command;
  std::vector<std::string> texts;
  bool menuSeen = false, aboutSeen = false;
  // The menu is a popup, not a modal window: look for it directly.
  std::function<void()> pickMenu = [&] {
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    if (!menu) {
      QTimer::singleShot(5, pickMenu);
      return;
    }
    menuSeen = true;
    ASSERT_FALSE(menu->actions().isEmpty());
    item = menu->actions()[0]->text();
    command = menu->actions()[0]->data();
    whenModal<AboutDialog>(
        [&](AboutDialog* about) {
          caption = about->windowTitle();
          for (QLabel* l : about->findChildren<QLabel*>()) texts.push_back(l->text().toStdString());
          auto* ok = about->findChild<QPushButton*>("1");
          ASSERT_NE(ok, nullptr);
          EXPECT_EQ(ok->text().toStdString(), "确定");
          EXPECT_TRUE(ok->isDefault());
          ok->click();
        },
        &aboutSeen);
    QTest::keyClick(menu, Qt::Key_Down);
    QTest::keyClick(menu, Qt::Key_Return);
  };
  QTimer::singleShot(0, pickMenu);
  // A right click on the background, below the last line of the window.
  const QPoint background(2, d->height() - 2);
  QContextMenuEvent event(QContextMenuEvent::Mouse, background, d->mapToGlobal(background));
  QApplication::sendEvent(d.get(), &event);

  EXPECT_TRUE(menuSeen);
  EXPECT_TRUE(aboutSeen);
  EXPECT_EQ(item.toStdString(), "Tonvell 版本信息(&A)...");
  EXPECT_EQ(command.toInt(), ConverterDialog::kAboutCommand);
  EXPECT_EQ(caption.toStdString(), "Tonvell 版本信息");
  EXPECT_NE(std::find(texts.begin(), texts.end(), "Tonvell 版本 1.0"), texts.end());
  EXPECT_TRUE(d->isVisible());
}

// The rules label, which has no id: the static text of three lines.
QLabel* rulesLabel(ConverterDialog& d) {
  for (QLabel* l : d.findChildren<QLabel*>())
    if (l->text().startsWith(QStringLiteral("·以 1/48 分解"))) return l;
  return nullptr;
}

QAction* format0Item(QMenu& menu) {
  for (QAction* a : menu.actions())
    if (a->data().toInt() == ConverterDialog::kFormat0Command) return a;
  return nullptr;
}

TEST_F(DialogTest, format0_switch_of_the_context_menu_converts_format0_files_and_survives_a_restart) {
  const std::string off = "·以 1/48 分解\n·仅格式 1\n·1 音轨 1 声道";
  const std::string on = "·以 1/48 分解\n·格式 0/1\n·1 音轨 1 声道";
  // A profile of an earlier version, without the key.
  const std::string profile = "[STAT]\nTITLESW=0\nLOOPSW=1\nOUTPUTFOLDER=./\nMASTERVOL=100\n";
  test::writeFile(profilePath(), test::Bytes(profile.begin(), profile.end()));
  const std::string input = work_.file("zero.mid");
  test::writeFile(input, test::concat({test::smfHeader(0, 1, 96),
                                       test::track(test::hex("00 90 3C 40  60 80 3C 00  00 FF 2F 00"))}));
  const std::string out = work_.path() + "/out/";
  {
    auto d = open();
    ASSERT_NE(rulesLabel(*d), nullptr);
    EXPECT_EQ(rulesLabel(*d)->text().toStdString(), off);
    std::unique_ptr<QMenu> menu(d->createContextMenu());
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(menu->actions()[0]->data().toInt(), ConverterDialog::kAboutCommand) << "the about item comes first";
    QAction* item = format0Item(*menu);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->text().toStdString(), "格式 0 文件按声道分轨后转换");
    EXPECT_TRUE(item->isCheckable());
    EXPECT_FALSE(item->isChecked());

    // Off: refused as before.
    setList(*d, input + "\n");
    setFolder(*d, out);
    clickStart(*d);
    EXPECT_NE(logText(*d).find("无法处理以格式 1 以外的形式保存的 MIDI 文件"), std::string::npos) << logText(*d);
    EXPECT_FALSE(test::fileExists(out + "zero.mld"));

    item->trigger();
    EXPECT_EQ(rulesLabel(*d)->text().toStdString(), on);
    clickStart(*d);
    EXPECT_TRUE(test::fileExists(out + "zero.mld")) << logText(*d);
  }
  EXPECT_EQ(profileValue("FORMAT0SW"), "1");
  {
    auto d = open();
    EXPECT_EQ(rulesLabel(*d)->text().toStdString(), on);
    std::unique_ptr<QMenu> menu(d->createContextMenu());
    QAction* item = format0Item(*menu);
    ASSERT_NE(item, nullptr);
    EXPECT_TRUE(item->isChecked());
    item->trigger();
    EXPECT_EQ(rulesLabel(*d)->text().toStdString(), off);
  }
  EXPECT_EQ(profileValue("FORMAT0SW"), "0");
}

// Opens the context menu on the window's background and hands it to `act`
// (which must close it); false when no menu came.
bool withContextMenu(ConverterDialog& d, const std::function<void(QMenu*)>& act) {
  bool seen = false;
  std::function<void()> pick = [&] {
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    if (!menu) {
      QTimer::singleShot(5, pick);
      return;
    }
    seen = true;
    act(menu);
  };
  QTimer::singleShot(0, pick);
  const QPoint background(2, d.height() - 2);
  QContextMenuEvent event(QContextMenuEvent::Mouse, background, d.mapToGlobal(background));
  QApplication::sendEvent(&d, &event);
  return seen;
}

QAction* handsetItem(QMenu* menu) {
  for (QAction* a : menu->actions())
    if (a->data().toInt() == ConverterDialog::kHandsetCommand) return a;
  return nullptr;
}

TEST_F(DialogTest, handset_item_of_the_context_menu_survives_a_restart_and_switches_the_mode) {
  const std::string input = midi("a.mid");
  const std::string out = work_.path() + "/out/";
  {
    auto d = open();
    EXPECT_TRUE(withContextMenu(*d, [](QMenu* menu) {
      QAction* item = handsetItem(menu);
      ASSERT_NE(item, nullptr);
      EXPECT_EQ(item->text().toStdString(), "按手机播放规格写入数值");
      EXPECT_TRUE(item->isCheckable());
      EXPECT_FALSE(item->isChecked()) << "off by default";
      menu->setActiveAction(item);
      QTest::keyClick(menu, Qt::Key_Return);  // checks it and closes the menu
    }));
    EXPECT_EQ(d->converter().settings.handsetSwitch, 1);
    QTest::mouseClick(d->control(ConverterDialog::kExitButton), Qt::LeftButton);
  }
  EXPECT_EQ(profileValue("HANDSETSW"), "1");

  // Started again: the item is checked, and a run writes in the handset mode
  // (master volume first, as the window's defaults have it).
  auto d = open();
  EXPECT_EQ(d->converter().settings.handsetSwitch, 1);
  bool checked = false;
  EXPECT_TRUE(withContextMenu(*d, [&](QMenu* menu) {
    QAction* item = handsetItem(menu);
    ASSERT_NE(item, nullptr);
    checked = item->isChecked();
    menu->close();
  }));
  EXPECT_TRUE(checked);
  setList(*d, input + "\n");
  setFolder(*d, out);
  clickStart(*d);
  const test::Bytes written = test::readFile(out + "a.mld");
  test::Bytes handset;
  ConverterSettings s;
  s.handsetSwitch = 1;
  ASSERT_EQ(test::convertBytes(test::workedExample(), &handset, s, nullptr, d->converter().today()),
            result::kSuccess);
  EXPECT_EQ(written, handset);

  // Unchecked and closed: 0 again.
  EXPECT_TRUE(withContextMenu(*d, [](QMenu* menu) {
    QAction* item = handsetItem(menu);
    ASSERT_NE(item, nullptr);
    item->trigger();
    menu->close();
  }));
  EXPECT_EQ(d->converter().settings.handsetSwitch, 0);
  d.reset();
  EXPECT_EQ(profileValue("HANDSETSW"), "0");
}

TEST_F(DialogTest, trace_gets_the_start_folder_and_the_program_folder) {
  TempDir traceDir;
  const std::string traceFile = traceDir.file("trace.txt");
  ScopedEnv trace("TONVELL_TRACE", traceFile);
  const std::string start = cwd();
  { auto d = open(); }
  const test::Bytes bytes = test::readFile(traceFile);
  const std::string text(bytes.begin(), bytes.end());
  const std::string program = QDir(QCoreApplication::applicationDirPath()).canonicalPath().toStdString();
  EXPECT_EQ(text.rfind(start + "\n" + program + "\n", 0), 0u) << text;
}

}  // namespace
}  // namespace tonvell::ui
