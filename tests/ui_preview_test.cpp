// Listening from the window, through FluidSynth's file audio driver (no sound
// device needed): the player's signals, the context-menu items, the double
// click on a saved file's log line, and the log line when no audio output
// can be opened.
#include "ui/preview_player.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>
#include <QTextBlock>

#include <memory>
#include <string>

#include "audio/synth.h"
#include "support/test_support.h"
#include "support/ui_support.h"
#include "ui/controls.h"
#include "ui/converter_dialog.h"

namespace tonvell::ui {
namespace {

using test::qtApp;
using test::ScopedEnv;
using test::TempDir;

class PreviewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (audio::defaultSoundFont().empty()) GTEST_SKIP() << "no General MIDI SoundFont installed";
    qtApp();
    config_ = std::make_unique<ScopedEnv>("XDG_CONFIG_HOME", work_.path());
    driver_ = std::make_unique<ScopedEnv>("TONVELL_AUDIO_DRIVER", "file");
    file_ = std::make_unique<ScopedEnv>("TONVELL_AUDIO_FILE", played());
  }

  std::string played() const { return work_.file("played.wav"); }

  // The worked example converted into the work folder.
  std::string ringTone() {
    test::Bytes mfi;
    EXPECT_EQ(test::convertBytes(test::workedExample(), &mfi), result::kSuccess);
    const std::string path = work_.file("a.mld");
    test::writeFile(path, mfi);
    return path;
  }

  // A window that has converted and saved the worked example into out/.
  std::unique_ptr<ConverterDialog> windowAfterARun() {
    test::writeFile(work_.file("a.mid"), test::workedExample());
    auto d = std::make_unique<ConverterDialog>(QString::fromStdString(work_.file("tonvell.ini")));
    d->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(d.get()));
    qobject_cast<QPlainTextEdit*>(d->control(ConverterDialog::kFileList))->setPlainText(QString::fromStdString(work_.file("a.mid")));
    qobject_cast<QLineEdit*>(d->control(ConverterDialog::kOutputFolderEdit))->setText(QString::fromStdString(work_.file("out/")));
    QTest::mouseClick(d->control(ConverterDialog::kStartButton), Qt::LeftButton);
    return d;
  }

  static QAction* item(QMenu& menu, const char* text) {
    for (QAction* a : menu.actions())
      if (a->text() == QString::fromUtf8(text)) return a;
    ADD_FAILURE() << "no menu item " << text;
    return nullptr;
  }

  static std::string logText(ConverterDialog& d) {
    return qobject_cast<QPlainTextEdit*>(d.control(ConverterDialog::kLogView))->toPlainText().toStdString();
  }

  TempDir work_;
  std::unique_ptr<ScopedEnv> config_, driver_, file_;
};

TEST_F(PreviewTest, player_prepares_off_the_window_thread_and_tells_the_end) {
  PreviewPlayer player;
  QSignalSpy started(&player, &PreviewPlayer::started);
  QSignalSpy finished(&player, &PreviewPlayer::finished);
  QSignalSpy failed(&player, &PreviewPlayer::failed);
  const std::string path = ringTone();
  player.play(path);
  EXPECT_EQ(started.count(), 0) << "play() returns before the file is ready";
  EXPECT_TRUE(player.active());
  ASSERT_TRUE(started.wait(test::kPatienceMs));
  EXPECT_EQ(started.at(0).at(0).toString().toStdString(), path);
  EXPECT_TRUE(finished.wait(test::kPatienceMs));
  EXPECT_FALSE(player.active());
  EXPECT_EQ(failed.count(), 0);
  EXPECT_GT(test::readFile(played()).size(), 44u + 4 * 44100 / 2) << "half a second of 16-bit stereo at least";

  player.play(work_.file("none.mld"));
  ASSERT_TRUE(failed.wait(test::kPatienceMs));
  EXPECT_EQ(failed.at(0).at(0).toString().toStdString(), work_.file("none.mld") + ": No such file or directory");
  EXPECT_FALSE(failed.at(0).at(1).toBool());
}

TEST_F(PreviewTest, stopping_ends_playback_without_a_finished_signal) {
  PreviewPlayer player;
  QSignalSpy started(&player, &PreviewPlayer::started);
  QSignalSpy finished(&player, &PreviewPlayer::finished);
  player.play(ringTone());
  ASSERT_TRUE(started.wait(test::kPatienceMs));
  player.stop();
  EXPECT_FALSE(player.active());
  EXPECT_FALSE(finished.wait(3000));
}

TEST_F(PreviewTest, menu_items_play_the_last_saved_file_and_stop_it) {
  {
    ConverterDialog fresh(QString::fromStdString(work_.file("tonvell.ini")));
    std::unique_ptr<QMenu> menu(fresh.createContextMenu());
    EXPECT_FALSE(item(*menu, "试听最后保存的文件")->isEnabled()) << "nothing saved yet";
    EXPECT_FALSE(item(*menu, "停止试听")->isEnabled());
  }
  auto d = windowAfterARun();
  ASSERT_EQ(d->lastSavedPath(), work_.file("out/a.mld"));
  QSignalSpy started(d->previewPlayer(), &PreviewPlayer::started);
  QSignalSpy finished(d->previewPlayer(), &PreviewPlayer::finished);

  std::unique_ptr<QMenu> menu(d->createContextMenu());
  QAction* play = item(*menu, "试听最后保存的文件");
  ASSERT_TRUE(play && play->isEnabled());
  play->trigger();
  ASSERT_TRUE(started.wait(test::kPatienceMs));
  EXPECT_EQ(started.at(0).at(0).toString().toStdString(), work_.file("out/a.mld"));

  menu.reset(d->createContextMenu());
  QAction* stop = item(*menu, "停止试听");
  ASSERT_TRUE(stop && stop->isEnabled());
  stop->trigger();
  EXPECT_FALSE(d->previewPlayer()->active());
  EXPECT_FALSE(finished.wait(2000));
}

TEST_F(PreviewTest, double_click_on_a_saved_file_line_plays_it) {
  auto d = windowAfterARun();
  auto* log = qobject_cast<LogView*>(d->control(ConverterDialog::kLogView));
  ASSERT_NE(log, nullptr);
  QSignalSpy started(d->previewPlayer(), &PreviewPlayer::started);
  auto clickLine = [&](const QString& startsWith) {
    for (QTextBlock b = log->document()->begin(); b.isValid(); b = b.next()) {
      if (!b.text().trimmed().startsWith(startsWith)) continue;
      QTextCursor at(b);
      log->setTextCursor(at);
      log->ensureCursorVisible();
      QTest::mouseDClick(log->viewport(), Qt::LeftButton, {}, log->cursorRect(at).center() + QPoint(4, 0));
      return true;
    }
    return false;
  };
  ASSERT_TRUE(clickLine(QStringLiteral("000:")));
  EXPECT_FALSE(started.wait(500)) << "the input's line is no saved file";
  ASSERT_TRUE(clickLine(QStringLiteral("=> ")));
  ASSERT_TRUE(started.wait(test::kPatienceMs));
  EXPECT_EQ(started.at(0).at(0).toString().toStdString(), work_.file("out/a.mld"));
}

TEST_F(PreviewTest, no_audio_output_is_one_log_line) {
  ScopedEnv noDriver("TONVELL_AUDIO_DRIVER", "no-such-driver");
  auto d = windowAfterARun();
  const std::string before = logText(*d);
  QSignalSpy failed(d->previewPlayer(), &PreviewPlayer::failed);
  d->previewLastSaved();
  ASSERT_TRUE(failed.wait(test::kPatienceMs));
  const std::string after = logText(*d);
  ASSERT_EQ(after.rfind(before, 0), 0u);
  const std::string added = after.substr(before.size());
  EXPECT_EQ(added.rfind("♪无法打开音频输出，不能试听（no audio output", 0), 0u) << added;
  EXPECT_EQ(added.find('\n'), added.size() - 1) << "one line: " << added;
}

}  // namespace
}  // namespace tonvell::ui
