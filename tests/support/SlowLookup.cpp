#include "support/SlowLookup.hpp"

#include <dlfcn.h>
#include <netdb.h>

#include <atomic>
#include <charconv>
#include <string_view>
#include <thread>

static std::atomic<int> started{0}, answered{0};

int PelorinTesting::slowLookupsStarted() { return started; }
int PelorinTesting::slowLookupsAnswered() { return answered; }

extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints,
                           addrinfo** result) {
  using Function = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
  static const auto real = reinterpret_cast<Function>(::dlsym(RTLD_NEXT, "getaddrinfo"));
  if (!real) return EAI_SYSTEM;
  constexpr std::string_view suffix = ".slow-lookup.test";
  std::string_view name(node ? node : "");
  long long milliseconds = 0;
  auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), milliseconds);
  if (!name.ends_with(suffix) || error != std::errc() || end != name.end() - suffix.size()) {
    return real(node, service, hints, result);
  }
  ++started;
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  int status = real("127.0.0.1", service, hints, result);
  ++answered;
  return status;
}
