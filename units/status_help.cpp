#include "units/status_help.h"

#include <string>

#include "base/ascii.h"
#include "base/utf8.h"
#include "base/wrapped.h"
#include "units/unit_list.h"

namespace kq {
namespace {

// Remedies shared by several codes.
constexpr wchar_t kReplugWindows[] =
    L"Unplug the unit's USB cable, wait five seconds and plug it in again; if the code stays, "
    L"look for the device in Device Manager (View > Devices by connection) and read its status";
constexpr wchar_t kReplugLinux[] =
    L"Unplug the unit's USB cable, wait five seconds and plug it in again; `dmesg --follow` "
    L"shows what the kernel makes of it";
constexpr wchar_t kNeverWindows[] =
    L"This step cannot fail; if you see it, send the output of `kqports --json` to support";
constexpr wchar_t kNeverLinux[] = L"The same as on Windows: send the output of `kqports --json`";
constexpr wchar_t kMakerDriverWindows[] =
    L"In Device Manager, look for the KQ-6200's port with a yellow mark under Ports (COM & LPT) "
    L"or Other devices: install the maker's WinKey and FSK drivers (start kq6200ports.exe and "
    L"answer Yes when it asks whether to install the drivers for KQ-6200), then unplug and plug in "
    L"the unit";
constexpr wchar_t kAcmLinux[] =
    L"The kernel module `cdc_acm` serves this port: `sudo modprobe cdc_acm`, then unplug and plug "
    L"in the unit; `dmesg` should show \"cdc_acm ...: ttyACM0: USB ACM device\"";
constexpr wchar_t kFtdiDriverWindows[] =
    L"In Device Manager, USB Serial Converter A or B under Universal Serial Bus controllers has a "
    L"yellow mark: install the FTDI CDM (VCP) driver, then unplug and plug in the unit";
constexpr wchar_t kFtdiDriverLinux[] =
    L"The kernel module `ftdi_sio` serves the bridge: `sudo modprobe ftdi_sio`, then unplug and "
    L"plug in the unit; `dmesg` should show \"FTDI USB Serial Device converter now attached to "
    L"ttyUSB0\"";
constexpr wchar_t kFtdiVcpWindows[] =
    L"In Device Manager, open USB Serial Converter A or B, tab Advanced, tick Load VCP, then unplug "
    L"and plug in the unit";
constexpr wchar_t kFtdiPortWindows[] =
    L"In Device Manager, the channel's USB Serial Port under Ports (COM & LPT) has a problem: "
    L"uninstall that port (not the driver), then unplug and plug in the unit";
constexpr wchar_t kFtdiPortLinux[] =
    L"The channel has a driver but no tty: unplug and plug in the unit, and look in `dmesg` for "
    L"errors of `ftdi_sio`";
constexpr wchar_t kAudioDriverWindows[] =
    L"Windows' own USB audio driver serves the codec: in Device Manager, look for USB Audio CODEC "
    L"under Sound, video and game controllers with a yellow mark; unplug and plug in the unit";
constexpr wchar_t kAudioDriverLinux[] =
    L"The kernel module `snd-usb-audio` serves the codec: `sudo modprobe snd-usb-audio`, then "
    L"unplug and plug in the unit; `aplay -l` should list USB Audio CODEC";
constexpr wchar_t kRenderWindows[] =
    L"In Sound settings (mmsys.cpl), tab Playback, right-click and Show Disabled Devices: enable "
    L"Speakers (USB Audio CODEC)";
constexpr wchar_t kCaptureWindows[] =
    L"In Sound settings (mmsys.cpl), tab Recording, right-click and Show Disabled Devices: enable "
    L"Microphone (USB Audio CODEC)";
constexpr wchar_t kPcmLinux[] =
    L"The codec's sound card lacks a playback or capture device: unplug and plug in the unit; "
    L"`aplay -l` and `arecord -l` should both list USB Audio CODEC";

// An entry's walk and code, from the walk's step.
struct Step {
  Walk walk;
  int code;
};
constexpr Step step(McuStep s) { return {Walk::kMcu, stepCode(s)}; }
constexpr Step step(FtdiStep s) { return {Walk::kFtdi, stepCode(s)}; }
constexpr Step step(AudioStep s) { return {Walk::kAudio, stepCode(s)}; }

// The texts are owned here: a few are made from the unit's USB IDs.
struct Entry {
  Step at;
  std::wstring meaning, onWindows, onLinux;
};

// "USB vvvv:pppp": a function as the report names it.
std::wstring usbFunction(Walk walk) { return L"USB " + FunctionVidPid(walk); }

// "idVendor=vvvv, idProduct=pppp", in lower case: a function as the kernel's
// log names it.
std::wstring kernelIds(Walk walk) {
  const UsbFunctionId id = walkInfo(walk).usb;
  return L"idVendor=" + toAsciiLower(wideFromUtf8(id.vendor)) + L", idProduct=" +
         toAsciiLower(wideFromUtf8(id.product));
}

const std::vector<Entry> kEntries = {
    {step(McuStep::kFskPortName), L"The MCU's FSK interface (MI_02) has no COM port: its driver is missing or "
                    L"not started",
     kMakerDriverWindows, kAcmLinux},
    {step(McuStep::kFskNode), L"The walk could not take the FSK port's device node, a step that cannot fail", kNeverWindows, kNeverLinux},
    {step(McuStep::kFskInterface), L"The MCU has no FSK interface (MI_02) beside its WinKey interface",
     kReplugWindows, kReplugLinux},
    {step(McuStep::kWinkeyPortName), L"The MCU's WinKey interface (MI_00) has no COM port: its driver is missing "
                    L"or not started",
     kMakerDriverWindows, kAcmLinux},
    {step(McuStep::kWinkeyNode), L"The walk could not take the WinKey port's device node, a step that cannot fail", kNeverWindows,
     kNeverLinux},
    {step(McuStep::kWinkeyInterface), L"The MCU function has not made its WinKey interface (MI_00)", kReplugWindows,
     kReplugLinux},
    {step(McuStep::kFunction), L"The MCU function (" + usbFunction(Walk::kMcu) + L") has a problem, or its place in the device "
                    L"tree could not be read",
     kReplugWindows,
     L"Unplug and plug in the unit; `dmesg` should show \"New USB device found, " +
         kernelIds(Walk::kMcu) +
         L"\"; \"device descriptor read\" errors there mean another cable or USB port"},
    {step(McuStep::kNoMakerDrivers), L"The maker's WinKey and FSK drivers are not installed and were declined at "
                    L"start-up, or the program carries none for this processor (Windows on "
                    L"ARM), so the MCU's ports are not looked at",
     L"Close the program and start it again, and answer Yes when it asks whether to install the "
     L"drivers for KQ-6200; on Windows on ARM, install the maker's drivers for ARM64 first",
     L"Does not occur on Linux: the kernel's own `cdc_acm` serves these ports"},

    {step(FtdiStep::kPttPortName), L"The FTDI bridge's channel B (PTT/CW) port has no COM port name",
     kFtdiPortWindows, kFtdiPortLinux},
    {step(FtdiStep::kPttPort), L"The FTDI bridge's channel B has no serial port", kFtdiVcpWindows,
     kFtdiPortLinux},
    {step(FtdiStep::kChannelBHealthy), L"The FTDI bridge's channel B has no driver bound, or a problem",
     kFtdiDriverWindows, kFtdiDriverLinux},
    {step(FtdiStep::kChannelB), L"The FTDI bridge has no channel B interface beside channel A",
     kReplugWindows, kReplugLinux},
    {step(FtdiStep::kCatPortName), L"The FTDI bridge's channel A (CAT) port has no COM port name",
     kFtdiPortWindows, kFtdiPortLinux},
    {step(FtdiStep::kCatPort), L"The FTDI bridge's channel A has no serial port", kFtdiVcpWindows,
     kFtdiPortLinux},
    {step(FtdiStep::kChannelAHealthy), L"The FTDI bridge's channel A has no driver bound, or a problem",
     kFtdiDriverWindows, kFtdiDriverLinux},
    {step(FtdiStep::kChannelA), L"The FTDI bridge has not made its channel A interface", kReplugWindows,
     kReplugLinux},
    {step(FtdiStep::kFunction), L"No FTDI bridge (" + usbFunction(Walk::kFtdi) + L") was found on the unit's own hub beside the "
                     L"MCU, or it has a problem",
     kReplugWindows,
     L"Unplug and plug in the unit; `dmesg` should show \"" + kernelIds(Walk::kFtdi) + L"\" right "
     L"after the MCU's line; if it does not, try another cable or USB port"},

    {step(AudioStep::kCaptureAfterHealthy), L"The codec's capture endpoint (listed after the render endpoint) has a "
                      L"problem",
     kCaptureWindows, kPcmLinux},
    {step(AudioStep::kCaptureAfterRender), L"The codec has a render endpoint but no capture endpoint beside it",
     kCaptureWindows, kPcmLinux},
    {step(AudioStep::kRenderFirstHealthy), L"The codec's render endpoint (listed first) has a problem", kRenderWindows,
     kPcmLinux},
    {step(AudioStep::kRenderAfterHealthy), L"The codec's render endpoint (listed after the capture endpoint) has a "
                      L"problem",
     kRenderWindows, kPcmLinux},
    {step(AudioStep::kRenderAfterCapture), L"The codec has a capture endpoint but no render endpoint beside it",
     kRenderWindows, kPcmLinux},
    {step(AudioStep::kCaptureFirstHealthy), L"The codec's capture endpoint (listed first) has a problem", kCaptureWindows,
     kPcmLinux},
    {step(AudioStep::kEndpoints), L"The codec's streaming interface has neither a capture nor a render "
                      L"endpoint",
     L"In Sound settings (mmsys.cpl), Show Disabled Devices on both tabs and enable the USB Audio "
     L"CODEC's Speakers and Microphone; if they are not there, unplug and plug in the unit",
     kPcmLinux},
    {step(AudioStep::kStreamingHealthy), L"The codec's audio streaming interface (MI_02) has a problem: no sound "
                      L"device was made",
     kAudioDriverWindows, kAudioDriverLinux},
    {step(AudioStep::kStreamingInterface), L"The codec has no audio streaming interface (MI_02)", kReplugWindows,
     kReplugLinux},
    {step(AudioStep::kControlSiblings), L"The codec's interfaces could not be listed", kReplugWindows,
     kReplugLinux},
    {step(AudioStep::kControlHealthy), L"The codec's audio control interface (MI_00) has no driver bound, or a "
                       L"problem",
     kAudioDriverWindows, kAudioDriverLinux},
    {step(AudioStep::kControlInterface), L"The codec has not made its audio control interface (MI_00)",
     kReplugWindows, kReplugLinux},
    {step(AudioStep::kFunction), L"No audio codec (" + usbFunction(Walk::kAudio) + L") was found on the unit's own hub beside "
                       L"the MCU, or it has a problem",
     kReplugWindows,
     L"Unplug and plug in the unit; `dmesg` should show \"" + kernelIds(Walk::kAudio) + L"\" right "
     L"after the MCU's line; if it does not, try another cable or USB port"},
};

// A Markdown table cell: "|" would end it.
std::wstring cell(std::wstring_view text) {
  std::wstring out;
  for (const wchar_t c : text) {
    if (c == L'|') out += L'\\';
    out += c;
  }
  return out;
}

const std::vector<StatusHelp> kTable = [] {
  std::vector<StatusHelp> table;
  for (const Entry& e : kEntries)
    table.push_back({e.at.walk, e.at.code, e.meaning, e.onWindows, e.onLinux});
  return table;
}();

}  // namespace

const std::vector<StatusHelp>& StatusHelpTable() { return kTable; }

const StatusHelp* FindStatusHelp(Walk walk, int code) {
  for (const StatusHelp& help : kTable)
    if (help.walk == walk && help.code == code) return &help;
  return nullptr;
}

std::wstring_view WalkName(Walk walk) { return walkInfo(walk).name; }

std::wstring_view WalkLabel(Walk walk) { return walkInfo(walk).label; }

std::wstring_view RemedyFor(const StatusHelp& help, HelpSystem system) {
  return system == HelpSystem::kWindows ? help.onWindows : help.onLinux;
}

std::wstring PlainText(std::wstring_view text) {
  std::wstring out;
  for (const wchar_t c : text)
    if (c != L'`') out += c;
  return out;
}

std::wstring StatusHelpMarkdown() {
  std::wstring out =
      L"| Line | What was found | On Windows | On Linux |\n"
      L"|---|---|---|---|\n";
  for (const StatusHelp& help : kTable)
    out += L"| `" + std::wstring(WalkLabel(help.walk)) + L" ErrorCode: " +
           std::to_wstring(help.code) + L"` | " + cell(help.meaning) + L" | " +
           cell(help.onWindows) + L" | " + cell(help.onLinux) + L" |\n";
  return out;
}

std::wstring StatusHelpPlain(HelpSystem system) {
  constexpr size_t kWidth = 78;
  std::wstring out;
  for (const StatusHelp& help : kTable) {
    if (!out.empty()) out += L'\n';
    out += L"  " + std::wstring(WalkLabel(help.walk)) + L" ErrorCode: " +
           std::to_wstring(help.code) + L'\n';
    out += Wrapped(PlainText(help.meaning) + L".", L"    ", kWidth);
    out += Wrapped(L"What to do: " + PlainText(RemedyFor(help, system)) + L".", L"    ", kWidth);
  }
  return out;
}

}  // namespace kq
