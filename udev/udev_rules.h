// The udev rules that give each unit stable names, whatever order the kernel
// meets its devices in and whichever port it is plugged into.
#pragma once

#include <string>
#include <vector>


namespace kq::udev {

// The rules file that names /dev/kq6200/<serial>/cat, ptt, fsk and winkey
// and the ALSA card id KQ<serial>. With no serials, for every unit (the file
// the package installs); else for these units only (in order, each once,
// only the serials that pass isPlainSerial).
std::string UdevRules(const std::vector<std::wstring>& serials, const std::string& version);

// The start of the name the rules give a unit's sound card in PulseAudio and
// PipeWire (PULSE_NAME, ACP_NAME), its serial following: its source is then
// alsa_input.kq6200-<serial>.<profile>, its sink alsa_output.kq6200-<serial>.<profile>.
inline constexpr char kSoundServerNamePrefix[] = "kq6200-";

// Where rules for chosen units are meant to be installed; a file there takes
// the place of the packaged one of the same name.
inline constexpr char kRulesFile[] = "/etc/udev/rules.d/70-kq6200.rules";
// Where the package installs the rules for every unit.
inline constexpr char kPackagedRulesFile[] = "/usr/lib/udev/rules.d/70-kq6200.rules";
// Where rules that name the units may be in force: the two above, and the
// packaged one's place on a system whose /lib is not /usr/lib.
inline constexpr const char* kInstalledRulesFiles[] = {kRulesFile, kPackagedRulesFile,
                                                       "/lib/udev/rules.d/70-kq6200.rules"};

}  // namespace kq::udev
