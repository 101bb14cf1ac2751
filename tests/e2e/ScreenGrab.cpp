// Writes the whole X screen (the root window) as a PNG: the desktop tests'
// screenshots, without an image converter on the machine.
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: kst_e2e_screen_grab FILE.png\n", stderr);
    return 2;
  }
  QGuiApplication app(argc, argv);
  QScreen* screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) {
    std::fputs("kst_e2e_screen_grab: no screen\n", stderr);
    return 1;
  }
  if (!screen->grabWindow(0).save(QString::fromLocal8Bit(argv[1]), "PNG")) {
    std::fprintf(stderr, "kst_e2e_screen_grab: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
