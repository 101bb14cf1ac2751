#pragma once

#include <plist/plist.h>

#include <optional>
#include <utility>

#include "platform/plist/PlistValue.h"

namespace kst::plist {

// Owns one libplist node tree. libplist++ is not used: it copies dictionaries
// into a sorted map (losing the files' key order) and builds dates with a
// setter whose nodes abort the process when read back.
class Node {
 public:
  Node() = default;
  explicit Node(plist_t node) : node_(node) {}
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;
  Node(Node&& other) noexcept : node_(std::exchange(other.node_, nullptr)) {}
  Node& operator=(Node&& other) noexcept {
    if (this != &other) {
      reset();
      node_ = std::exchange(other.node_, nullptr);
    }
    return *this;
  }
  ~Node() { reset(); }

  plist_t get() const { return node_; }
  plist_t release() { return std::exchange(node_, nullptr); }
  explicit operator bool() const { return node_ != nullptr; }

 private:
  void reset() {
    if (node_ != nullptr) plist_free(node_);
    node_ = nullptr;
  }
  plist_t node_ = nullptr;
};

// A libplist tree as our value; nothing for kinds we have no value for.
std::optional<Value> fromNode(plist_t node);
// Our value as a libplist tree (dates clamped to its 32-bit seconds; the
// XML reader and writer take dates around it, see XmlDates.h).
Node toNode(const Value& value);

}  // namespace kst::plist
