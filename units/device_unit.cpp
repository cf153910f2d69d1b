#include "units/device_unit.h"

#include <algorithm>

#include "base/ascii.h"
#include "base/utf8.h"
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
const std::wstring kWinkeyInterface = interfacePrefix(kWinkeyPort.function, kWinkeyPort.interfaceNumber);
const std::wstring kFskInterface = interfacePrefix(kFskPort.function, kFskPort.interfaceNumber);
const std::wstring kFtdiFunction = functionPrefix(kFtdiFunctionId);
const std::wstring kFtdiChannelA = interfacePrefix(kCatPort.function, kCatPort.interfaceNumber);
const std::wstring kFtdiChannelB = interfacePrefix(kPttPort.function, kPttPort.interfaceNumber);
const std::wstring kFtdiPort = wideFromUtf8(ftdiPortIdPrefix(kFtdiFunctionId.vendor, kFtdiFunctionId.product));
const std::wstring kAudioFunction = functionPrefix(kAudioFunctionId);
const std::wstring kAudioMi00 = interfacePrefix(kAudioFunctionId, kAudioControlInterface);
const std::wstring kAudioMi02 = interfacePrefix(kAudioFunctionId, kAudioEndpointInterface);
const std::wstring kRenderEndpoint = wideFromUtf8(kRenderEndpointPrefix);
const std::wstring kCaptureEndpoint = wideFromUtf8(kCaptureEndpointPrefix);

// Shortest MCU instance ID that carries a serial: the prefix plus five
// characters.
constexpr size_t kSerialLength = 5;
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
    unit.mcuStatus = 8;
    return;
  }
  unit.mcuStatus = 7;
  if (!mcu.healthy() || !mcu.parentId || !mcu.siblingIds || !mcu.childrenIds) return;
  unit.mcuStatus = 6;
  if (!firstStartsWith(mcu.childrenIds, kWinkeyInterface)) return;
  unit.mcuStatus = 5;
  unit.winkeyNode = openPortNode(firstEntry(*mcu.childrenIds));
  unit.mcuStatus = 4;
  if (!unit.winkeyNode->portName) return;
  unit.mcuStatus = 3;
  if (!firstStartsWith(unit.winkeyNode->siblingIds, kFskInterface)) return;
  unit.mcuStatus = 2;
  unit.fskNode = openPortNode(firstEntry(*unit.winkeyNode->siblingIds));
  unit.mcuStatus = 1;
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
  unit.ftdiStatus = 9;
  if (!isSameParentHealthy(ftdi, mcu)) return;
  unit.ftdiStatus = 8;
  if (!firstStartsWith(ftdi->childrenIds, kFtdiChannelA)) return;
  unit.ftdiStatus = 7;
  const DeviceNode channelA = openUsbNode(firstEntry(*ftdi->childrenIds));
  if (!channelA.healthy()) return;
  unit.ftdiStatus = 6;
  if (!firstStartsWith(channelA.childrenIds, kFtdiPort)) return;
  unit.ftdiStatus = 5;
  unit.catNode = openPortNode(firstEntry(*channelA.childrenIds));
  if (!unit.catNode->portName) return;
  unit.ftdiStatus = 4;
  if (!firstStartsWith(channelA.siblingIds, kFtdiChannelB)) return;
  unit.ftdiStatus = 3;
  const DeviceNode channelB = openUsbNode(firstEntry(*channelA.siblingIds));
  if (!channelB.healthy()) return;
  unit.ftdiStatus = 2;
  if (!firstStartsWith(channelB.childrenIds, kFtdiPort)) return;
  unit.ftdiStatus = 1;
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
  int8_t firstStep;  // checks on the first endpoint; the next two steps follow
};

void walkEndpoints(DeviceUnit& unit, const DeviceNode& mi02) {
  unit.audioStatus = 7;
  if (!mi02.childrenIds) return;
  const std::wstring_view firstId = firstEntry(*mi02.childrenIds);
  EndpointOrder order;
  if (startsWith(firstId, kRenderEndpoint))
    order = {kCaptureEndpoint, &DeviceUnit::audioOutNode, &DeviceUnit::audioInNode, 3};
  else if (startsWith(firstId, kCaptureEndpoint))
    order = {kRenderEndpoint, &DeviceUnit::audioInNode, &DeviceUnit::audioOutNode, 6};
  else
    return;

  unit.audioStatus = order.firstStep;
  std::optional<DeviceNode>& first = unit.*order.first;
  first = openUsbNode(firstId);
  if (!first->healthy()) return;
  unit.audioStatus = static_cast<int8_t>(order.firstStep - 1);
  if (!firstStartsWith(first->siblingIds, order.secondPrefix)) return;
  unit.audioStatus = static_cast<int8_t>(order.firstStep - 2);
  std::optional<DeviceNode>& second = unit.*order.second;
  second = openUsbNode(firstEntry(*first->siblingIds));
  if (!second->healthy()) return;
  unit.audioStatus = kStatusComplete;
}

void walkAudio(DeviceUnit& unit, const DeviceNode& mcu, std::optional<DeviceNode> audio) {
  unit.audioStatus = 13;
  if (!isSameParentHealthy(audio, mcu)) return;
  unit.audioStatus = 12;
  if (!firstStartsWith(audio->childrenIds, kAudioMi00)) return;
  unit.audioStatus = 11;
  const DeviceNode mi00 = openUsbNode(firstEntry(*audio->childrenIds));
  audio.reset();
  if (!mi00.healthy()) return;
  unit.audioStatus = 10;
  if (!mi00.siblingIds) return;
  unit.audioStatus = 9;
  if (!startsWith(secondEntry(*mi00.siblingIds), kAudioMi02)) return;
  unit.audioStatus = 8;
  DeviceNode mi02 = openUsbNode(secondEntry(*mi00.siblingIds));
  if (!mi02.healthy()) return;
  if (!unit.splitAudio) {
    // MI_02 itself stands for the whole audio device.
    unit.audioOutNode = std::move(mi02);
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
