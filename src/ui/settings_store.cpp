#include "ui/settings_store.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStringList>
#include <QVariant>

#include <climits>
#include <optional>

#include "convert/strings.h"
#include "ui/file_names.h"

namespace tonvell::ui {

namespace {

QString key(int id) { return QString::fromUtf8(loadString(id)); }

// A decimal integer of 32 bits with optional surrounding blanks and sign.
bool parseInt(const QString& text, int* value) {
  bool ok = false;
  const qlonglong n = text.trimmed().toLongLong(&ok, 10);
  if (!ok || n < INT_MIN || n > INT_MAX) return false;
  *value = static_cast<int>(n);
  return true;
}

void readInt(QSettings& profile, int id, int& field) {
  const QVariant v = profile.value(key(id));
  int n = 0;
  switch (v.typeId()) {
    case QMetaType::QString:
      if (parseInt(v.toString(), &n)) field = n;
      break;
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
    case QMetaType::ULongLong: {
      bool ok = false;
      const qlonglong wide = v.toLongLong(&ok);
      if (ok && wide >= INT_MIN && wide <= INT_MAX) field = static_cast<int>(wide);
      break;
    }
    default:
      break;  // missing, or something a number cannot be made of
  }
}

void readSwitch(QSettings& profile, int id, int& field) {
  int n = field;
  readInt(profile, id, n);
  if (n == 0 || n == 1) field = n;
}

// Texts are UTF-8. Invalid bytes come back from the profile reader as
// U+FFFD, which never belongs in a title, a copyright or a folder: such a
// value is refused as a whole.
bool usableText(const QString& text) { return !text.contains(QChar::ReplacementCharacter); }

// The text under `id`, or nothing when it is missing or unusable.
std::optional<QString> readText(QSettings& profile, int id) {
  const QVariant v = profile.value(key(id));
  QString text;
  switch (v.typeId()) {
    case QMetaType::QString:
      text = v.toString();
      break;
    case QMetaType::QStringList:
      // An unquoted comma in a hand-edited profile splits the value.
      text = v.toStringList().join(QStringLiteral(", "));
      break;
    default:  // "@ByteArray(...)", "@Variant(...)": never written by us
      return std::nullopt;
  }
  if (!usableText(text)) return std::nullopt;
  return text;
}

void readText(QSettings& profile, int id, std::string& field) {
  if (const auto text = readText(profile, id)) field = text->toStdString();
}

// Folders are held as the file system's bytes.
void readPath(QSettings& profile, int id, std::string& field) {
  if (const auto text = readText(profile, id)) field = fileNameBytes(*text);
}

}  // namespace

QString settingsFilePath() {
  QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
  if (base.isEmpty() || QDir::isRelativePath(base)) base = QDir::homePath() + QStringLiteral("/.config");
  return QDir::cleanPath(base + QStringLiteral("/tonvell.ini"));
}

void loadSettings(const QString& path, ConverterSettings& s) {
  if (path.isEmpty() || !QFileInfo(path).isFile()) return;
  QSettings profile(path, QSettings::IniFormat);
  profile.beginGroup(key(text::kSection));
  readSwitch(profile, text::kKeyTitleSwitch, s.titleSwitch);
  readSwitch(profile, text::kKeyMasterVolumeSwitch, s.masterVolumeSwitch);
  readSwitch(profile, text::kKeyCopyrightSwitch, s.copyrightSwitch);
  readSwitch(profile, text::kKeySmfCopyrightSwitch, s.smfCopyrightSwitch);
  readSwitch(profile, text::kKeySmfSeqNameSwitch, s.smfSeqNameSwitch);
  readSwitch(profile, text::kKeyLoopSwitch, s.loopSwitch);
  readSwitch(profile, text::kKeyCopyProhibit, s.copyProhibit);
  readText(profile, text::kKeyCopyright, s.copyrightText);
  readText(profile, text::kKeyTitle, s.titleText);
  readPath(profile, text::kKeyOutputFolder, s.outputFolder);
  readInt(profile, text::kKeyMasterVolume, s.masterVolume);
  readSwitch(profile, text::kKeyFormat0Switch, s.format0Switch);
  readSwitch(profile, text::kKeyHandsetSwitch, s.handsetSwitch);
  profile.endGroup();
}

void saveSettings(const QString& path, const ConverterSettings& s) {
  if (path.isEmpty()) return;
  QDir().mkpath(QFileInfo(path).absolutePath());
  QSettings profile(path, QSettings::IniFormat);
  profile.beginGroup(key(text::kSection));
  profile.setValue(key(text::kKeyTitleSwitch), s.titleSwitch);
  profile.setValue(key(text::kKeyMasterVolumeSwitch), s.masterVolumeSwitch);
  profile.setValue(key(text::kKeyCopyrightSwitch), s.copyrightSwitch);
  profile.setValue(key(text::kKeySmfCopyrightSwitch), s.smfCopyrightSwitch);
  profile.setValue(key(text::kKeySmfSeqNameSwitch), s.smfSeqNameSwitch);
  profile.setValue(key(text::kKeyLoopSwitch), s.loopSwitch);
  profile.setValue(key(text::kKeyCopyProhibit), s.copyProhibit);
  profile.setValue(key(text::kKeyCopyright), QString::fromStdString(s.copyrightText));
  profile.setValue(key(text::kKeyTitle), QString::fromStdString(s.titleText));
  profile.setValue(key(text::kKeyOutputFolder), fileNameText(s.outputFolder));
  profile.setValue(key(text::kKeyMasterVolume), s.masterVolume);
  profile.setValue(key(text::kKeyFormat0Switch), s.format0Switch);
  profile.setValue(key(text::kKeyHandsetSwitch), s.handsetSwitch);
  profile.endGroup();
  profile.sync();
}

}  // namespace tonvell::ui
