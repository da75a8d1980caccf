#include <gtest/gtest.h>

#include <InstallerCore/DownloadResponse.hpp>
#include <InstallerCore/InstallerError.hpp>
#include <optional>
#include <string>

namespace InstallerCore {
namespace {

// "append", "restart" or the error's name.
std::string decide(std::int64_t status, std::optional<std::string_view> range, std::int64_t offset,
                   std::int64_t bytes = 1000) {
  try {
    return DownloadResponse::append(status, range, offset, bytes) ? "append" : "restart";
  } catch (const std::system_error& error) {
    return error.code() == InstallerError::invalidResponse ? "invalidResponse" : "other";
  }
}

TEST(DownloadResponseAppend, DecidesFromStatusAndContentRange) {
  struct Case {
    std::int64_t status;
    std::optional<std::string_view> range;
    std::int64_t offset;
    const char* expected;
  };
  const Case cases[] = {
      {200, std::nullopt, 0, "restart"},
      {200, std::nullopt, 400, "restart"},
      {200, "bytes 400-999/1000", 400, "restart"},
      {200, "garbage", 400, "restart"},
      {206, "bytes 400-999/1000", 400, "append"},
      {206, "bytes 400-998/1000", 400, "invalidResponse"},
      {206, "bytes 400-999/*", 400, "invalidResponse"},
      {206, "bytes 0-999/1000", 400, "invalidResponse"},
      {206, "bytes=400-999/1000", 400, "invalidResponse"},
      {206, "Bytes 400-999/1000", 400, "invalidResponse"},
      {206, "bytes  400-999/1000", 400, "invalidResponse"},
      {206, "bytes 400-999/1000 ", 400, "invalidResponse"},
      {206, "bytes 0400-999/1000", 400, "invalidResponse"},
      {206, "bytes 400-999/1001", 400, "invalidResponse"},
      {206, "", 400, "invalidResponse"},
      {206, std::nullopt, 400, "invalidResponse"},
      {206, "bytes 0-999/1000", 0, "invalidResponse"},
      {206, "bytes 1-999/1000", 1, "append"},
      {206, "bytes 999-999/1000", 999, "append"},
      {416, "bytes */1000", 400, "invalidResponse"},
      {304, std::nullopt, 400, "invalidResponse"},
      {500, std::nullopt, 0, "invalidResponse"},
      {204, std::nullopt, 0, "invalidResponse"},
      {200, std::nullopt, 1000, "restart"},
      {206, "bytes 1000-999/1000", 1000, "append"},
      {206, "bytes -1-999/1000", -1, "invalidResponse"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(decide(c.status, c.range, c.offset), c.expected)
        << c.status << " " << c.range.value_or("(none)") << " at " << c.offset;
  }
}

TEST(DownloadResponseAppend, ExtremeSizesNeverOverflow) {
  EXPECT_EQ(decide(206, "bytes 1-9223372036854775806/9223372036854775807", 1, INT64_MAX), "append");
  EXPECT_EQ(decide(206, "bytes 1--1/0", 1, 0), "invalidResponse");
  EXPECT_EQ(decide(206, "bytes 1-x/y", 1, INT64_MIN), "invalidResponse");
}

}  // namespace
}  // namespace InstallerCore
