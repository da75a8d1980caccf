#pragma once

#include <QImage>
#include <QString>
#include <QStringList>
#include <filesystem>
#include <optional>
#include <string_view>

#include "app/resource_bundle_accessor.hpp"

namespace PelorinInstaller::InstallerResources {

inline constexpr std::string_view kBundleName = "PelorinInstaller_PelorinInstaller";

// The resource bundle, found once. Without one the program stops with a message on stderr.
const std::filesystem::path& bundle();

// The localized text for a key; the key itself when the string table lacks it.
QString text(std::string_view key);

// The brand icon, read afresh at every call; none when it is missing or unreadable.
std::optional<QImage> icon();

// The rules behind the three, as functions of folders.

// The resource bundle: first among the main bundle's resources, then in each candidate folder.
std::optional<std::filesystem::path> locate(
    const MainBundle& main, const std::optional<std::filesystem::path>& codeResources);

// The bundle every text comes from: a Simplified Chinese folder whenever the resource bundle
// has one (letter case ignored), otherwise the resource bundle itself.
std::filesystem::path textBundle(const std::filesystem::path& resourceBundle);

// The string table of a text bundle: its localization that best fits the user's languages,
// then English, then a table of the bundle's own.
std::optional<std::filesystem::path> stringTable(const std::filesystem::path& textBundle,
                                                 const QStringList& languages);

std::optional<QImage> iconIn(const std::filesystem::path& resourceBundle);

}  // namespace PelorinInstaller::InstallerResources
