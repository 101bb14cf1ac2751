#include "hook/store/UrlCapture.h"

namespace kst {

std::string UrlCapture::urlForHost(std::string_view host) {
  std::string found(" ");
  urls_.updateShared([&](const std::shared_ptr<const std::vector<std::string>>& urls)
                         -> std::shared_ptr<const std::vector<std::string>> {
    if (!urls) return nullptr;
    const std::string needle = std::string(host) + "/";
    for (auto it = urls->rbegin(); it != urls->rend(); ++it) {
      if (it->find(needle) != std::string::npos) {
        found = *it;
        break;
      }
    }
    if (urls->size() >= 10) return std::make_shared<const std::vector<std::string>>();
    return urls;
  });
  return found;
}

void UrlCapture::append(std::string url, bool createIfMissing) {
  urls_.update([&](const std::vector<std::string>* old) -> std::shared_ptr<const std::vector<std::string>> {
    if (old == nullptr && !createIfMissing) return nullptr;
    std::vector<std::string> urls = old != nullptr ? *old : std::vector<std::string>();
    urls.push_back(std::move(url));
    return std::make_shared<const std::vector<std::string>>(std::move(urls));
  });
}

}  // namespace kst
