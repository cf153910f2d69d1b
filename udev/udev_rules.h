// The udev rules that give each unit stable names, whatever order the kernel
// meets its devices in and whichever port it is plugged into.
#pragma once

#include <map>
#include <string>
#include <vector>


namespace kq::udev {

// The rules file that names each port /dev/<kLinkFolder>/<serial>/<linkName>
// (roles.h) and the sound card KQ<serial>. With no serials, for every unit (the file
// the package installs); else for these units only (in order, each once,
// only the serials that pass isPlainSerial).
std::string UdevRules(const std::vector<std::wstring>& serials, const std::string& version);

// The start of the name the rules give a unit's sound card in PulseAudio and
// PipeWire (PULSE_NAME, ACP_NAME), its serial following: its source is then
// alsa_input.kq6200-<serial>.<profile>, its sink alsa_output.kq6200-<serial>.<profile>.
inline constexpr char kSoundServerNamePrefix[] = "kq6200-";

// The rules that add labels to units (`labels`: label by serial, each a
// plain serial and label): for each, /dev/<kLinkFolder>/<label>/<role> links beside
// the serial's, KQ6200_LABEL on its USB functions, ports and sound card, and
// the label in the card's description. They need the rules of UdevRules,
// which give each device its serial and role, and run after them.
std::string UdevLabelRules(const std::map<std::wstring, std::wstring>& labels,
                           const std::string& version);

// The rules files' names: the rules that name the units, and the labelling
// rules, which run after them. The one place they are written: CMake reads
// them from here for the release's scripts (cmake/KqPackaging.cmake).
inline constexpr char kRulesFileName[] = "70-kq6200.rules";
inline constexpr char kLabelRulesFileName[] = "71-kq6200-labels.rules";

// Where the labelling rules are meant to be installed: after the rules that
// name the units, beside them.
inline const std::string kLabelRulesFile = std::string("/etc/udev/rules.d/") + kLabelRulesFileName;

// Where rules for chosen units are meant to be installed; a file there takes
// the place of the packaged one of the same name.
inline const std::string kRulesFile = std::string("/etc/udev/rules.d/") + kRulesFileName;
// Where the package installs the rules for every unit.
inline const std::string kPackagedRulesFile = std::string("/usr/lib/udev/rules.d/") + kRulesFileName;
// Where rules that name the units may be in force: the two above, and the
// packaged one's place on a system whose /lib is not /usr/lib.
inline const std::string kInstalledRulesFiles[] = {
    kRulesFile, kPackagedRulesFile, std::string("/lib/udev/rules.d/") + kRulesFileName};

}  // namespace kq::udev
