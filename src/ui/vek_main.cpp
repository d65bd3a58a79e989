// vek: the desktop program.
#include "ui/vek_app.h"

int main(int argc, char** argv) {
  vek::CVEKApp app(argc, argv);
  return app.InitInstance();
}
