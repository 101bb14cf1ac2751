// The settings application's long lists: opening the main list with 1,000
// applications and a rule list with 10,000 rules, and one search keystroke
// in each (target: each under 100 ms). Beside them, the two steps whose
// literal form is quadratic, measured against what the screens use.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QLineEdit>
#include <cstdlib>
#include <filesystem>
#include <unordered_set>

#include "hook/rules/KstFiles.h"
#include "panel/store/KstAppList.h"
#include "panel/store/UserDefaults.h"
#include "panel/ui/KstAppDelegate.h"
#include "panel/ui/KstMainViewController.h"
#include "panel/ui/KstRuleListViewController.h"
#include "platform/plist/PlistFile.h"
#include "platform/testing/TempRoot.h"
#include "platform/uikit/NavigationStack.h"

namespace kst::panel {
namespace {

constexpr int kApps = 1000;
constexpr int kRules = 10000;

// One device with 1,000 installed and listed applications and 10,000 global
// deny rules (every tenth one a duplicate).
struct Device {
  kst::testing::TempRoot root;
  PanelStore store{FileSystem::real(), root.root(), [](std::string_view) {},
                   [] { return plist::Date::now(); }};
  std::shared_ptr<applist::ApplicationCatalogue> catalogue =
      std::make_shared<applist::ApplicationCatalogue>(root.root(), std::vector<std::string>{});
  applist::ALApplicationList apps{catalogue};
  PanelContext context{store, apps, [] { return 1; }, [](const QUrl&) {}, QUrl()};
  std::vector<std::string> ids;

  Device() {
    plist::Dictionary rules{{"150", true}};
    for (int i = 0; i < kApps; ++i) {
      const std::string id = "com.example.app" + std::to_string(i);
      ids.push_back(id);
      plist::writeDictionaryFile(
          FileSystem::real(), root.path("/Applications/App" + std::to_string(i) + ".app/Info.plist"),
          {{"CFBundleIdentifier", id}, {"CFBundleDisplayName", "Application " + std::to_string(i)}}, true);
      rules.appendUnchecked(id, plist::Dictionary{});
    }
    store.writeRules(rules);
    plist::Array deny;
    for (int i = 0; i < kRules; ++i) {
      const int n = i % 10 == 9 ? i - 1 : i;
      deny.emplace_back(plist::Dictionary{{"rule", "host" + std::to_string(n) + ".example.com"},
                                          {"date", plist::Date{static_cast<double>(i)}}});
    }
    store.writeGlobal({{"globalDeny", deny}});
    store.writeFlags({{"showAllowHelp", false}});
    UserDefaults(store).setObject(UserDefaults::kShownIntroductionAlertKey, "asdf");
  }
  static Device& get() {
    static Device* d = new Device;
    return *d;
  }
};

// The window the screens live in.
struct Window {
  QWidget window;
  uikit::NavigationStack* stack = new uikit::NavigationStack(&window);
  Window() {
    window.setFixedSize(320, 480);
    stack->resize(320, 480);
    window.show();
  }
};

// Opening the main list: the screen, the rules file, the catalogue query, the
// sort, and the first paint.
void BM_OpenMainList(benchmark::State& state) {
  Device& d = Device::get();
  const bool cold = state.range(0) != 0;
  for (auto _ : state) {
    if (cold) d.catalogue->rescan();
    Window w;
    auto* main = new KstMainViewController(d.context);
    w.stack->setRoot(main);
    main->loadApps();
    w.window.repaint();
    if (main->apps().appsArray().size() != kApps) state.SkipWithError("wrong list");
  }
}
BENCHMARK(BM_OpenMainList)->Arg(0)->Arg(1)->ArgNames({"rescan"})->Unit(benchmark::kMillisecond)->MinTime(0.5);

void BM_MainListSearchKeystroke(benchmark::State& state) {
  Device& d = Device::get();
  Window w;
  auto* main = new KstMainViewController(d.context);
  w.stack->setRoot(main);
  main->loadApps();
  QLineEdit* search = main->apps().searchBar();
  QString text = "application 1";
  for (auto _ : state) {
    // One keystroke: "application 1" and back, alternately.
    if (search->text() == text) {
      search->backspace();
    } else {
      search->setText(text);
    }
    w.window.repaint();
  }
}
BENCHMARK(BM_MainListSearchKeystroke)->Unit(benchmark::kMillisecond)->MinTime(0.5);

// Opening a rule list: the screen, reading 10,000 rules, dropping the
// duplicates, sorting, and the first paint.
void BM_OpenRuleList(benchmark::State& state) {
  Device& d = Device::get();
  for (auto _ : state) {
    Window w;
    auto* list = KstRuleListViewController::global(d.context, true);
    w.stack->setRoot(list);
    w.window.repaint();
    if (list->rules().rules().size() != kRules - kRules / 10) state.SkipWithError("wrong list");
  }
}
BENCHMARK(BM_OpenRuleList)->Unit(benchmark::kMillisecond)->MinTime(0.5);

void BM_RuleListSearchKeystroke(benchmark::State& state) {
  Device& d = Device::get();
  Window w;
  auto* list = KstRuleListViewController::global(d.context, true);
  w.stack->setRoot(list);
  auto* search = list->findChild<QLineEdit*>("searchField");
  const QString text = "host12";
  for (auto _ : state) {
    if (search->text() == text) {
      search->backspace();
    } else {
      search->setText(text);
    }
    w.window.repaint();
  }
}
BENCHMARK(BM_RuleListSearchKeystroke)->Unit(benchmark::kMillisecond)->MinTime(0.5);

// Before/after: the catalogue query as one comparison per identifier (the
// literal predicate) against the lower-cased set the application uses.
void BM_AppQueryLiteralPredicate(benchmark::State& state) {
  Device& d = Device::get();
  for (auto _ : state) {
    auto found = d.catalogue->applicationsFilteredUsingPredicate([&](std::string_view id) {
      for (const std::string& want : d.ids) {
        if (compareCaseInsensitive(id, want) == 0) return true;
      }
      return compareCaseInsensitive(id, kStocksBundleIdentifier) == 0;
    });
    benchmark::DoNotOptimize(found);
  }
}
BENCHMARK(BM_AppQueryLiteralPredicate)->Unit(benchmark::kMillisecond)->MinTime(0.5);

void BM_AppQuerySet(benchmark::State& state) {
  Device& d = Device::get();
  for (auto _ : state) {
    auto found = KstAppList::applicationsWithBundleIdentifiers(*d.catalogue, d.ids);
    benchmark::DoNotOptimize(found);
  }
}
BENCHMARK(BM_AppQuerySet)->Unit(benchmark::kMillisecond)->MinTime(0.5);

// Before/after: dropping duplicate rules by scanning the list built so far
// against a hash set of the rule texts.
std::vector<std::string> ruleTexts() {
  std::vector<std::string> out;
  for (int i = 0; i < kRules; ++i)
    out.push_back("host" + std::to_string(i % 10 == 9 ? i - 1 : i) + ".example.com");
  return out;
}

void BM_DedupeLinearScan(benchmark::State& state) {
  const auto texts = ruleTexts();
  for (auto _ : state) {
    std::vector<const std::string*> kept;
    for (const std::string& t : texts) {
      bool seen = false;
      for (const std::string* k : kept) seen = seen || *k == t;
      if (!seen) kept.push_back(&t);
    }
    benchmark::DoNotOptimize(kept);
  }
}
BENCHMARK(BM_DedupeLinearScan)->Unit(benchmark::kMillisecond)->MinTime(0.5);

void BM_DedupeHashSet(benchmark::State& state) {
  const auto texts = ruleTexts();
  for (auto _ : state) {
    std::unordered_set<std::string> seen;
    std::vector<const std::string*> kept;
    for (const std::string& t : texts) {
      if (seen.insert(t).second) kept.push_back(&t);
    }
    benchmark::DoNotOptimize(kept);
  }
}
BENCHMARK(BM_DedupeHashSet)->Unit(benchmark::kMillisecond)->MinTime(0.5);

}  // namespace
}  // namespace kst::panel

int main(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
