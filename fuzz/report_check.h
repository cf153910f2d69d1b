// What every report of one enumeration must look like, whatever tree it came
// from: the oracle of the fuzz targets that enumerate.
#pragma once

#include <set>
#include <string>

#include "sim/sim_tree.h"
#include "units/unit_list.h"

namespace kq::test {

// Instance IDs of every node line of a tree, in every snapshot, folded to
// upper case: the configuration manager locates IDs without regard to ASCII
// letter case, so a walk may hold an ID in another case than the file's.
using FoldedIds = std::set<std::wstring>;

FoldedIds idsOf(const memcm::Tree& tree);

struct ReportRules {
  bool splitAudio = true;
  bool mcuDriversPresent = true;
  const FoldedIds* treeIds = nullptr;
};

// Empty when `report` is well formed: the not-found line alone, or unit
// blocks (a header with a five-character serial, then the FTDI, MCU and audio
// sections, each one error line or its port or audio lines; or the one line
// "Error entry"); an instance ID on exactly the port and audio lines, each an
// ID of the tree; no NUL anywhere. Otherwise what is wrong, and where.
std::string reportProblem(const ReportList& report, const ReportRules& rules);

// The MCU functions one enumeration must claim in a tree that does not change
// while it runs: every present device of the USB class whose instance ID
// starts with the MCU prefix of the Windows version (letter case counting)
// and is long enough to carry a serial.
std::set<std::wstring> unitsIn(const memcm::Snapshot& snapshot, bool splitAudio);

// Empty when the enumeration claimed exactly `expected`, each once.
std::string claimProblem(const UnitList& list, const std::set<std::wstring>& expected);

// Runs one enumeration over `text`, just loaded (the call clock at 0) and
// parsed as `tree`, and checks its report, and its claims when the tree has
// one snapshot. A finding aborts through abortWith.
void enumerateAndCheck(const std::string& text, const memcm::Tree& tree, bool splitAudio,
                       bool mcuDriversPresent);

// Writes what is wrong and the tree to standard error and aborts, so that
// the fuzzer keeps the input and the tree can be saved from its log.
[[noreturn]] void abortWith(const std::string& what, const std::string& text);

}  // namespace kq::test
