#include "app/ErrorText.hpp"

#include <cxxabi.h>

#include <InstallerCore/InstallerError.hpp>
#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <system_error>
#include <typeinfo>

#include "pipeline/CommandError.hpp"
#include "pipeline/NetworkError.hpp"

namespace PelorinInstaller {
namespace {

QString withDetail(const TextLookup& text, std::string_view key, std::string_view kind,
                   long long code) {
  return text(key) + " (" + QString::fromStdString(std::string(kind)) + ": " +
         QString::number(code) + ")";
}

std::string typeName(const std::type_info& type) {
  int status = 0;
  std::unique_ptr<char, decltype(&std::free)> readable(
      abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), &std::free);
  return status == 0 && readable ? readable.get() : type.name();
}

QString systemErrorMessage(const std::error_code& code, const TextLookup& text) {
  const auto& category = code.category();
  if (category == InstallerCore::installerCategory()) {
    const auto name = InstallerCore::name(static_cast<InstallerCore::InstallerError>(code.value()));
    if (name != "unknown") return text("error." + std::string(name));
  } else if (category == networkCategory()) {
    return text(code.value() == kTransferCancelled ? "error.cancelled" : "error.network");
  } else if (code == std::errc::permission_denied || code == std::errc::operation_not_permitted) {
    return text("error.permission");
  }
  return withDetail(text, "error.generic", category.name(), code.value());
}

}  // namespace

QString errorMessage(std::exception_ptr error, const TextLookup& text) {
  if (!error) return withDetail(text, "error.generic", "unknown", 0);
  try {
    std::rethrow_exception(error);
  } catch (const CommandError& failure) {
    return withDetail(text, "error.verification", failure.tool, failure.status);
  } catch (const std::system_error& failure) {
    return systemErrorMessage(failure.code(), text);
  } catch (const nlohmann::json::exception& failure) {
    return withDetail(text, "error.generic", "json", failure.id);
  } catch (const std::exception& failure) {
    return withDetail(text, "error.generic", typeName(typeid(failure)), 0);
  } catch (...) {
    return withDetail(text, "error.generic", "unknown", 0);
  }
}

}  // namespace PelorinInstaller
