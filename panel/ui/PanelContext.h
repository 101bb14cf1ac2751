#pragma once

#include <QUrl>
#include <functional>

#include "panel/store/PanelStore.h"
#include "platform/applist/ALApplicationList.h"

namespace kst::panel {

// What every screen needs from outside: the files, the application
// catalogue, the network test of the documentation row, and the system's
// opening of addresses (the browser, the mail program).
struct PanelContext {
  const PanelStore& store;
  applist::ALApplicationList& apps;
  std::function<int()> reachabilityStatus;
  std::function<void(const QUrl&)> openUrl;
  // The documentation page: the one installed in the application's bundle,
  // unless configured otherwise.
  QUrl documentationUrl;

  // The process's files and catalogue, the real network test and desktop services.
  static PanelContext& process();
};

}  // namespace kst::panel
