#include "units/device_unit.h"

#include <algorithm>

#include "base/ascii.h"
#include "base/utf8.h"
#include "units/roles.h"
#include "units/unit_ids.h"

namespace kq {
namespace {


std::wstring functionPrefix(UsbFunctionId function) {
  return wideFromUtf8(usbFunctionId(function.vendor, function.product) + "\\");
}

std::wstring interfacePrefix(UsbFunctionId function, int interfaceNumber) {
  return wideFromUtf8(usbInterfaceId(function.vendor, function.product, interfaceNumber) + "\\");
}

// Instance-ID prefixes of the unit's functions, interfaces, ports and endpoints.
// Windows 8 and later list the MCU function in capitals, Windows 7 in lower case.
const std::wstring kMcuPrefixSplit = functionPrefix(kMcuFunctionId) + wideFromUtf8(kMcuSerialPrefix);
const std::wstring kMcuPrefixLegacy = toAsciiLower(kMcuPrefixSplit);
std::wstring roleInterface(Role role) {
  return interfacePrefix(roleInfo(role).function, roleInfo(role).interfaceNumber);
}

const std::wstring kWinkeyInterface = roleInterface(Role::kWinkey);
const std::wstring kFskInterface = roleInterface(Role::kFsk);
const std::wstring kFtdiFunction = functionPrefix(kFtdiFunctionId);
const std::wstring kFtdiChannelA = roleInterface(Role::kCat);
const std::wstring kFtdiChannelB = roleInterface(Role::kPtt);
const std::wstring kFtdiPort = wideFromUtf8(ftdiPortIdPrefix(kFtdiFunctionId.vendor, kFtdiFunctionId.product));
const std::wstring kAudioFunction = functionPrefix(kAudioFunctionId);
const std::wstring kAudioMi00 = interfacePrefix(kAudioFunctionId, kAudioControlInterface);
const std::wstring kAudioMi02 = roleInterface(Role::kAudioOut);
const std::wstring kRenderEndpoint = wideFromUtf8(kRenderEndpointPrefix);
const std::wstring kCaptureEndpoint = wideFromUtf8(kCaptureEndpointPrefix);

// Shortest MCU instance ID that carries a serial: the prefix plus the
// serial's characters.
const size_t kMinMcuIdLength = kMcuPrefixSplit.size() + kSerialLength;

DeviceNode openUsbNode(std::wstring_view id) { return openDeviceNode(id, IdList(), true); }

bool firstStartsWith(const std::optional<StringList>& list, std::wstring_view prefix) {
  return list && startsWith(firstEntry(*list), prefix);
}

// Healthy and hanging off the same parent as the MCU function. An absent
// parent on either side counts as different.
bool isSameParentHealthy(const std::optional<DeviceNode>& node, const DeviceNode& mcu) {
  return node && node->healthy() && node->parentId && mcu.parentId &&
         *node->parentId == *mcu.parentId;
}

void walkMcu(DeviceUnit& unit, const DeviceNode& mcu) {
  if (!unit.mcuDriversPresent) {
    unit.mcuStatus = stepCode(McuStep::kNoMakerDrivers);
    return;
  }
  unit.mcuStatus = stepCode(McuStep::kFunction);
  if (!mcu.healthy() || !mcu.parentId || !mcu.siblingIds || !mcu.childrenIds) return;
  unit.mcuStatus = stepCode(McuStep::kWinkeyInterface);
  if (!firstStartsWith(mcu.childrenIds, kWinkeyInterface)) return;
  unit.mcuStatus = stepCode(McuStep::kWinkeyNode);
  unit.winkeyNode = openPortNode(firstEntry(*mcu.childrenIds));
  unit.mcuStatus = stepCode(McuStep::kWinkeyPortName);
  if (!unit.winkeyNode->portName) return;
  unit.mcuStatus = stepCode(McuStep::kFskInterface);
  if (!firstStartsWith(unit.winkeyNode->siblingIds, kFskInterface)) return;
  unit.mcuStatus = stepCode(McuStep::kFskNode);
  unit.fskNode = openPortNode(firstEntry(*unit.winkeyNode->siblingIds));
  unit.mcuStatus = stepCode(McuStep::kFskPortName);
  if (!unit.fskNode->portName) return;
  unit.mcuStatus = kStatusComplete;
}

struct FunctionNodes {
  std::optional<DeviceNode> ftdi;
  std::optional<DeviceNode> audio;
};

// Each kind keeps its latest match; the walk ends at the first entry reached
// while holding one of each.
FunctionNodes walkSiblings(const DeviceNode& mcu) {
  FunctionNodes found;
  if (!mcu.siblingIds) return found;
  for (const std::wstring& entry : *mcu.siblingIds) {
    if (found.ftdi && found.audio) break;
    if (startsWith(entry, kFtdiFunction))
      found.ftdi = openUsbNode(entry);
    else if (startsWith(entry, kAudioFunction))
      found.audio = openUsbNode(entry);
  }
  return found;
}

void walkFtdi(DeviceUnit& unit, const DeviceNode& mcu, const std::optional<DeviceNode>& ftdi) {
  unit.ftdiStatus = stepCode(FtdiStep::kFunction);
  if (!isSameParentHealthy(ftdi, mcu)) return;
  unit.ftdiStatus = stepCode(FtdiStep::kChannelA);
  if (!firstStartsWith(ftdi->childrenIds, kFtdiChannelA)) return;
  unit.ftdiStatus = stepCode(FtdiStep::kChannelAHealthy);
  const DeviceNode channelA = openUsbNode(firstEntry(*ftdi->childrenIds));
  if (!channelA.healthy()) return;
  unit.ftdiStatus = stepCode(FtdiStep::kCatPort);
  if (!firstStartsWith(channelA.childrenIds, kFtdiPort)) return;
  unit.ftdiStatus = stepCode(FtdiStep::kCatPortName);
  unit.catNode = openPortNode(firstEntry(*channelA.childrenIds));
  if (!unit.catNode->portName) return;
  unit.ftdiStatus = stepCode(FtdiStep::kChannelB);
  if (!firstStartsWith(channelA.siblingIds, kFtdiChannelB)) return;
  unit.ftdiStatus = stepCode(FtdiStep::kChannelBHealthy);
  const DeviceNode channelB = openUsbNode(firstEntry(*channelA.siblingIds));
  if (!channelB.healthy()) return;
  unit.ftdiStatus = stepCode(FtdiStep::kPttPort);
  if (!firstStartsWith(channelB.childrenIds, kFtdiPort)) return;
  unit.ftdiStatus = stepCode(FtdiStep::kPttPortName);
  unit.pttNode = openPortNode(firstEntry(*channelB.childrenIds));
  if (!unit.pttNode->portName) return;
  unit.ftdiStatus = kStatusComplete;
}

// Capture and render endpoints hang off MI_02 in either order; `first` is the
// one listed first, and its sibling must be the other kind.
struct EndpointOrder {
  std::wstring_view secondPrefix;
  std::optional<DeviceNode> DeviceUnit::*first;
  std::optional<DeviceNode> DeviceUnit::*second;
  AudioStep firstHealthy;   // the endpoint listed first has no problem
  AudioStep secondListed;   // its first sibling is the other kind
  AudioStep secondHealthy;  // and has no problem
};

void walkEndpoints(DeviceUnit& unit, const DeviceNode& mi02) {
  unit.audioStatus = stepCode(AudioStep::kEndpoints);
  if (!mi02.childrenIds) return;
  const std::wstring_view firstId = firstEntry(*mi02.childrenIds);
  EndpointOrder order;
  if (startsWith(firstId, kRenderEndpoint))
    order = {kCaptureEndpoint, roleInfo(Role::kAudioOut).node, roleInfo(Role::kAudioIn).node,
             AudioStep::kRenderFirstHealthy, AudioStep::kCaptureAfterRender,
             AudioStep::kCaptureAfterHealthy};
  else if (startsWith(firstId, kCaptureEndpoint))
    order = {kRenderEndpoint, roleInfo(Role::kAudioIn).node, roleInfo(Role::kAudioOut).node,
             AudioStep::kCaptureFirstHealthy, AudioStep::kRenderAfterCapture,
             AudioStep::kRenderAfterHealthy};
  else
    return;

  unit.audioStatus = stepCode(order.firstHealthy);
  std::optional<DeviceNode>& first = unit.*order.first;
  first = openUsbNode(firstId);
  if (!first->healthy()) return;
  unit.audioStatus = stepCode(order.secondListed);
  if (!firstStartsWith(first->siblingIds, order.secondPrefix)) return;
  unit.audioStatus = stepCode(order.secondHealthy);
  std::optional<DeviceNode>& second = unit.*order.second;
  second = openUsbNode(firstEntry(*first->siblingIds));
  if (!second->healthy()) return;
  unit.audioStatus = kStatusComplete;
}

void walkAudio(DeviceUnit& unit, const DeviceNode& mcu, std::optional<DeviceNode> audio) {
  unit.audioStatus = stepCode(AudioStep::kFunction);
  if (!isSameParentHealthy(audio, mcu)) return;
  unit.audioStatus = stepCode(AudioStep::kControlInterface);
  if (!firstStartsWith(audio->childrenIds, kAudioMi00)) return;
  unit.audioStatus = stepCode(AudioStep::kControlHealthy);
  const DeviceNode mi00 = openUsbNode(firstEntry(*audio->childrenIds));
  audio.reset();
  if (!mi00.healthy()) return;
  unit.audioStatus = stepCode(AudioStep::kControlSiblings);
  if (!mi00.siblingIds) return;
  unit.audioStatus = stepCode(AudioStep::kStreamingInterface);
  if (!startsWith(secondEntry(*mi00.siblingIds), kAudioMi02)) return;
  unit.audioStatus = stepCode(AudioStep::kStreamingHealthy);
  DeviceNode mi02 = openUsbNode(secondEntry(*mi00.siblingIds));
  if (!mi02.healthy()) return;
  if (!unit.splitAudio) {
    // MI_02 itself stands for the whole audio device, kept as the output's node.
    unit.*roleInfo(Role::kAudioOut).node = std::move(mi02);
    unit.audioStatus = kStatusComplete;
    return;
  }
  walkEndpoints(unit, mi02);
}

}  // namespace

DeviceUnit resolveUnit(const IdList& claimed, bool splitAudio, bool mcuDriversPresent) {
  DeviceUnit unit;
  unit.splitAudio = splitAudio;
  unit.mcuDriversPresent = mcuDriversPresent;

  const std::wstring& prefix = splitAudio ? kMcuPrefixSplit : kMcuPrefixLegacy;
  DeviceNode mcu = openDeviceNode(prefix, claimed, true);
  // A device whose ID is the prefix itself is located as an exact ID, which
  // no exclusion stops; once an earlier attempt has passed it over, search on
  // past it, or it would be found again on every attempt and hide the units.
  if (mcu.found() && std::find(claimed.begin(), claimed.end(), *mcu.instanceId) != claimed.end())
    mcu = findDeviceNode(prefix, claimed, true);
  unit.mcuStatus = kNoUnit;
  if (!mcu.found()) return unit;
  const std::wstring& mcuId = *mcu.instanceId;
  if (mcuId.size() < kMinMcuIdLength) {
    unit.rejectedMcuId = mcuId;
    return unit;
  }
  unit.mcuInstanceId = mcuId;
  unit.serial = mcuId.substr(mcuId.size() - kSerialLength);

  walkMcu(unit, mcu);
  FunctionNodes functions = walkSiblings(mcu);
  walkFtdi(unit, mcu, functions.ftdi);
  walkAudio(unit, mcu, std::move(functions.audio));
  return unit;
}

}  // namespace kq
