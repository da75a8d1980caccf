#include <gtest/gtest.h>
#include <pthread.h>

#include <cstdint>
#include <functional>
#include <string>

#include "checks_test_support.hpp"
#include "pipeline/InfoPlist.hpp"
#include "pipeline/PlistGuard.hpp"

namespace PelorinInstaller {
namespace {

// Runs `body` on a thread with a 512 KiB stack, the size of a secondary thread on macOS.
void onSmallStack(const std::function<void()>& body) {
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, 512 * 1024);
  pthread_t thread;
  auto run = [](void* argument) -> void* {
    (*static_cast<const std::function<void()>*>(argument))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attributes, run, const_cast<std::function<void()>*>(&body)),
            0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attributes);
}

void putBig(std::string& bytes, std::uint64_t value, int width) {
  for (int shift = 8 * (width - 1); shift >= 0; shift -= 8) bytes += char(value >> shift);
}

// A binary property list of arrays: object i refers to the objects `refs(i)` lists.
std::string binaryArrays(std::uint64_t count,
                         const std::function<std::vector<std::uint64_t>(std::uint64_t)>& refs) {
  std::string bytes = "bplist00";
  std::vector<std::uint64_t> offsets;
  for (std::uint64_t i = 0; i < count; ++i) {
    offsets.push_back(bytes.size());
    auto children = refs(i);
    bytes += char(0xA0 | children.size());
    for (auto child : children) putBig(bytes, child, 4);
  }
  auto table = bytes.size();
  for (auto offset : offsets) putBig(bytes, offset, 4);
  bytes += std::string(6, '\0');
  bytes += char(4);
  bytes += char(4);
  putBig(bytes, count, 8);
  putBig(bytes, 0, 8);
  putBig(bytes, table, 8);
  return bytes;
}

std::string nestedXML(int depth, const char* open, const char* close) {
  std::string text = "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>k</key>";
  for (int i = 0; i < depth; ++i) text += open;
  for (int i = 0; i < depth; ++i) text += close;
  return text + "<key>CFBundleIdentifier</key><string>x</string></dict></plist>";
}

TEST(InfoPlist, HostileListsAreRefusedWithoutExhaustingStackOrMemory) {
  struct Case {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"XML nested 60000 deep", nestedXML(60000, "<array>", "</array>")},
      {"XML nested 2001 deep", nestedXML(2001, "<dict>", "</dict>")},
      {"XML nesting hidden behind comments",
       nestedXML(2001, "<!-- </array> --><array>", "</array>")},
      {"binary chain 300 deep", binaryArrays(300,
                                             [](auto i) {
                                               return i < 299 ? std::vector{i + 1}
                                                              : std::vector<std::uint64_t>{};
                                             })},
      {"binary graph unfolding into 2^40 nodes",
       binaryArrays(41,
                    [](auto i) {
                      return i < 40 ? std::vector{i + 1, i + 1} : std::vector<std::uint64_t>{};
                    })},
      {"binary cycle", binaryArrays(2, [](auto i) { return std::vector{1 - i}; })},
      {"binary self-reference",
       binaryArrays(1, [](auto) { return std::vector<std::uint64_t>{0}; })},
      {"binary reference past the table",
       binaryArrays(1, [](auto) { return std::vector<std::uint64_t>{7}; })},
      {"binary trailer only", "bplist00" + std::string(32, '\0')},
      {"binary cut short",
       binaryArrays(3, [](auto) { return std::vector<std::uint64_t>{}; }).substr(0, 30)},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(plistIsBounded(c.bytes)) << c.name;
    onSmallStack([&] { EXPECT_FALSE(InfoPlist::parse(c.bytes)) << c.name; });
  }
}

TEST(InfoPlist, OrdinaryListsAreRead) {
  std::string manyDictionaries;
  for (int i = 0; i < 500; ++i) manyDictionaries += "<dict><key>n</key><string>v</string></dict>";
  struct Case {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"XML", plistXML({{"CFBundleIdentifier", "x"}})},
      {"XML with 500 dictionaries in an array",
       plistXML({{"CFBundleIdentifier", "x"}},
                "<key>list</key><array>" + manyDictionaries + "</array>")},
      {"XML nested 100 deep", nestedXML(100, "<array>", "</array>")},
      {"binary graph sharing an object",
       binaryArrays(
           3,
           [](auto i) {
             return i == 0 ? std::vector<std::uint64_t>{1, 2, 2} : std::vector<std::uint64_t>{};
           })},
  };
  for (const auto& c : cases) {
    EXPECT_TRUE(plistIsBounded(c.bytes)) << c.name;
    onSmallStack([&] {
      auto plist = InfoPlist::parse(c.bytes);
      if (std::string(c.name).starts_with("binary")) {
        EXPECT_FALSE(plist) << c.name << ": the top object is an array";
      } else {
        ASSERT_TRUE(plist) << c.name;
        EXPECT_EQ(plist->string("CFBundleIdentifier"), "x") << c.name;
      }
    });
  }
}

}  // namespace
}  // namespace PelorinInstaller
