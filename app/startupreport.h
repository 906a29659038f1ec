// With TAMIX_REPORT_STARTUP set, the program reports when its first page has loaded and
// how much memory it holds then, and quits: the start-up benchmark reads this line.
#pragma once

#include <string>

namespace tamix::app {

inline constexpr const char* kReportStartupVariable = "TAMIX_REPORT_STARTUP";

// Resident memory in KiB of this process and of all its descendants (the web engine's
// helper processes).
long ResidentKibOfProcessTree();

// "first-page-loaded-epoch-ms=... rss-kib=... tree-rss-kib=..."
std::string StartupReportLine();

} // namespace tamix::app
