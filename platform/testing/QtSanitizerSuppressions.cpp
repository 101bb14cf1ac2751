// What the sanitizers leave out in test programs that run Qt widgets.

// Qt's font lookup keeps a fontconfig cache for the life of the process.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig\n";
}

// Qt is not built for the thread checker: its painting threads hand work
// over with synchronisation the checker cannot see. Only what Qt's own
// libraries do through intercepted calls is left out; our code is checked.
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libQt6Core.so.6\n"
         "called_from_lib:libQt6Gui.so.6\n"
         "called_from_lib:libQt6Widgets.so.6\n"
         "called_from_lib:libQt6Network.so.6\n"
         "called_from_lib:libglib-2.0.so.0\n";
}
