// The settings profile: where it lives, what a round trip keeps, and what a
// damaged profile falls back to.
#include "ui/settings_store.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QSettings>

#include <string>

#include "core/workspace.h"
#include "support/test_support.h"
#include "support/ui_support.h"

namespace tonvell::ui {
namespace {

using test::ScopedEnv;
using test::TempDir;

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override { test::qtApp(); }

  QString path(const char* name = "tonvell.ini") const { return QString::fromStdString(dir_.file(name)); }

  void writeProfile(const std::string& text, const char* name = "tonvell.ini") const {
    test::writeFile(dir_.file(name), test::Bytes(text.begin(), text.end()));
  }

  static ConverterSettings loaded(const QString& file) {
    ConverterSettings s;
    loadSettings(file, s);
    return s;
  }

  TempDir dir_;
};

void expectDefaults(const ConverterSettings& s) {
  EXPECT_EQ(s.titleSwitch, 0);
  EXPECT_EQ(s.masterVolumeSwitch, 1);
  EXPECT_EQ(s.copyrightSwitch, 0);
  EXPECT_EQ(s.smfCopyrightSwitch, 1);
  EXPECT_EQ(s.smfSeqNameSwitch, 1);
  EXPECT_EQ(s.loopSwitch, 1);
  EXPECT_EQ(s.copyProhibit, 0);
  EXPECT_EQ(s.copyrightText, "(c)2003");
  EXPECT_EQ(s.titleText, "");
  EXPECT_EQ(s.outputFolder, "./");
  EXPECT_EQ(s.masterVolume, 100);
  EXPECT_EQ(s.format0Switch, 0);
  EXPECT_EQ(s.handsetSwitch, 0);
}

TEST_F(SettingsTest, profile_path_follows_xdg_config_home) {
  {
    ScopedEnv env("XDG_CONFIG_HOME", "/somewhere/config");
    EXPECT_EQ(settingsFilePath().toStdString(), "/somewhere/config/tonvell.ini");
  }
  const std::string home = QDir::homePath().toStdString();
  for (const char* value : {static_cast<const char*>(nullptr), "", "relative/dir"}) {
    ScopedEnv env("XDG_CONFIG_HOME", value);
    EXPECT_EQ(settingsFilePath().toStdString(), home + "/.config/tonvell.ini") << (value ? value : "(unset)");
  }
}

TEST_F(SettingsTest, round_trip_keeps_every_field) {
  ConverterSettings s;
  s.titleSwitch = 1;
  s.masterVolumeSwitch = 0;
  s.copyrightSwitch = 1;
  s.smfCopyrightSwitch = 0;
  s.smfSeqNameSwitch = 0;
  s.loopSwitch = 0;
  s.copyProhibit = 1;
  s.copyrightText = "(c)2024 铃声工坊, \"all\" rights; =reserved= \\ @x";
  s.titleText = "  主题曲  ";
  s.outputFolder = "/home/用户/铃声 out/";
  s.masterVolume = 200;  // stored whatever it is
  s.format0Switch = 1;
  s.handsetSwitch = 1;
  saveSettings(path(), s);

  const ConverterSettings r = loaded(path());
  EXPECT_EQ(r.titleSwitch, 1);
  EXPECT_EQ(r.masterVolumeSwitch, 0);
  EXPECT_EQ(r.copyrightSwitch, 1);
  EXPECT_EQ(r.smfCopyrightSwitch, 0);
  EXPECT_EQ(r.smfSeqNameSwitch, 0);
  EXPECT_EQ(r.loopSwitch, 0);
  EXPECT_EQ(r.copyProhibit, 1);
  EXPECT_EQ(r.copyrightText, s.copyrightText);
  EXPECT_EQ(r.titleText, s.titleText);
  EXPECT_EQ(r.outputFolder, s.outputFolder);
  EXPECT_EQ(r.masterVolume, 200);
  EXPECT_EQ(r.format0Switch, 1);
  EXPECT_EQ(r.handsetSwitch, 1);

  // Section "STAT", integers in decimal, texts as UTF-8 (not escaped).
  const test::Bytes bytes = test::readFile(dir_.file("tonvell.ini"));
  const std::string text(bytes.begin(), bytes.end());
  EXPECT_NE(text.find("[STAT]\n"), std::string::npos) << text;
  EXPECT_NE(text.find("MASTERVOL=200\n"), std::string::npos) << text;
  EXPECT_NE(text.find("TITLESW=1\n"), std::string::npos) << text;
  EXPECT_NE(text.find("FORMAT0SW=1\n"), std::string::npos) << text;
  EXPECT_NE(text.find("HANDSETSW=1\n"), std::string::npos) << text;
  EXPECT_NE(text.find("主题曲"), std::string::npos) << text;
}

// An output folder whose name is not UTF-8 comes back byte for byte.
TEST_F(SettingsTest, output_folder_keeps_bytes_that_are_not_utf8) {
  ConverterSettings s;
  s.outputFolder = "/tmp/\xB8\xE8\xFF/";
  saveSettings(path(), s);
  EXPECT_EQ(loaded(path()).outputFolder, s.outputFolder);
}

TEST_F(SettingsTest, missing_profile_or_keys_leave_the_defaults) {
  ConverterSettings s;
  loadSettings(path("absent.ini"), s);
  expectDefaults(s);

  writeProfile("[OTHER]\nTITLESW=1\n[STAT]\nTITLE=only this\n");
  s = loaded(path());
  EXPECT_EQ(s.titleText, "only this");
  EXPECT_EQ(s.titleSwitch, 0);
  s.titleText.clear();
  expectDefaults(s);
}

TEST_F(SettingsTest, a_value_that_cannot_be_used_falls_back_to_the_default) {
  writeProfile(
      "[STAT]\n"
      "TITLESW=abc\n"             // not a number
      "MASTERVOLSW=5\n"           // not a switch
      "COPYRIGHTSW=1.5\n"         // not an integer
      "SMFCOPYRIGHTSW=\n"         // empty
      "SMFSEQNAMESW=99999999999999999999\n"  // beyond 32 bits
      "LOOPSW=@Variant(\\0\\0\\0\\x7f\\0\\0\\0\\aQPointF\\0)\n"
      "COPYDATASW= 1 \n"          // blanks around a number are fine
      "COPYRIGHT=\xff\xfe broken\n"  // not UTF-8
      "TITLE=a, b\n"              // an unquoted comma
      "OUTPUTFOLDER=@ByteArray(\xc3)\n"
      "MASTERVOL=-4\n"
      "FORMAT0SW=2\n"
      "HANDSETSW=2\n");          // not a switch
  const ConverterSettings s = loaded(path());
  EXPECT_EQ(s.titleSwitch, 0);
  EXPECT_EQ(s.masterVolumeSwitch, 1);
  EXPECT_EQ(s.copyrightSwitch, 0);
  EXPECT_EQ(s.smfCopyrightSwitch, 1);
  EXPECT_EQ(s.smfSeqNameSwitch, 1);
  EXPECT_EQ(s.loopSwitch, 1);
  EXPECT_EQ(s.handsetSwitch, 0);
  EXPECT_EQ(s.copyProhibit, 1);
  EXPECT_EQ(s.copyrightText, "(c)2003");
  EXPECT_EQ(s.titleText, "a, b");
  EXPECT_EQ(s.outputFolder, "./");
  EXPECT_EQ(s.masterVolume, -4);  // an integer is kept; the window refuses it on the next exchange
  EXPECT_EQ(s.format0Switch, 0);
}

TEST_F(SettingsTest, unreadable_or_unwritable_profiles_are_ignored) {
  // A folder where the file should be: nothing read, nothing written, no crash.
  QDir().mkpath(path("folder.ini"));
  ConverterSettings s;
  s.titleText = "mine";
  loadSettings(path("folder.ini"), s);
  EXPECT_EQ(s.titleText, "mine");
  saveSettings(path("folder.ini"), s);
  EXPECT_TRUE(QFileInfo(path("folder.ini")).isDir()) << "the folder is still a folder";
  EXPECT_TRUE(QDir(path("folder.ini")).isEmpty()) << "and nothing was written into it";

  // A profile in a folder that does not exist yet is created with it.
  saveSettings(path("new/sub/tonvell.ini"), s);
  EXPECT_EQ(loaded(path("new/sub/tonvell.ini")).titleText, "mine");
}

TEST_F(SettingsTest, loading_starts_from_the_fields_as_they_are) {
  writeProfile("[STAT]\nMASTERVOL=12\n");
  ConverterSettings s;
  s.titleText = "kept";
  s.loopSwitch = 0;
  loadSettings(path(), s);
  EXPECT_EQ(s.masterVolume, 12);
  EXPECT_EQ(s.titleText, "kept");
  EXPECT_EQ(s.loopSwitch, 0);
}

}  // namespace
}  // namespace tonvell::ui
