// The udev rules that give each unit stable names, whatever order the kernel
// meets its devices in and whichever port it is plugged into.
#pragma once

#include <string>
#include <vector>


namespace kq::udev {

// The rules file for these units (in order, each once, only the serials that
// pass isPlainSerial): /dev/kq6200/<serial>/cat, ptt, fsk and winkey, and the
// ALSA card id KQ<serial>.
std::string UdevRules(const std::vector<std::wstring>& serials, const std::string& version);

// The file name the rules are meant to be installed as.
inline constexpr char kRulesFile[] = "/etc/udev/rules.d/70-kq6200.rules";

}  // namespace kq::udev
