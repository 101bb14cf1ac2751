#include "panel/ui/IconLoader.h"

#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>

#include "panel/testing/PanelTesting.h"

namespace kst::panel {
namespace {

class IconLoaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QImage art(40, 40, QImage::Format_ARGB32);
    art.fill(Qt::blue);
    for (int i = 0; i < kApps; ++i) {
      const std::string n = std::to_string(i);
      s.addBundle("A" + n, "com.example.a" + n, "A" + n);
      ASSERT_TRUE(art.save(QString::fromStdString(s.path("/Applications/A" + n + ".app/icon.png"))));
    }
  }
  static constexpr int kApps = 60;
  testing::PanelFixtureState s;
  applist::ALApplicationList list{
      std::make_shared<applist::ApplicationCatalogue>(s.root.root(), std::vector<std::string>{})};
};

TEST_F(IconLoaderTest, EveryRequestedIconLoadsOnceAndIsAnnouncedOnce) {
  QSignalSpy announced(&list, &applist::ALApplicationList::iconLoaded);
  IconLoader loader(list);
  const QImage placeholder(29, 29, QImage::Format_ARGB32);
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < kApps; ++i) {
      const QImage shown = loader.iconFor(QString("com.example.a%1").arg(i), placeholder);
      EXPECT_FALSE(shown.isNull());
    }
  }
  QTRY_COMPARE_WITH_TIMEOUT(announced.count(), kApps, 20000);
  QTRY_VERIFY(!loader.workerRunning());
  EXPECT_EQ(list.loadCount(), kApps) << "asked once per screen, loaded once";
  // Cached now: shown at once, nothing queued.
  EXPECT_NE(loader.iconFor("com.example.a0", placeholder).cacheKey(), placeholder.cacheKey());
  EXPECT_FALSE(loader.workerRunning());
  // A new request after the worker ended starts a new one.
  list.catalogue().rescan();
  loader.request("com.example.unknown");
  QTRY_VERIFY(!loader.workerRunning());
}

TEST_F(IconLoaderTest, AScreenClosedWhileIconsLoadStopsItsWorker) {
  {
    IconLoader loader(list);
    for (int i = 0; i < kApps; ++i) loader.request(QString("com.example.a%1").arg(i));
  }  // the destructor stops and joins the worker
  const int loaded = list.loadCount();
  QTest::qWait(100);
  EXPECT_EQ(list.loadCount(), loaded) << "no load after the screen is gone";
}

}  // namespace
}  // namespace kst::panel
