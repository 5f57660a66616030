// Renders the main window after a run, offscreen, to main-window.png beside
// the test program, for people to look at; and checks that the face it is
// drawn in can show Chinese.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFontDatabase>
#include <QFontInfo>
#include <QImage>
#include <QLineEdit>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QTest>

#include <set>

#include "support/test_support.h"
#include "support/ui_support.h"
#include "ui/converter_dialog.h"
#include "ui/dialog_units.h"

namespace tonvell::ui {
namespace {

TEST(ScreenshotTest, dialog_font_can_show_simplified_chinese) {
  test::qtApp();
  const QFontInfo info(dialogFont());
  EXPECT_EQ(info.pointSize(), 9);
  EXPECT_TRUE(QFontDatabase::writingSystems(info.family()).contains(QFontDatabase::SimplifiedChinese))
      << info.family().toStdString();
  EXPECT_TRUE(QFontMetrics(dialogFont()).inFont(QChar(0x8F6C)));  // 转
}

TEST(ScreenshotTest, main_window_after_a_run_is_saved_as_png) {
  test::qtApp();
  test::TempDir config, work;
  test::ScopedEnv env("XDG_CONFIG_HOME", config.path());
  const std::string input = work.file("song.mid");
  test::writeFile(input, test::workedExample());

  ConverterDialog window{QString()};
  qobject_cast<QPlainTextEdit*>(window.control(ConverterDialog::kFileList))->setPlainText(QString::fromStdString(input + "\n"));
  qobject_cast<QLineEdit*>(window.control(ConverterDialog::kOutputFolderEdit))->setText(QString::fromStdString(work.path() + "/"));
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  QTest::mouseClick(window.control(ConverterDialog::kStartButton), Qt::LeftButton);

  const QPixmap shot = window.grab();
  const QString file = QCoreApplication::applicationDirPath() + QStringLiteral("/main-window.png");
  ASSERT_TRUE(shot.save(file, "PNG"));
  window.done(ConverterDialog::kCancel);

  const QImage image(file);
  ASSERT_FALSE(image.isNull());
  EXPECT_EQ(image.size(), window.size() * shot.devicePixelRatio());
  // Not a blank picture: the text drew many distinct colours.
  std::set<QRgb> colours;
  for (int y = 0; y < image.height(); y += 3)
    for (int x = 0; x < image.width(); x += 3) colours.insert(image.pixel(x, y));
  EXPECT_GT(colours.size(), 20u);
}

}  // namespace
}  // namespace tonvell::ui
