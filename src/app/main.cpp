// The desktop program.
#include "ui/converter_app.h"

int main(int argc, char** argv) {
  tonvell::ui::ConverterApp app(argc, argv);
  return app.run();
}
