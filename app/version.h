// The program's identity: what file managers, "--version" and the desktop entry show.
#pragma once

namespace tamix::app {

inline constexpr const char* kVersion = "1.0.0.1";
inline constexpr const char* kVersionText = "1, 0, 0, 1";
inline constexpr const char* kFileDescription = "tamix MFC Application";
inline constexpr const char* kInternalName = "tamix";
inline constexpr const char* kProductName = "tamix Application";
inline constexpr const char* kLegalCopyright = "Copyright (C) 2026 the TAMIX developers";
// The profile's company key and the application name under it.
inline constexpr const char* kOrganization = "Local AppWizard-Generated Applications";
inline constexpr const char* kApplicationName = "tamix";

} // namespace tamix::app
