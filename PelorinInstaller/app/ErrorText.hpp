#pragma once

#include <QString>
#include <exception>
#include <functional>
#include <string_view>

namespace PelorinInstaller {

using TextLookup = std::function<QString(std::string_view key)>;

// The status message for the error that ended a run, chosen by the error's kind.
QString errorMessage(std::exception_ptr error, const TextLookup& text);

}  // namespace PelorinInstaller
