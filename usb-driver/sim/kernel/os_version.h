// Which Windows the simulated kernel claims to be.
#pragma once

namespace sim {

enum class WindowsVersion { Windows2000, WindowsXP, Server2003, Vista, VistaSp1, Windows7, Windows8, Windows10 };

void SetWindowsVersion(WindowsVersion version);
WindowsVersion CurrentWindowsVersion();

}  // namespace sim
