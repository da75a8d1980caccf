#include "PelorinBase/PlistGuard.hpp"

#include <cstdint>
#include <optional>
#include <vector>

namespace PelorinBase {
namespace {

// Far above real Info.plists, far below what exhausts a thread's stack or the memory.
constexpr std::size_t kMaxXMLContainers = 2000;
constexpr std::size_t kMaxDepth = 256;
constexpr std::uint64_t kMaxNodes = 200000;
constexpr std::uint64_t kMaxObjects = 1 << 16;
constexpr std::size_t kTrailerBytes = 32;

bool isNameCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-' || c == '.' || c == ':';
}

// Every "<array" or "<dict" that could open an element counts, wherever it stands, so nothing
// hidden in comments or declarations can lower the count.
bool xmlIsBounded(std::string_view text) {
  std::size_t containers = 0;
  for (auto at = text.find('<'); at != std::string_view::npos; at = text.find('<', at + 1)) {
    for (std::string_view name : {"array", "dict"}) {
      auto end = at + 1 + name.size();
      if (text.substr(at + 1, name.size()) == name &&
          (end >= text.size() || !isNameCharacter(text[end])) && ++containers > kMaxXMLContainers) {
        return false;
      }
    }
  }
  return true;
}

// A binary property list's object table, read with bounds checks.
class BinaryList {
 public:
  explicit BinaryList(std::string_view bytes) : bytes_(bytes) {}

  bool readTrailer() {
    if (bytes_.size() < 8 + kTrailerBytes) return false;
    auto trailer = bytes_.size() - kTrailerBytes;
    offsetSize_ = std::uint8_t(bytes_[trailer + 6]);
    refSize_ = std::uint8_t(bytes_[trailer + 7]);
    auto objects = number(trailer + 8, 8), top = number(trailer + 16, 8),
         table = number(trailer + 24, 8);
    if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8 || !objects || !top ||
        !table || *objects < 1 || *objects > kMaxObjects || *top >= *objects || *table > trailer ||
        (trailer - *table) / offsetSize_ < *objects) {
      return false;
    }
    objects_ = *objects;
    top_ = *top;
    table_ = *table;
    return true;
  }

  std::uint64_t objects() const { return objects_; }
  std::uint64_t top() const { return top_; }

  // The objects that object `index` refers to (none for scalars); none when malformed.
  std::optional<std::vector<std::uint64_t>> children(std::uint64_t index) const {
    auto offset = number(table_ + index * offsetSize_, offsetSize_);
    if (!offset || *offset >= table_) return std::nullopt;
    auto marker = std::uint8_t(bytes_[*offset]);
    int type = marker >> 4;
    if (type != 0xA && type != 0xC && type != 0xD) return std::vector<std::uint64_t>{};
    std::uint64_t count = marker & 0x0F, at = *offset + 1;
    if (count == 0x0F) {
      if (at >= table_) return std::nullopt;
      auto sizeMarker = std::uint8_t(bytes_[at]);
      if ((sizeMarker >> 4) != 0x1 || (sizeMarker & 0x0F) > 3) return std::nullopt;
      std::size_t width = std::size_t(1) << (sizeMarker & 0x0F);
      auto value = number(at + 1, width);
      if (!value) return std::nullopt;
      count = *value;
      at += 1 + width;
    }
    std::uint64_t perEntry = type == 0xD ? 2 : 1;  // a dictionary lists keys, then values
    if (at > table_ || count > (table_ - at) / refSize_ / perEntry) return std::nullopt;
    count *= perEntry;
    std::vector<std::uint64_t> refs;
    refs.reserve(count);
    for (std::uint64_t i = 0; i < count; ++i) {
      auto ref = number(at + i * refSize_, refSize_);
      if (!ref || *ref >= objects_) return std::nullopt;
      refs.push_back(*ref);
    }
    return refs;
  }

 private:
  // A big-endian number of `width` bytes at `at`; none when it runs past the end.
  std::optional<std::uint64_t> number(std::uint64_t at, std::size_t width) const {
    if (at > bytes_.size() || width > bytes_.size() - at) return std::nullopt;
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) value = (value << 8) | std::uint8_t(bytes_[at + i]);
    return value;
  }

  std::string_view bytes_;
  std::uint8_t offsetSize_ = 0, refSize_ = 0;
  std::uint64_t objects_ = 0, top_ = 0, table_ = 0;
};

// Unfolds the object graph from the top object without recursion: refuses a cycle, a tree deeper
// than kMaxDepth or larger than kMaxNodes.
bool binaryIsBounded(std::string_view bytes) {
  BinaryList list(bytes);
  if (!list.readTrailer()) return false;
  enum class State : std::uint8_t { unseen, open, done };
  std::vector<State> state(list.objects(), State::unseen);
  std::vector<std::uint64_t> nodes(list.objects(), 0), depth(list.objects(), 0);
  struct Frame {
    std::uint64_t object;
    std::vector<std::uint64_t> children;
    std::size_t next = 0;
  };
  std::vector<Frame> stack;
  auto enter = [&](std::uint64_t object) {
    auto children = list.children(object);
    if (!children) return false;
    state[object] = State::open;
    stack.push_back({object, std::move(*children), 0});
    return stack.size() <= kMaxDepth;
  };
  if (!enter(list.top())) return false;
  while (!stack.empty()) {
    auto& frame = stack.back();
    if (frame.next < frame.children.size()) {
      auto child = frame.children[frame.next++];
      if (state[child] == State::open) return false;
      if (state[child] == State::unseen && !enter(child)) return false;
      continue;
    }
    std::uint64_t total = 1, deepest = 0;
    for (auto child : frame.children) {
      total += nodes[child];
      deepest = std::max(deepest, depth[child]);
      if (total > kMaxNodes) return false;
    }
    nodes[frame.object] = total;
    depth[frame.object] = deepest + 1;
    state[frame.object] = State::done;
    stack.pop_back();
  }
  return depth[list.top()] <= kMaxDepth;
}

}  // namespace

bool plistIsBounded(std::string_view bytes) {
  // libplist reads exactly these as binary, everything else as XML.
  if (bytes.starts_with("bplist00")) return binaryIsBounded(bytes);
  return xmlIsBounded(bytes);
}

}  // namespace PelorinBase
