#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace InstallerCore {

// A parsed absolute URL. libcurl's parser decides, so the policy and the transfer agree.
class Url {
 public:
  static std::optional<Url> parse(std::string_view);
  Url() = default;  // the empty URL: no components, accepted by nothing

  const std::string& text() const { return text_; }
  std::optional<std::string> scheme() const { return scheme_; }
  std::optional<std::string> host() const { return host_; }
  std::optional<std::string> user() const { return user_; }
  std::optional<std::string> password() const { return password_; }
  std::optional<std::string> fragment() const { return fragment_; }
  std::optional<std::string> query() const { return query_; }
  std::optional<long> port() const { return port_; }  // only when written in the URL
  std::string path() const { return path_; }          // percent-decoded, not normalised
  std::string pathExtension() const;  // after the last "." of the last segment, or ""

  friend bool operator==(const Url& a, const Url& b) { return a.text_ == b.text_; }

 private:
  std::string text_;
  std::optional<std::string> scheme_, host_, user_, password_, fragment_, query_;
  std::optional<long> port_;
  std::string path_;
};

}  // namespace InstallerCore
