#pragma once

#include "buildconfig.h"

// The application's identity, in one place for the GUI program, the headless command, the
// bridge and the server client.
namespace AppInfo {
inline constexpr char organisationName[] = "Tesmo";
inline constexpr char organisationDomain[] = "vexar-anonymizer.example";
// Locates the windows' own settings store (the update notice's skip list).
inline constexpr char applicationName[] = "Vexar_Anonymizer_s1";
inline constexpr char applicationVersion[] = VEXAR_VERSION;
// The download page of the update notice, fixed at build time (VEXAR_DOWNLOAD_URL).
inline constexpr char downloadUrl[] = VEXAR_DOWNLOAD_URL;
// The core's settings store is opened under another application name: the two stores never
// see each other's keys.
inline constexpr char coreSettingsApplication[] = "Vexar_Anonymizer";
} // namespace AppInfo
