// The desktop program.
#include "ui/converter_app.h"

int main(int argc, char** argv) {
  // --help and --version need no display.
  if (const auto status = tonvell::ui::answerWithoutWindow(argc, argv)) return *status;
  tonvell::ui::ConverterApp app(argc, argv);
  return app.run();
}
