// The settings profile: section "STAT" of an INI file, the window's eleven
// keys and the two switches of the context menu ("FORMAT0SW", "HANDSETSW").
// Texts are stored as UTF-8, integers in decimal.
#pragma once

#include <QString>

#include "convert/settings.h"

namespace tonvell::ui {

// $XDG_CONFIG_HOME/tonvell.ini, with ~/.config when XDG_CONFIG_HOME is unset,
// empty or not an absolute path. Always an absolute path, so it does not
// depend on the current directory.
QString settingsFilePath();

// Reads every key in order, with the field's current value as the fallback:
// a missing file or key, a value of the wrong kind (a switch other than 0 or
// 1, a number that is not a decimal integer of 32 bits, a text that is not
// valid UTF-8) leaves the field as it was. Read failures are not reported.
void loadSettings(const QString& path, ConverterSettings& settings);

// Writes every key in order. Write failures are not reported.
void saveSettings(const QString& path, const ConverterSettings& settings);

}  // namespace tonvell::ui
