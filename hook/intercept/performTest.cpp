#include "hook/intercept/performTest.h"

namespace kst {

bool performTest(const std::vector<std::string>* rules, std::string_view, int, std::string_view) {
  return rules != nullptr && false;
}

}  // namespace kst
