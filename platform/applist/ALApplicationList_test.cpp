#include "platform/applist/ALApplicationList.h"
#include "platform/bundle/DesktopFile.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QSignalSpy>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/plist/PlistFile.h"
#include "platform/testing/TempRoot.h"

namespace kst::applist {
namespace {

class ApplicationCatalogueTest : public ::testing::Test {
 protected:
  kst::testing::TempRoot root;
  std::string desktop = root.dir() + "/xdg";

  void bundle(const std::string& folder, const plist::Dictionary& info) {
    plist::writeDictionaryFile(FileSystem::real(), root.path("/Applications/" + folder + ".app/Info.plist"),
                               info, true);
  }
  void desktopFile(const std::string& rel, const std::string& text) {
    const std::filesystem::path p = desktop + "/applications/" + rel;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p) << text;
  }
};

TEST_F(ApplicationCatalogueTest, BundlesAndDesktopEntriesWithTheirIdentifiers) {
  bundle("Mail", {{"CFBundleIdentifier", "com.example.mail"}, {"CFBundleName", "Mail"}});
  bundle("NoId", {{"CFBundleDisplayName", "Nothing"}});
  bundle("Nameless", {{"CFBundleIdentifier", "com.example.nameless"}});
  desktopFile("org.example.Editor.desktop", "[Desktop Entry]\nType=Application\nName=Editor\nIcon=editor\n");
  desktopFile("kde/viewer.desktop", "[Desktop Entry]\r\nName=Viewer\r\nType=Application\r\n");
  desktopFile("hidden.desktop", "[Desktop Entry]\nType=Application\nName=Hidden\nNoDisplay=true\n");
  desktopFile("link.desktop", "[Desktop Entry]\nType=Link\nName=Link\n");
  desktopFile("junk.desktop", std::string("\x00\xff\x01[", 4));
  ApplicationCatalogue c(root.root(), {desktop});
  const auto all = c.applicationsFilteredUsingPredicate([](std::string_view) { return true; });
  EXPECT_EQ(all, (std::map<std::string, std::string>{{"com.example.mail", "Mail"},
                                                     {"com.example.nameless", ""},
                                                     {"kde-viewer.desktop", "Viewer"},
                                                     {"org.example.Editor.desktop", "Editor"}}));
  // The same id kestrix-launch runs a desktop application under, so the
  // rules made for it in the panel are the rules it is judged by.
  EXPECT_TRUE(isDesktopFileId("kde-viewer.desktop"));
  EXPECT_EQ(desktopFileInFolder(desktop + "/applications", "kde-viewer.desktop"),
            desktop + "/applications/kde/viewer.desktop");
  const auto editor = c.application("org.example.Editor.desktop");
  ASSERT_TRUE(editor);
  EXPECT_TRUE(editor->iconIsThemeName);
  bundle("Late", {{"CFBundleIdentifier", "com.example.late"}});
  EXPECT_EQ(c.count(), 4u) << "scanned once";
  c.rescan();
  EXPECT_EQ(c.count(), 5u);
}

TEST_F(ApplicationCatalogueTest, IconsLoadOnceAreCachedAndAnnouncedOnTheMainThread) {
  bundle("Pic", {{"CFBundleIdentifier", "com.example.pic"}, {"CFBundleIconFile", "art.png"}});
  QImage art(120, 60, QImage::Format_ARGB32);
  art.fill(Qt::red);
  ASSERT_TRUE(art.save(QString::fromStdString(root.path("/Applications/Pic.app/art.png"))));
  bundle("Broken", {{"CFBundleIdentifier", "com.example.broken"}, {"CFBundleIconFile", "bad.png"}});
  std::ofstream(root.path("/Applications/Broken.app/bad.png")) << "not a picture";
  ALApplicationList list(std::make_shared<ApplicationCatalogue>(root.root(), std::vector<std::string>{}));
  QSignalSpy loaded(&list, &ALApplicationList::iconLoaded);
  EXPECT_FALSE(list.hasCachedIconOfSize(29, "com.example.pic"));
  // Loaded on a worker, as the screens do.
  QImage fromWorker;
  std::thread worker([&] { fromWorker = list.iconOfSize(29, "com.example.pic"); });
  worker.join();
  ASSERT_FALSE(fromWorker.isNull());
  EXPECT_LE(fromWorker.width(), 29);
  EXPECT_TRUE(list.hasCachedIconOfSize(29, "com.example.pic"));
  EXPECT_EQ(loaded.count(), 0) << "delivered by the main thread's event loop, not the worker";
  QTRY_COMPARE(loaded.count(), 1);
  EXPECT_EQ(loaded.takeFirst().at(0).toString(), "com.example.pic");
  list.iconOfSize(29, "com.example.pic");
  EXPECT_EQ(list.loadCount(), 1);
  EXPECT_TRUE(list.iconOfSize(29, "com.example.broken").isNull());
  EXPECT_TRUE(list.iconOfSize(29, "com.example.unknown").isNull());
  QTest::qWait(20);
  EXPECT_EQ(loaded.count(), 0) << "nothing announced for icons that did not load";
}

}  // namespace
}  // namespace kst::applist
