#include "console/flow.h"

#include "console/for_program.h"

namespace kq {
namespace {

// The output of a program that prints once: all of it, or an internal failure.
int PrintOnce(const ConsoleEdges& edges, std::wstring_view text, int exitCode) {
  return edges.writeOut(text).written == Written::kWhole ? exitCode : kExitFailure;
}

// Checks, prints each report that differs from the one printed last (or whose
// ports' use changed and held), and waits, until stopped.
int WatchUntilStopped(const ConsoleOptions& options, const ConsoleEdges& edges) {
  ReportWatch watch;
  std::optional<ConsoleReport> report;
  for (bool devicesChanged = true;;) {
    if (edges.check(options, devicesChanged, true, report) == Checked::kStopped) return kExitOk;
    // Devices that could not be read are tried again at the next change.
    if (report && ReportChanged(watch, WatchedLines(*report),
                                report->names ? &*report->names : nullptr)) {
      const WriteOutcome outcome =
          edges.writeOut(ConsoleOutput(options, *report, FormatLocalTime(edges.now())));
      // A reader that went away ends the watch as Ctrl+C does.
      if (outcome.written == Written::kReaderGone) return kExitOk;
      if (outcome.written == Written::kFailed) {
        edges.writeErr(L"kqports: cannot write the report" + outcome.detail + L"\n");
        return kExitFailure;
      }
    }
    const Waited waited = edges.wait();
    if (waited == Waited::kStopped) return kExitOk;
    devicesChanged = waited == Waited::kChanged;
  }
}

int Watch(const ConsoleOptions& options, const ConsoleEdges& edges) {
  const std::wstring obstacle = edges.startWatch();
  if (!obstacle.empty()) {
    edges.writeErr(L"kqports: cannot watch: " + obstacle + L"\n");
    return kExitFailure;
  }
  const int exitCode = WatchUntilStopped(options, edges);
  if (edges.endWatch) edges.endWatch();
  return exitCode;
}

}  // namespace

int RunConsole(const std::vector<std::wstring>& arguments, const ConsoleEdges& edges) {
  const ParsedArguments parsed = ParseArguments(arguments, edges.platform);
  if (parsed.badArgument) {
    edges.writeErr(UsageErrorText(parsed));
    return kExitBadUsage;
  }
  const ConsoleOptions& options = parsed.options;
  if (options.help || options.version)
    return PrintOnce(edges, options.help ? HelpText(edges.platform) : edges.versionText(), kExitOk);
  if (edges.systemCommand) {
    if (const std::optional<std::wstring> text = edges.systemCommand(options))
      return PrintOnce(edges, *text, kExitOk);
  }
  if (options.watch) return Watch(options, edges);

  const bool answer = options.role || options.program;
  std::optional<ConsoleReport> report;
  edges.check(options, true, !answer, report);
  if (!report) return kExitFailure;
  if (answer) {
    const RoleAnswer said =
        options.program ? AnswerFor(*report, options) : AnswerRole(*report, options);
    if (!said.err.empty()) edges.writeErr(said.err);
    if (said.out.empty()) return said.exitCode;
    return PrintOnce(edges, said.out, said.exitCode);
  }
  return PrintOnce(edges, ConsoleOutput(options, *report, FormatLocalTime(edges.now())),
                   ExitCodeFor(report->units));
}

}  // namespace kq
