// Feeds the UTF-16 reader of the connection log. Text it reads must encode
// again and read back unchanged; appending a line to a log holding the input
// either refuses (not text) or leaves the old text followed by the line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "platform/fs/Utf16File.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kst;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::optional<std::string> text = utf16::decode(bytes);
  if (text) {
    const auto encoded = utf16::encode(*text);
    if (!encoded) std::abort();  // the reader hands out only valid UTF-8
    const auto again = utf16::decode(*encoded);
    if (!again || *again != *text) std::abort();
  }

  fuzz::MemoryFileSystem fs;
  const std::string path = "/log.txt";
  fs.writeFileAtomic(path, bytes, true);
  constexpr std::string_view kLine = "line\n";
  const utf16::AppendResult result = utf16::appendToFile(fs, path, kLine, false);
  const std::optional<std::string> after = utf16::readFile(fs, path);
  if (text) {
    if (result != utf16::AppendResult::kAppended || !after || *after != *text + std::string(kLine))
      std::abort();
  } else if (result != utf16::AppendResult::kNotText || fs.readFile(path) != std::string(bytes)) {
    std::abort();  // a file that is not text stays as it was
  }
  return 0;
}
