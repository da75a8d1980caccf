#pragma once

#include <InstallerCore/InstallerError.hpp>
#include <functional>
#include <map>
#include <string>
#include <system_error>

#include "TestSupport.hpp"
#include "pipeline/CommandError.hpp"

namespace PelorinInstaller {

// How an action ended, as one word for tables of cases: "ok", an InstallerError's name,
// "TOOL STATUS" for a CommandError, or "file ERRNO" for a file-system error.
inline std::string outcome(const std::function<void()>& action) {
  try {
    action();
    return "ok";
  } catch (const CommandError& error) {
    return error.tool + " " + std::to_string(error.status);
  } catch (const std::filesystem::filesystem_error& error) {
    return "file " + std::to_string(error.code().value());
  } catch (const std::system_error& error) {
    if (error.code().category() == InstallerCore::installerCategory()) {
      return std::string(InstallerCore::name(InstallerCore::InstallerError(error.code().value())));
    }
    return std::string("system ") + error.what();
  }
}

// An XML property list holding the given string keys and, verbatim, `extra` dictionary members.
inline std::string plistXML(const std::map<std::string, std::string>& strings,
                            const std::string& extra = "") {
  std::string text =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
      "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n<plist version=\"1.0\">\n<dict>\n";
  for (const auto& [key, value] : strings) {
    text += "<key>" + key + "</key><string>" + value + "</string>\n";
  }
  return text + extra + "</dict>\n</plist>\n";
}

}  // namespace PelorinInstaller
