#pragma once

#include "InstallerCore/Distribution.hpp"
#include "InstallerCore/DownloadResponse.hpp"
#include "InstallerCore/InstallTransaction.hpp"
#include "InstallerCore/InstallerError.hpp"
#include "InstallerCore/MachO.hpp"
#include "InstallerCore/ReleaseManifest.hpp"
#include "InstallerCore/SystemRelease.hpp"
#include "InstallerCore/Url.hpp"
#include "InstallerCore/Version.hpp"
