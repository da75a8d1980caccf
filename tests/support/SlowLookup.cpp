#include "support/SlowLookup.hpp"

#include <dlfcn.h>
#include <netdb.h>

#include <atomic>
#include <charconv>
#include <string_view>
#include <thread>

namespace PelorinTesting {
namespace {

constexpr std::string_view kSuffix = ".slow-lookup.test";

std::atomic<int> started{0};
std::atomic<int> answered{0};

// The delay that `name` asks for, or none when it is not a slow-lookup name.
bool delayOf(const char* name, std::chrono::milliseconds& delay) {
  if (!name) return false;
  std::string_view text(name);
  if (!text.ends_with(kSuffix)) return false;
  text.remove_suffix(kSuffix.size());
  long long milliseconds = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), milliseconds);
  if (error != std::errc() || end != text.data() + text.size()) return false;
  delay = std::chrono::milliseconds(milliseconds);
  return true;
}

}  // namespace

int slowLookupsStarted() { return started; }
int slowLookupsAnswered() { return answered; }

}  // namespace PelorinTesting

extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints,
                           addrinfo** result) {
  using Function = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
  static const auto real = reinterpret_cast<Function>(::dlsym(RTLD_NEXT, "getaddrinfo"));
  if (!real) return EAI_SYSTEM;
  std::chrono::milliseconds delay{};
  if (!PelorinTesting::delayOf(node, delay)) return real(node, service, hints, result);
  ++PelorinTesting::started;
  std::this_thread::sleep_for(delay);
  int status = real("127.0.0.1", service, hints, result);
  ++PelorinTesting::answered;
  return status;
}
