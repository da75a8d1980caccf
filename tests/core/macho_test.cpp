#include <gtest/gtest.h>

#include <InstallerCore/MachO.hpp>
#include <cstdint>
#include <vector>

namespace InstallerCore {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::uint32_t kArm64 = 0x0100000C, kX86_64 = 0x01000007, kArm32 = 0x0000000C;

void put(Bytes& bytes, std::uint32_t value, bool bigEndian) {
  for (int i = 0; i < 4; ++i) {
    int shift = bigEndian ? 24 - 8 * i : 8 * i;
    bytes.push_back(static_cast<std::uint8_t>(value >> shift));
  }
}

Bytes thin(std::uint32_t magicBigEndian, std::uint32_t cpu, bool bigEndian, std::size_t size = 32) {
  Bytes bytes;
  put(bytes, magicBigEndian, true);
  put(bytes, cpu, bigEndian);
  bytes.resize(size, 0);
  return bytes;
}

// A universal header; `count` may differ from the number of CPU types written.
Bytes fat(std::uint32_t magicBigEndian, std::uint32_t count, std::vector<std::uint32_t> cpus,
          std::size_t entrySize, bool bigEndian) {
  Bytes bytes;
  put(bytes, magicBigEndian, true);
  put(bytes, count, bigEndian);
  for (auto cpu : cpus) {
    put(bytes, cpu, bigEndian);
    bytes.resize(bytes.size() + entrySize - 4, 0xAB);
  }
  return bytes;
}

TEST(MachOSupports, ThinHeaders) {
  struct Case {
    const char* what;
    Bytes header;
    bool arm64, x64;
  };
  const Case cases[] = {
      {"little-endian arm64", thin(0xCFFAEDFE, kArm64, false), true, false},
      {"little-endian x86-64", thin(0xCFFAEDFE, kX86_64, false), false, true},
      {"big-endian arm64", thin(0xFEEDFACF, kArm64, true), true, false},
      {"arm64 written in the wrong order", thin(0xCFFAEDFE, kArm64, true), false, false},
      {"8 bytes are enough", thin(0xCFFAEDFE, kArm64, false, 8), true, false},
      {"7 bytes are not", thin(0xCFFAEDFE, kArm64, false, 7), false, false},
      {"32-bit thin", thin(0xCEFAEDFE, kArm64, false), false, false},
      {"32-bit thin big-endian", thin(0xFEEDFACE, kArm64, true), false, false},
      {"32-bit arm cpu", thin(0xCFFAEDFE, kArm32, false), false, false},
      {"not Mach-O", thin(0x7F454C46, kArm64, false), false, false},
      {"empty", Bytes{}, false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MachO::supports("arm64", c.header), c.arm64) << c.what;
    EXPECT_EQ(MachO::supports("x64", c.header), c.x64) << c.what;
    for (auto other : {"ARM64", "arm64e", "x86_64", "", "arm"}) {
      EXPECT_FALSE(MachO::supports(other, c.header)) << c.what << " as " << other;
    }
  }
}

TEST(MachOSupports, UniversalHeaders) {
  struct Case {
    const char* what;
    Bytes header;
    bool arm64, x64;
  };
  std::vector<std::uint32_t> many(32, kX86_64);
  many.back() = kArm64;
  std::vector<std::uint32_t> tooMany(33, kArm64);
  const Case cases[] = {
      {"x86-64 then arm64", fat(0xCAFEBABE, 2, {kX86_64, kArm64}, 20, true), true, true},
      {"arm64 then x86-64", fat(0xCAFEBABE, 2, {kArm64, kX86_64}, 20, true), true, true},
      {"arm64e subtype counts", fat(0xCAFEBABE, 1, {kArm64}, 20, true), true, false},
      {"64-bit entries", fat(0xCAFEBABF, 2, {kX86_64, kArm64}, 32, true), true, true},
      {"byte-swapped", fat(0xBEBAFECA, 2, {kX86_64, kArm64}, 20, false), true, true},
      {"byte-swapped 64-bit", fat(0xBFBAFECA, 2, {kX86_64, kArm64}, 32, false), true, true},
      {"wrong entry size", fat(0xCAFEBABE, 2, {kX86_64, kArm64}, 32, true), false, true},
      {"zero entries", fat(0xCAFEBABE, 0, {kArm64}, 20, true), false, false},
      {"33 entries", fat(0xCAFEBABE, 33, tooMany, 20, true), false, false},
      {"32 entries, last arm64", fat(0xCAFEBABF, 32, many, 32, true), true, true},
      {"count past the bytes", fat(0xCAFEBABE, 2, {kX86_64}, 20, true), false, true},
      {"count as huge", fat(0xCAFEBABE, 0xFFFFFFFF, {kArm64}, 20, true), false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MachO::supports("arm64", c.header), c.arm64) << c.what;
    EXPECT_EQ(MachO::supports("x64", c.header), c.x64) << c.what;
  }
}

TEST(MachOSupports, CutOffEntriesAreSkipped) {
  // Two entries announced; the header ends right after the first entry's CPU type.
  auto header = fat(0xCAFEBABE, 2, {kArm64, kX86_64}, 20, true);
  header.resize(12);
  EXPECT_TRUE(MachO::supports("arm64", header));
  EXPECT_FALSE(MachO::supports("x64", header));
  // Second CPU type cut in the middle.
  header = fat(0xCAFEBABE, 2, {kX86_64, kArm64}, 20, true);
  header.resize(8 + 20 + 3);
  EXPECT_FALSE(MachO::supports("arm64", header));
  EXPECT_TRUE(MachO::supports("x64", header));
}

}  // namespace
}  // namespace InstallerCore
