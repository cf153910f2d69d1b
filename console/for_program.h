// What kqports --for prints: the settings a program takes from the units of
// a report, made from the report's items and the names the system gives
// their devices.
#pragma once

#include "console/options.h"
#include "console/render.h"

namespace kq {

// The settings of options.program for every unit of the report (with
// --serial, the one unit it kept), with exit code 0; exit code 1 and what
// --role says when no unit is attached.
RoleAnswer AnswerFor(const ConsoleReport& report, const ConsoleOptions& options);

}  // namespace kq
