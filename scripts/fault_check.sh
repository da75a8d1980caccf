#!/usr/bin/env bash
# Measures the test suite's strength: applies a fixed list of plausible faults to the product
# code one at a time, in a copy of the tracked files (build-faults/tree), rebuilds incrementally,
# runs the test programs of the module each fault touches and reports which faults no test
# caught. It measures and does not judge: the exit status is 0 whatever was missed.
#
#   scripts/fault_check.sh                 every fault (about twelve minutes on two cores)
#   scripts/fault_check.sh --only ID[,ID]  some of them
#   scripts/fault_check.sh --list          the faults, and whether each still applies
#
# A fault whose text no longer occurs exactly once is "stale" (the code moved: fix the list);
# one that does not compile is "did not build" (fix the list too). A fault no program failed on
# while some test skipped is "not run": the skipped test may be the one that guards it (the
# reasons follow). FAULT_TIMEOUT (seconds, 600)
# bounds each test program; a program that runs out of time counts as having caught the fault.
# The programs must pass on the unchanged tree first. Each fault's build and test output is kept
# in build-faults/logs/ID.log.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
work=$repo/build-faults
tree=$work/tree
build=$work/build
logs=$work/logs
timeout_seconds=${FAULT_TIMEOUT:-600}

ids=() files=() programs=() finds=() replacements=()

# fault ID FILE "TEST PROGRAMS" FIND REPLACEMENT
fault() {
  ids+=("$1") files+=("$2") programs+=("$3") finds+=("$4") replacements+=("$5")
}

# --- core rules ----------------------------------------------------------------------------
fault version-label-count core/src/Version.cpp core_tests \
  'return x.size() < y.size();' \
  'return x.size() > y.size();'
fault version-numeric-label core/src/Version.cpp core_tests \
  'if (nx || ny) return nx.has_value();' \
  'if (nx || ny) return ny.has_value();'
fault manifest-size-limit core/src/ReleaseManifest.cpp core_tests \
  'if (bytes.size() > kMaxDocumentBytes)' \
  'if (bytes.size() > kMaxDocumentBytes + 1)'
fault manifest-schema core/src/ReleaseManifest.cpp core_tests \
  'manifest.schemaVersion != 1' \
  'manifest.schemaVersion < 1'
fault manifest-digest-length core/src/ReleaseManifest.cpp core_tests \
  'if (digest.size() != 64) return false;' \
  'if (digest.size() < 64) return false;'
fault manifest-bundle-id core/src/ReleaseManifest.cpp core_tests \
  'manifest.bundleID != Distribution::bundleID ||' \
  'manifest.bundleID.empty() ||'
fault manifest-artifact-max core/src/ReleaseManifest.cpp core_tests \
  'artifact.bytes <= kMaxArtifactBytes' \
  'artifact.bytes < kMaxArtifactBytes'
fault manifest-minimum-system core/src/ReleaseManifest.cpp core_tests \
  'if (!running || *running < *minimum)' \
  'if (!running || *minimum < *running)'
fault response-range-end core/src/DownloadResponse.cpp core_tests \
  'std::to_string(bytes - 1)' \
  'std::to_string(bytes)'
fault response-offset-zero core/src/DownloadResponse.cpp core_tests \
  'offset >= 1 &&' \
  'offset >= 0 &&'
fault macho-cpu-type core/include/InstallerCore/MachOFormat.hpp core_tests \
  'kCpuArm64 = 0x0100000C' \
  'kCpuArm64 = 0x0000000C'
fault macho-byte-order core/src/MachO.cpp core_tests \
  'magic == kMagic64 ? Order::big : Order::little' \
  'magic == kCigam64 ? Order::big : Order::little'
fault transaction-placement core/src/InstallTransaction.cpp core_tests \
  'standardized(withoutLastComponent(withoutLastComponent(staged)))' \
  'standardized(withoutLastComponent(staged))'
fault transaction-replace-flag core/src/InstallTransaction.cpp core_tests \
  'destination.c_str(), replacing)' \
  'destination.c_str(), replacing || true)'
fault url-policy-fragment core/src/Distribution.cpp core_tests \
  '!url.password() && !url.fragment()' \
  '!url.password()'
fault url-policy-port core/src/Distribution.cpp core_tests \
  'url.port() == 443' \
  'url.port() != 80'

# --- the downloader ------------------------------------------------------------------------
fault download-status PelorinInstaller/pipeline/transfer/Response.cpp pipeline_tests \
  '} else if (status != 200 || announced > transfer::kSizeCap) {' \
  '} else if (announced > transfer::kSizeCap) {'
fault download-resume-offset PelorinInstaller/pipeline/transfer/Request.cpp pipeline_tests \
  '"Range: bytes=" + std::to_string(offset) + "-"' \
  '"Range: bytes=" + std::to_string(offset + 1) + "-"'
fault download-size-cap PelorinInstaller/pipeline/transfer/Transfer.hpp pipeline_tests \
  'kSizeCap = 1'\''048'\''576;' \
  'kSizeCap = 1'\''048'\''577;'
fault download-accept-encoding PelorinInstaller/pipeline/transfer/Request.cpp pipeline_tests \
  '"Accept-Encoding: identity"' \
  '"Accept-Encoding: gzip"'
fault download-redirect-policy PelorinInstaller/pipeline/transfer/Response.cpp pipeline_tests \
  'if (!target || !InstallerCore::Distribution::accepts(*target)) {' \
  'if (!target) {'
fault download-redirect-limit PelorinInstaller/pipeline/transfer/Loop.cpp pipeline_tests \
  'if (redirects == transfer::kRedirectLimit)' \
  'if (redirects > transfer::kRedirectLimit)'
fault download-length-check PelorinInstaller/pipeline/transfer/Response.cpp pipeline_tests \
  'announced != *owner.expectedBytes_ - offset' \
  'announced != *owner.expectedBytes_'
fault download-larger-file-kept PelorinInstaller/pipeline/Downloader.cpp pipeline_tests \
  'if (!expectedBytes_ || *expectedBytes_ < offset) {' \
  'if (!expectedBytes_) {'
fault download-failed-file-kept PelorinInstaller/pipeline/transfer/Loop.cpp pipeline_tests \
  '    std::filesystem::remove(owner.file_, ignored);
    std::rethrow_exception(failure);' \
  '    (void)ignored;
    std::rethrow_exception(failure);'
fault download-digest-byte-skipped PelorinInstaller/pipeline/transfer/Writer.cpp pipeline_tests \
  'got = ::pread(file.get(), buffer.data(), length, at);' \
  'got = ::pread(file.get(), buffer.data(), length, at + 1);'
fault proxy-lookup-request-limit PelorinInstaller/pipeline/transfer/Loop.cpp pipeline_tests \
  'transfer::Clock::now() + owner.settings_.proxyTimeout' \
  'transfer::Clock::now() + owner.settings_.requestTimeout'
fault proxy-unusable-goes-direct PelorinInstaller/pipeline/transfer/Loop.cpp pipeline_tests \
  'if (!answer->proxy || answer->proxy->kind == Proxy::Kind::unusable) {' \
  'if (answer->proxy && answer->proxy->kind == Proxy::Kind::unusable) answer->proxy = Proxy{};
        if (!answer->proxy) {'
fault proxy-https-as-http PelorinInstaller/pipeline/transfer/Request.cpp pipeline_tests \
  'proxy.kind == Kind::https         ? "https://"' \
  'proxy.kind == Kind::https         ? "http://"'
fault driver-connection-per-transfer PelorinInstaller/pipeline/Installer.cpp pipeline_tests \
  '  if (!transfer.connections) transfer.connections = makeConnectionCache();
' \
  ''

# --- the install driver --------------------------------------------------------------------
fault driver-image-kept-after-mismatch PelorinInstaller/pipeline/Installer.cpp pipeline_tests \
  '    removeIgnoringErrors(image);
    throw std::system_error(InstallerError::damagedDownload);' \
  '    throw std::system_error(InstallerError::damagedDownload);'
fault driver-free-space PelorinInstaller/pipeline/Installer.cpp pipeline_tests \
  '*available < artifact.bytes * 5 + kSpareSpace' \
  '*available <= artifact.bytes * 5 + kSpareSpace'
fault driver-stale-mounts-before-lock PelorinInstaller/pipeline/Installer.cpp pipeline_tests \
  '  InstallLock lock(support / "install.lock");
  report(Phase::preparing, std::nullopt);
  removeStaleMountPoints(host_, support);' \
  '  removeStaleMountPoints(host_, support);
  InstallLock lock(support / "install.lock");
  report(Phase::preparing, std::nullopt);'
fault driver-staged-copy-unverified PelorinInstaller/pipeline/Installer.cpp pipeline_tests \
  '    verify(host_, staged, manifest.version, "arm64", {}, stop);
' \
  ''
fault driver-token-before-commit PelorinInstaller/pipeline/Installer.cpp pipeline_tests \
  '  cancellation_->check();

  InstallerCore::InstallTransaction::commit(' \
  '  InstallerCore::InstallTransaction::commit('
fault driver-running-before-commit PelorinInstaller/pipeline/Installer.cpp pipeline_tests \
  'auto replaced = checkedExisting(destination, manifest.version);
  if (host_.isRunning(Distribution::bundleID)) {' \
  'auto replaced = checkedExisting(destination, manifest.version);
  if (false) {'
fault driver-existing-swapped PelorinInstaller/pipeline/Installer.cpp pipeline_tests \
  'if (checked != before) throw' \
  'if (checked != before && false) throw'
fault driver-lock-inherited PelorinInstaller/pipeline/Installer.cpp pipeline_tests \
  'kFlags = O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC;' \
  'kFlags = O_RDWR | O_CREAT | O_NOFOLLOW;'
fault driver-staging-record-ignored PelorinInstaller/pipeline/Installer.cpp pipeline_tests \
  '    StagingFolder::removeRecorded(support / kStagingRecord,
                                  {host_.systemApplications, host_.userApplications});
' \
  ''
fault driver-foreign-support-folder PelorinInstaller/pipeline/Folders.cpp pipeline_tests \
  '  if (info.st_uid != ::geteuid() || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) throw refused();
' \
  ''
fault driver-support-made-below-a-stranger PelorinInstaller/pipeline/Folders.cpp pipeline_tests \
  '    if (info.st_uid != ::geteuid()) throw refused();
' \
  ''
fault driver-support-by-name PelorinInstaller/pipeline/Installer.cpp pipeline_tests \
  'const fs::path& support = supportFolder.path();' \
  'const fs::path& support = host_.supportFolder;'
fault driver-other-images-kept PelorinInstaller/pipeline/Installer.cpp pipeline_tests \
  'if (isImageName(name) && name != current' \
  'if (isImageName(name + "/") && name != current'
fault driver-current-image-removed PelorinInstaller/pipeline/Installer.cpp pipeline_tests \
  'isImageName(name) && name != current &&' \
  'isImageName(name) && name != current + "/" &&'
fault driver-mount-point-kept base/src/ScopedFolder.cpp "pipeline_tests base_tests" \
  '    ::rmdir(path_.c_str());
    return;' \
  '    return;'
fault driver-conflict-not-abandoned PelorinInstaller/pipeline/Installer.cpp pipeline_tests \
  '    staging->abandon();
' \
  ''
fault driver-unreadable-copy-conflict PelorinInstaller/pipeline/Installer.cpp pipeline_tests \
  'if (removal == Folders::Removal::anotherItem) {' \
  'if (removal != Folders::Removal::removed) {'
fault driver-detach-not-retried PelorinInstaller/pipeline/Attachment.cpp pipeline_tests \
  'for (int attempt = 0; attempt < 2; ++attempt) {' \
  'for (int attempt = 0; attempt < 1; ++attempt) {'

# --- checks, folders, staging record, tools ------------------------------------------------
fault checks-downgrade-flipped PelorinInstaller/pipeline/Checks.cpp pipeline_tests \
  'if (*offered < *installed) refuse(InstallerError::downgrade);' \
  'if (*installed < *offered) refuse(InstallerError::downgrade);'
fault checks-existing-link PelorinInstaller/pipeline/Checks.cpp pipeline_tests \
  '  if (!somethingAt(app)) return;
  if (isSymbolicLink(app)) refuse(InstallerError::wrongApplication);' \
  '  if (!somethingAt(app)) return;'
fault checks-destination-fallback PelorinInstaller/pipeline/Checks.cpp pipeline_tests \
  'if (writableFolder(host.systemApplications)) {' \
  'if (visiblyAt(host.systemApplications)) {'
fault checks-verify-no-spctl PelorinInstaller/pipeline/Checks.cpp pipeline_tests \
  '         Command::run(host.tools.spctl, {"--assess", "--type", "execute", path}, host.commandLimits,
                      stopping);' \
  '         (void)stopping;'
fault checks-minimum-system PelorinInstaller/pipeline/Checks.cpp pipeline_tests \
  'if (!running || *running < *required)' \
  'if (!running || *required < *running)'
fault checks-minimum-two-parts PelorinInstaller/pipeline/Checks.cpp pipeline_tests \
  'components == 2 ? *minimum + ".0" : *minimum' \
  'components == 3 ? *minimum + ".0" : *minimum'
fault checks-first-ended-failure PelorinInstaller/pipeline/Checks.cpp pipeline_tests \
  'if (failed < running) return' \
  'if (failed != states.end()) return'
fault checks-tools-run-on PelorinInstaller/pipeline/Checks.cpp pipeline_tests \
  'if (decision != count) stop.cancel();' \
  'if (!decision) stop.cancel();'
fault driver-cancel-misses-tools PelorinInstaller/pipeline/Installer.cpp pipeline_tests \
  '    token_.attach(std::move(stop));' \
  '    (void)stop;'
fault folders-identity PelorinInstaller/pipeline/Folders.cpp pipeline_tests \
  'if (Identity{info.st_dev, info.st_ino} != expected) return Removal::anotherItem;' \
  'if (Identity{info.st_dev, info.st_ino} != expected && false) return Removal::anotherItem;'
fault staging-record-kept PelorinInstaller/pipeline/StagingFolder.cpp pipeline_tests \
  '  std::erase_if(entries, [this](const Entry& entry) { return entry.folder == folder_; });' \
  ''
fault staging-record-anywhere PelorinInstaller/pipeline/StagingFolder.cpp pipeline_tests \
  '  if (!placed) return true;' \
  '  (void)placed;'
fault staging-record-dropped-while-there PelorinInstaller/pipeline/StagingFolder.cpp pipeline_tests \
  '  return gone(entry.folder, *entry.identity);' \
  '  return true;'
fault staging-record-written-in-place PelorinInstaller/pipeline/StagingFolder.cpp pipeline_tests \
  'return PelorinBase::replaceFile(record, text(entries), S_IRUSR | S_IWUSR);' \
  'return PelorinBase::writeFile(record, text(entries), S_IRUSR | S_IWUSR);'
fault staging-record-foreign-kept PelorinInstaller/pipeline/StagingFolder.cpp pipeline_tests \
  '    if (::unlink(record.c_str()) != 0 && errno != ENOENT) ::rmdir(record.c_str());
    return {};' \
  '    return {};'
fault command-timeout-status PelorinInstaller/pipeline/Command.cpp pipeline_tests \
  'kTimedOutStatus = 60;' \
  'kTimedOutStatus = 59;'
fault command-tool-name PelorinInstaller/pipeline/Command.cpp pipeline_tests \
  'std::string tool = std::filesystem::path(path).filename().string();' \
  'std::string tool = path;'
fault command-no-grace base/src/Process.cpp "pipeline_tests base_tests" \
  '::kill(pid, SIGTERM);' \
  '::kill(pid, SIGKILL);'
fault launch-no-parent-death base/src/process_linux.cpp pipeline_tests \
  '  if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) fail(child, errno);
' \
  ''

# --- the stand-ins -------------------------------------------------------------------------
fault seal-link-outside standins/seal/Seal.cpp standins_tests \
  'entry.type == Entry::Type::link && !resolvesInside(entries, name)' \
  'entry.type == Entry::Type::link && !resolvesInside(entries, name) && false'
fault seal-link-above-bundle standins/seal/Seal.cpp standins_tests \
  'if (at.empty()) return false;' \
  'if (at.empty()) continue;'
fault codesign-requirement-team standins/codesign.cpp standins_tests \
  'identity.identifier != requirement->identifier || identity.team != requirement->team' \
  'identity.identifier != requirement->identifier'
fault spctl-no-stamp standins/spctl.cpp standins_tests \
  'if (!PelorinSeal::verify(arguments[3], StandIn::anchorKey()).assessed) {' \
  'if (!PelorinSeal::verify(arguments[3], StandIn::anchorKey()).assessed && false) {'
fault ditto-special-bits standins/ditto.cpp standins_tests \
  'chmod(to.c_str(), info.st_mode & 07777)' \
  'chmod(to.c_str(), info.st_mode & 0777)'
fault ditto-failed-copy-kept standins/ditto.cpp standins_tests \
  '    fs::remove_all(to, ignored);
' \
  ''

# --- the release tool ----------------------------------------------------------------------
fault release-minimum-system release/Release.cpp release_tests \
  '{"minimumSystemVersion", minimumSystemVersion},' \
  '{"minimumSystemVersion", "12.0.0"},'
fault release-artifact-bytes release/Release.cpp release_tests \
  'std::int64_t(fs::file_size(image))}' \
  'std::int64_t(fs::file_size(image)) + 1}'
fault release-artifact-url release/Release.cpp release_tests \
  '+ "/app-" +' \
  '+ "/app_" +'
fault release-manifest-first release/Release.cpp release_tests \
  '  for (const auto& [arch, image] : publication.images) {
    if (kept.contains(arch)) continue;
    const auto built = work.path() / imageName(arch);
    placeFile(releaseFolder.get(), imageName(arch), image,
              [&](int output) { return copyFile(built, output); });
  }
  syncFolder(releaseFolder.get(), options.webRoot / release);
  const auto manifestFolder = folderBelow(options.webRoot, manifest.parent_path());
  placeFile(manifestFolder.get(), manifest.filename(), publication.manifest,
            [&](int output) { return PelorinBase::writeAll(output, text); });
  syncFolder(manifestFolder.get(), publication.manifest.parent_path());
' \
  '  const auto manifestFolder = folderBelow(options.webRoot, manifest.parent_path());
  placeFile(manifestFolder.get(), manifest.filename(), publication.manifest,
            [&](int output) { return PelorinBase::writeAll(output, text); });
  syncFolder(manifestFolder.get(), publication.manifest.parent_path());
  for (const auto& [arch, image] : publication.images) {
    if (kept.contains(arch)) continue;
    const auto built = work.path() / imageName(arch);
    placeFile(releaseFolder.get(), imageName(arch), image,
              [&](int output) { return copyFile(built, output); });
  }
  syncFolder(releaseFolder.get(), options.webRoot / release);
'
fault release-image-unsynced release/Release.cpp release_tests \
  '::fsync(output.get()) == 0 && output.close()' \
  'output.close()'
fault release-folder-unsynced release/Release.cpp release_tests \
  '  syncFolder(releaseFolder.get(), options.webRoot / release);
' \
  ''
fault release-modes-from-umask release/Release.cpp release_tests \
  'if (fs::is_symlink(status)) continue;' \
  'if (fs::is_symlink(status) || fs::is_directory(status)) continue;'
fault release-folder-link-followed release/Release.cpp release_tests \
  'O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;' \
  'O_RDONLY | O_DIRECTORY | O_CLOEXEC;'
fault release-republished-bytes release/Release.cpp release_tests \
  'PelorinBase::sha256(image.get(), path) != artifact.sha256)' \
  'PelorinBase::sha256(image.get(), path).empty())'
fault release-link-in-web-root release/Release.cpp release_tests \
  '  refuseLinks(options.webRoot, manifest);
' \
  ''
fault release-version-leading-zero release/Release.cpp release_tests \
  "if (piece.size() > 1 && piece[0] == '0' &&" \
  "if (piece.size() > 2 && piece[0] == '0' &&"
fault release-interrupt-misses-folders base/src/ScopedFolder.cpp release_tests \
  '  registry().folders.insert(path_);' \
  ''
fault check-refused-redirect-key release/HostCheck.cpp release_tests \
  'return failed(name, "error.invalidResponse", what);' \
  'return failed(name, "error.invalidURL", what);'
fault check-no-verification release/HostCheck.cpp release_tests \
  'if (options.full && options.tools) {' \
  'if (options.full && options.tools && false) {'
fault anchor-key-unchecked cmake/anchor_key.cmake standins_tests \
  'function(pelorin_check_anchor_key file)
' \
  'function(pelorin_check_anchor_key file)
  return()
'
# shellcheck disable=SC2016 # CMake's variables, in the text of a CMake file
fault anchor-key-copied-before-its-check CMakeLists.txt standins_tests \
  '  include(cmake/anchor_key.cmake)
' \
  '  file(COPY "${PELORIN_ANCHOR_KEY}" DESTINATION "${CMAKE_BINARY_DIR}/keys")
  include(cmake/anchor_key.cmake)
'
fault selfcheck-unusable-anchor-passes PelorinInstaller/app/SelfCheck.cpp app_tests \
  '      unusable.push_back(file.string() + " " + *fault);' \
  '      (void)fault;'

# --- the release tool's command line ------------------------------------------------------
fault release-usage-status release/main.cpp release_tests \
  '    return 2;
  } catch (const OptionError& error) {' \
  '    return 1;
  } catch (const OptionError& error) {'

# --- the system version, base's files, the package ----------------------------------------
fault system-version-darwin-alone core/src/SystemRelease.cpp "core_tests pipeline_tests" \
  'auto product = numbers(productVersion);' \
  'auto product = numbers(productVersion.substr(productVersion.size()));'
fault files-read-through-link base/src/Files.cpp base_tests \
  '(links == Links::refuse ? O_NOFOLLOW : 0)' \
  '(links == Links::refuse ? 0 : 0)'
fault files-partial-folder-kept base/src/Files.cpp "base_tests release_tests pipeline_tests" \
  '  if (::unlink(partial.c_str()) != 0 && errno != ENOENT) ::rmdir(partial.c_str());  // a folder
' \
  ''
fault files-hash-drops-short-chunk base/src/Files.cpp "base_tests pipeline_tests" \
  '    if (got == 0) break;
    digest.update(' \
  '    if (got < static_cast<ssize_t>(chunk.size())) break;
    digest.update('
# shellcheck disable=SC2016 # CMake's variable, in the text of a CMake file
fault package-lists-opt packaging/own_folder_only.cmake install_tests \
  'list(REMOVE_ITEM entries "" ${parents})' \
  'list(REMOVE_ITEM entries "")'

# --- the window ----------------------------------------------------------------------------
fault window-retry-hidden PelorinInstaller/app/AppDelegate.cpp app_tests \
  '  action_->setEnabled(true);
  action_->show();' \
  '  action_->setEnabled(true);'
fault window-quit-while-working PelorinInstaller/app/AppDelegate.cpp app_tests \
  'if (!working_) return true;' \
  'if (!working_ || true) return true;'
fault window-error-key-in-one-table resources/zh-hans.lproj/Localizable.ts app_tests \
  '<source>error.noSpace</source>' \
  '<source>error.nospace</source>'
fault window-command-error-text PelorinInstaller/app/ErrorText.cpp app_tests \
  'return withDetail(text, "error.verification", failure.tool, failure.status);' \
  'return withDetail(text, "error.generic", failure.tool, failure.status);'
fault window-focus-lost-at-the-end PelorinInstaller/app/AppDelegate.cpp app_tests \
  '  action_->move(160, 264);
  focusShownControl();' \
  '  action_->move(160, 264);'
fault window-outcome-not-announced PelorinInstaller/app/AppDelegate.cpp app_tests \
  '  Desktop::announce(status_, message);
' \
  ''
fault window-escape-ignored PelorinInstaller/app/AppWindow.cpp app_tests \
  '  cancel_->setShortcut(QKeySequence(Qt::Key_Escape));' \
  ''
fault window-keypad-enter-ignored PelorinInstaller/app/AppWindow.cpp app_tests \
  'QKeySequence(Qt::Key_Enter)' \
  'QKeySequence(Qt::Key_F35)'
fault window-busy-bar-valued PelorinInstaller/app/InstallerProgressIndicator.cpp app_tests \
  'return bar()->isIndeterminate() ? nullptr : static_cast<QAccessibleValueInterface*>(this);' \
  'return static_cast<QAccessibleValueInterface*>(this);'
fault window-dark-theme-kept PelorinInstaller/app/desktop_linux.cpp app_tests \
  '  QApplication::setStyle("Fusion");
' \
  ''
fault driver-mounted-bundle-unverified PelorinInstaller/pipeline/Installer.cpp pipeline_tests \
  '      verify(host_, bundle, manifest.version, "arm64", {}, stop);
' \
  ''

# --------------------------------------------------------------------------------------------

# How often `find` occurs in `text`.
occurrences() {
  local text=$1 find=$2
  local without=${text//"$find"/}
  echo $(((${#text} - ${#without}) / ${#find}))
}

# A file's exact contents (trailing newlines kept).
contents() {
  local text
  text=$(cat "$1" && printf x)
  printf '%s' "${text%x}"
}

list() {
  local i status count
  for i in "${!ids[@]}"; do
    count=$(occurrences "$(contents "$repo/${files[i]}")" "${finds[i]}")
    status=ok
    [[ $count == 1 ]] || status="stale ($count occurrences)"
    printf '%-34s %-44s %-15s %s\n' "${ids[i]}" "${files[i]}" "${programs[i]}" "$status"
  done
}

selected=()
case "${1:-}" in
  --list)
    list
    exit 0
    ;;
  --only)
    [[ -n "${2:-}" ]] || { echo "usage: $0 [--list | --only ID[,ID...]]" >&2; exit 2; }
    IFS=, read -r -a wanted <<<"$2"
    for id in "${wanted[@]}"; do
      found=
      for i in "${!ids[@]}"; do [[ ${ids[i]} == "$id" ]] && found=$i; done
      [[ -n $found ]] || { echo "no fault named $id (see --list)" >&2; exit 2; }
      selected+=("$found")
    done
    ;;
  "")
    selected=("${!ids[@]}")
    ;;
  *)
    echo "usage: $0 [--list | --only ID[,ID...]]" >&2
    exit 2
    ;;
esac

# The tree mirrors the tracked files. Only files whose contents differ are copied, so that
# unchanged ones keep their times and the build stays incremental, and any file left faulty by
# an interrupted run is replaced (with a new time, so it is rebuilt).
mkdir -p "$tree" "$logs"
fresh=$work/fresh
rm -rf "$fresh"
mkdir -p "$fresh"
(cd "$repo" && git ls-files -z | tar --null -T - -cf -) | tar -xf - -C "$fresh"
while IFS= read -r -d '' file; do
  if ! cmp -s "$fresh/$file" "$tree/$file"; then
    mkdir -p "$(dirname "$tree/$file")"
    cp "$fresh/$file" "$tree/$file"
  fi
done < <(cd "$fresh" && find . -type f -print0)

# The window and the install test need the application; a tree configured without it (as this
# script once did) is configured again.
if ! grep -qx 'PELORIN_BUILD_APP:BOOL=ON' "$build/CMakeCache.txt" 2>/dev/null; then
  launcher=()
  command -v ccache >/dev/null &&
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  cmake -S "$tree" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPELORIN_BUILD_APP=ON "${launcher[@]}" >"$logs/configure.log" 2>&1 ||
    { echo "configure failed: see $logs/configure.log" >&2; exit 1; }
fi

all_programs=(core_tests pipeline_tests standins_tests release_tests base_tests app_tests
  install_tests)
echo "building the test programs (log: $logs/build.log)"
nice ninja -C "$build" -j2 "${all_programs[@]}" standins >"$logs/build.log" 2>&1 ||
  { echo "the unchanged tree does not build: see $logs/build.log" >&2; exit 1; }

# The faulty file, while one is applied, and its pristine copy; restored on every way out.
applied=
restore() {
  if [[ -n $applied ]]; then
    cp "$fresh/$applied" "$tree/$applied"
    applied=
  fi
}
trap restore EXIT
trap 'restore; exit 130' INT
trap 'restore; exit 143' TERM

# Runs the test programs of a fault; 0 when every one passed.
run_programs() {
  local program dir
  for program in "$@"; do
    dir=$build/tests/${program%_tests}
    [[ $program != install_tests ]] || dir=$build/tests/packaging
    echo "== $program" >>"$log"
    if ! (cd "$dir" && timeout "$timeout_seconds" "$build/bin/$program" --gtest_brief=1 \
      --gtest_fail_fast >>"$log" 2>&1); then
      echo "== $program failed" >>"$log"
      return 1
    fi
  done
}

# Without faults every program must pass, or a failure would pass for a caught fault.
needed=()
for i in "${selected[@]}"; do
  for program in ${programs[i]}; do
    [[ " ${needed[*]} " == *" $program "* ]] || needed+=("$program")
  done
done
log=$logs/unchanged.log
: >"$log"
if ! run_programs "${needed[@]}"; then
  echo "the unchanged tree fails its tests: see $log" >&2
  exit 1
fi
echo "unchanged tree: ${needed[*]} pass"

caught=0 missed=0 stale=0 unbuilt=0 unrun=0
for i in "${selected[@]}"; do
  id=${ids[i]} file=${files[i]}
  read -r -a wanted <<<"${programs[i]}"
  log=$logs/$id.log
  : >"$log"
  start=$SECONDS
  text=$(contents "$fresh/$file")
  count=$(occurrences "$text" "${finds[i]}")
  if [[ $count != 1 ]]; then
    result="stale (the text occurs $count times)"
    stale=$((stale + 1))
  else
    applied=$file
    printf '%s' "${text/"${finds[i]}"/"${replacements[i]}"}" >"$tree/$file"
    if ! nice ninja -C "$build" -j2 "${wanted[@]}" standins >>"$log" 2>&1; then
      result="did not build"
      unbuilt=$((unbuilt + 1))
    elif run_programs "${wanted[@]}"; then
      if grep -q '^\[  SKIPPED \]' "$log"; then
        # gtest's brief output names no skipped test, only where it skipped and why.
        result="not run ($(grep -A1 ': Skipped$' "$log" | grep -v -e ': Skipped$' -e '^--$' |
          sort -u | paste -sd ';' -))"
        unrun=$((unrun + 1))
      else
        result=MISSED
        missed=$((missed + 1))
      fi
    else
      result=caught
      caught=$((caught + 1))
    fi
    restore
  fi
  printf '%-34s %-15s %-14s %4ss\n' "$id" "${programs[i]}" "$result" $((SECONDS - start))
done

echo "${#selected[@]} faults: $caught caught, $missed missed, $unrun not run, $stale stale," \
  "$unbuilt did not build"
exit 0
