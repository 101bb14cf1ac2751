#include "panel/ui/KstAppDelegate.h"

#include <QApplication>
#include <QDesktopServices>
#include <QVBoxLayout>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "panel/store/PanelConfig.h"
#include "panel/store/Reachability.h"
#include "panel/ui/KstMainViewController.h"
#include "panel/ui/KstScreen.h"
#include "panel/ui/PanelStyle.h"

namespace kst::panel {

PanelContext& PanelContext::process() {
  static PanelContext* context = new PanelContext{
      PanelStore::process(), applist::ALApplicationList::sharedApplicationList(),
      [] { return Reachability::reachabilityForInternetConnection()->currentReachabilityStatus(); },
      [](const QUrl& url) { QDesktopServices::openUrl(url); },
      QUrl::fromLocalFile(QString::fromStdString(PanelStore::process().path(config::kDocumentationPath)))};
  return *context;
}

KstAppDelegate::KstAppDelegate(PanelContext& context) : context_(context) {}

bool KstAppDelegate::didFinishLaunching() {
  window_ = std::make_unique<QWidget>();
  window_->setObjectName("panelWindow");
  window_->setWindowTitle("Kestrix");
  window_->setWindowIcon(QIcon(QPixmap::fromImage(applicationIcon(64))));
  window_->setFixedSize(KstScreen::kWidth, KstScreen::kHeight);
  auto* layout = new QVBoxLayout(window_.get());
  layout->setContentsMargins(0, 0, 0, 0);
  stack_ = new uikit::NavigationStack(window_.get());
  layout->addWidget(stack_);
  main_ = new KstMainViewController(context_);
  window_->show();
  stack_->setRoot(main_);
  return true;
}

int panelMain(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    std::string root;
    if (arg == "--root" && i + 1 < argc) {
      root = argv[++i];
    } else if (arg.starts_with("--root=")) {
      root = arg.substr(7);
    } else if (arg == "-h" || arg == "--help") {
      std::puts("usage: KestrixPanel [--root DIR]");
      return 0;
    } else {
      continue;  // Qt's own options
    }
    if (root.empty()) {
      std::fprintf(stderr, "KestrixPanel: --root needs a folder\n");
      return 2;
    }
    std::error_code ec;
    ::setenv("KESTRIX_ROOT", std::filesystem::absolute(root, ec).c_str(), 1);
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName("KestrixPanel");
  KstAppDelegate delegate(PanelContext::process());
  delegate.didFinishLaunching();
  return QApplication::exec();
}

}  // namespace kst::panel
