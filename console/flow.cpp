#include "console/flow.h"

#include "console/for_program.h"

namespace kq {
namespace {

// The output of a program that prints once: all of it, or an internal failure.
int PrintOnce(const ConsoleEdges& edges, std::wstring_view text, int exitCode) {
  return edges.writeOut(text).written == Written::kWhole ? exitCode : kExitFailure;
}

// Whether the labels of the command line may stand beside the units of
// `report`: false, said, when one is refused; lines on the others with `notes`.
bool LabelsTaken(const ConsoleReport& report, const ConsoleOptions& options,
                 const ConsoleEdges& edges, bool notes) {
  const LabelCheck check = CheckLabels(options.labels, report.labels, report.attached);
  if (!check.refusal.empty() || (notes && !check.notes.empty()))
    edges.writeErr(check.refusal.empty() ? check.notes : check.refusal);
  return check.refusal.empty();
}

// Whether `output` differs from the output printed last, which it then is.
bool SaysSomethingNew(std::wstring& printed, std::wstring output) {
  if (output == printed) return false;
  printed = std::move(output);
  return true;
}

// Checks, prints each report that differs from the one printed last (or whose
// ports' use changed and held), and waits, until stopped.
int WatchUntilStopped(const ConsoleOptions& options, const ConsoleEdges& edges) {
  ReportWatch watch;
  std::optional<ConsoleReport> report;
  std::wstring printed;  // the report printed last, without its time
  for (bool devicesChanged = true, first = true;; first = false) {
    if (edges.check(options, devicesChanged, true, report) == Checked::kStopped) return kExitOk;
    if (report && !LabelsTaken(*report, options, edges, first)) return kExitBadUsage;
    // Devices that could not be read are tried again at the next change.
    // A change that only the other format shows leaves this output as it
    // was (ModemManager starting where the rules mark the ports for it to
    // leave alone: only the JSON says it runs); printed again, it would say
    // nothing new.
    if (report &&
        ReportChanged(watch, WatchedLines(*report), report->names ? &*report->names : nullptr) &&
        SaysSomethingNew(printed, ConsoleOutput(options, *report, L""))) {
      const WriteOutcome outcome =
          edges.writeOut(ConsoleOutput(options, *report, FormatLocalTime(edges.now())));
      // A reader that went away, or a stop that came while the output took
      // nothing, ends the watch as Ctrl+C does.
      if (outcome.written == Written::kReaderGone || outcome.written == Written::kStopped)
        return kExitOk;
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
  if (!LabelsTaken(*report, options, edges, true)) return kExitBadUsage;
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
