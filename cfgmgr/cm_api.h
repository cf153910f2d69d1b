// The four configuration-manager functions the device walk uses, with their
// types, constants and property keys. On Windows they come from the SDK
// headers; elsewhere (host unit tests and tools, linked against the simulated
// configuration manager) this header declares them with the Windows names,
// values and signatures.
#pragma once

#ifdef _WIN32

#include <windows.h>
#include <cfgmgr32.h>
#include <devpropdef.h>
#include <devpkey.h>

#else

#include <cstdint>

using BYTE = unsigned char;
using PBYTE = BYTE*;
using ULONG = unsigned long;
using PULONG = ULONG*;
using DWORD = uint32_t;
using WCHAR = wchar_t;
using PCWSTR = const WCHAR*;
using PZZWSTR = WCHAR*;
using CONFIGRET = DWORD;
using DEVINST = DWORD;
using PDEVINST = DEVINST*;
using DEVINSTID_W = WCHAR*;
using DEVPROPTYPE = ULONG;
using DEVPROPID = ULONG;

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};

struct DEVPROPKEY {
  GUID fmtid;
  DEVPROPID pid;
};

constexpr CONFIGRET CR_SUCCESS = 0x00000000;
constexpr CONFIGRET CR_INVALID_POINTER = 0x00000003;
constexpr CONFIGRET CR_INVALID_FLAG = 0x00000004;
constexpr CONFIGRET CR_INVALID_DEVNODE = 0x00000005;
constexpr CONFIGRET CR_INVALID_DEVINST = CR_INVALID_DEVNODE;
constexpr CONFIGRET CR_NO_SUCH_DEVNODE = 0x0000000D;
constexpr CONFIGRET CR_NO_SUCH_DEVINST = CR_NO_SUCH_DEVNODE;
constexpr CONFIGRET CR_FAILURE = 0x00000013;
constexpr CONFIGRET CR_BUFFER_SMALL = 0x0000001A;
constexpr CONFIGRET CR_NO_SUCH_VALUE = 0x00000025;

constexpr ULONG CM_LOCATE_DEVNODE_NORMAL = 0x00000000;
constexpr ULONG CM_GETIDLIST_FILTER_CLASS = 0x00000200;

constexpr DEVPROPTYPE DEVPROP_TYPE_UINT32 = 0x00000007;
constexpr DEVPROPTYPE DEVPROP_TYPE_STRING = 0x00000012;
constexpr DEVPROPTYPE DEVPROP_TYPEMOD_LIST = 0x00002000;
constexpr DEVPROPTYPE DEVPROP_TYPE_STRING_LIST = DEVPROP_TYPE_STRING | DEVPROP_TYPEMOD_LIST;

// {a45c254e-df1c-4efd-8020-67d146a850e0} and {4340a6c5-93fa-4706-972c-7b648008a5a7}
inline constexpr DEVPROPKEY DEVPKEY_Device_DeviceDesc = {
    {0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}}, 2};
inline constexpr DEVPROPKEY DEVPKEY_Device_FriendlyName = {
    {0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}}, 14};
inline constexpr DEVPROPKEY DEVPKEY_Device_ProblemCode = {
    {0x4340a6c5, 0x93fa, 0x4706, {0x97, 0x2c, 0x7b, 0x64, 0x80, 0x08, 0xa5, 0xa7}}, 3};
inline constexpr DEVPROPKEY DEVPKEY_Device_Parent = {
    {0x4340a6c5, 0x93fa, 0x4706, {0x97, 0x2c, 0x7b, 0x64, 0x80, 0x08, 0xa5, 0xa7}}, 8};
inline constexpr DEVPROPKEY DEVPKEY_Device_Children = {
    {0x4340a6c5, 0x93fa, 0x4706, {0x97, 0x2c, 0x7b, 0x64, 0x80, 0x08, 0xa5, 0xa7}}, 9};
inline constexpr DEVPROPKEY DEVPKEY_Device_Siblings = {
    {0x4340a6c5, 0x93fa, 0x4706, {0x97, 0x2c, 0x7b, 0x64, 0x80, 0x08, 0xa5, 0xa7}}, 10};

extern "C" {
CONFIGRET CM_Locate_DevNodeW(PDEVINST pdnDevInst, DEVINSTID_W pDeviceID, ULONG ulFlags);
CONFIGRET CM_Get_DevNode_PropertyW(DEVINST dnDevInst, const DEVPROPKEY* PropertyKey,
                                   DEVPROPTYPE* PropertyType, PBYTE PropertyBuffer,
                                   PULONG PropertyBufferSize, ULONG ulFlags);
CONFIGRET CM_Get_Device_ID_List_SizeW(PULONG pulLen, PCWSTR pszFilter, ULONG ulFlags);
CONFIGRET CM_Get_Device_ID_ListW(PCWSTR pszFilter, PZZWSTR Buffer, ULONG BufferLen,
                                 ULONG ulFlags);
}

#endif
