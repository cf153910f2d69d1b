// Entry point of the program.
#include "app/shell.h"

#include "base/native_machine.h"
#include "base/system_dlls.h"
#include "drivers/install.h"
#include "osver/os_level.h"
#include "res/resource.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
  using namespace kq;
  // Before the configuration manager and the common controls are loaded at
  // their first calls.
  LoadDllsFromSystemOnly();
  LoadStringW(instance, IDS_APP_TITLE, windowTitle, 100);
  LoadStringW(instance, IDS_WINDOW_CLASS, windowClassName, 100);
  RegisterMainWindowClass(instance);

  const NativeMachine machine = DetectNativeMachine();
  Is64BitOs = RunsUnderWow64(kProgramMachine, machine.kind);

  // Returns whatever the outcome, or ends the process itself with code 1.
  const DriverGateOutcome gate = CheckAndInstallDrivers(instance, showCommand, machine);
  McuDriversPresent = gate.mcuDriversPresent;
  SplitAudio = SplitsAudio(gate.osLevel);

  // A window that cannot be created ends the program quietly.
  if (!CreateMainWindow(instance, showCommand)) return 0;

  MSG message{};
  BOOL got;
  while ((got = GetMessageW(&message, nullptr, 0, 0)) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return MessageLoopExitCode(got, message.wParam);
}
