// The user's options of the main window. The engine reads the header options
// and the output folder; the master volume, its switch and the loop switch
// take effect only in handset mode.
#pragma once

#include <string>

#include "core/pass.h"

namespace tonvell {


struct ConverterSettings {
  int titleSwitch = 0;          // "TITLESW": put titleText into the "titl" chunk
  int masterVolumeSwitch = 1;   // "MASTERVOLSW": handset mode only
  int copyrightSwitch = 0;      // "COPYRIGHTSW": put copyrightText into the "copy" chunk
  int smfCopyrightSwitch = 1;   // "SMFCOPYRIGHTSW": add the input's copyright meta text
  int smfSeqNameSwitch = 1;     // "SMFSEQNAMESW": add the input's sequence name
  int loopSwitch = 1;           // "LOOPSW": handset mode only
  int copyProhibit = 0;         // "COPYDATASW": the "sorc" byte
  std::string copyrightText = "(c)2003";  // "COPYRIGHT", UTF-8
  std::string titleText;        // "TITLE", UTF-8
  std::string outputFolder = "./";  // "OUTPUTFOLDER": the program's own folder by default
  int masterVolume = 100;       // "MASTERVOL", 0..127; shown and stored only (used in handset mode)
  int format0Switch = 0;        // "FORMAT0SW": convert format-0 files, split by channel
  int handsetSwitch = 0;        // "HANDSETSW": write values as handsets play them
};

// The defaults step: every setting to its default.
inline void applyDefaults(ConverterSettings& settings) { settings = ConverterSettings{}; }

// What the settings give a conversion.
ConversionOptions conversionOptions(const ConverterSettings& settings);

}  // namespace tonvell
