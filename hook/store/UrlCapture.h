#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "hook/rules/SharedField.h"

namespace kst {

// The URLs the application's requests captured, for the question about a
// host to show the one it was opening. Each change is one step under the
// list's lock, from any thread.
class UrlCapture {
 public:
  std::shared_ptr<const std::vector<std::string>> urls() const { return urls_.get(); }
  void set(std::vector<std::string> urls) {
    urls_.set(std::make_shared<const std::vector<std::string>>(std::move(urls)));
  }
  // Appends a URL; while there is no list (hooks not installed yet) only a
  // caller that may create it does.
  void append(std::string url, bool createIfMissing);
  // The newest URL that contains host + "/", else one blank. Ten or more
  // URLs are emptied after the search.
  std::string urlForHost(std::string_view host);

 private:
  SharedField<std::vector<std::string>> urls_;
};

}  // namespace kst
