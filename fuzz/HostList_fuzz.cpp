// Feeds the host-list import of the settings application: the text of a
// list file in whatever encoding, then its pieces into the global rules
// file. Every piece is one rule; none holds a blank or a line feed; the
// list grows by exactly the number of pieces.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "hook/rules/KstFiles.h"
#include "panel/store/ImportExport.h"
#include "panel/store/PanelStore.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kst;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::optional<std::string> text = panel::ImportExport::decodeText(bytes);
  std::size_t expected = 0;
  if (text) {
    const auto pieces = panel::ImportExport::hostListPieces(*text);
    for (const std::string& piece : pieces)
      if (piece.find(' ') != std::string::npos || piece.find('\n') != std::string::npos) std::abort();
    if (pieces.size() != static_cast<std::size_t>(std::count(text->begin(), text->end(), '\n')) + 1)
      std::abort();
    expected = pieces.size();
  }

  fuzz::MemoryFileSystem fs;
  const DeviceRoot root("/device");
  const panel::PanelStore store(
      fs, root, [](std::string_view) {}, [] { return plist::Date{0}; });
  const std::string name = "list.txt";
  fs.writeFileAtomic(root.path(std::string(panel::ImportExport::kListsFolder) + name), bytes, true);
  const std::size_t added = panel::ImportExport(store).importHostList(name, size % 2 == 0);
  if (added != expected) std::abort();
  const auto global = store.readGlobal();
  if (!global) std::abort();  // written even when the list could not be read
  const plist::Array* list = global->array(size % 2 == 0 ? files::kGlobalDenyKey : files::kGlobalAllowKey);
  if ((list == nullptr ? 0 : list->size()) != expected) std::abort();
  return 0;
}
