// The program's identity: its version, and the profile's company key and application
// name (QSettings would file settings under them; nothing is stored yet).
#pragma once

namespace tamix::app {

inline constexpr const char* kVersion = "1.0.0.1";
inline constexpr const char* kOrganization = "Local AppWizard-Generated Applications";
inline constexpr const char* kApplicationName = "tamix";

} // namespace tamix::app
