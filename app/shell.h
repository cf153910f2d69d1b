// Program-wide state of the shell and the procedures of the main window.
#pragma once

#include <windows.h>

#include <string>

#include "app/shell_logic.h"

namespace kq {

// Filled by wWinMain from string resources 103 and 109.
extern wchar_t windowTitle[100];
extern wchar_t windowClassName[100];

// Decided once at start-up, before the driver gate: the x86 program runs on
// a 64-bit machine (x64, IA-64 or ARM64), under WOW64, and must switch
// System32's redirection off to reach the 64-bit tools. Never set in the x64
// program, which sees the real System32 wherever it runs.
extern bool Is64BitOs;

// The driver gate's outcome: false only when the user declined the maker's
// WinKey/FSK drivers, or the program carries none for the processor. Every enumeration is told so.
extern bool McuDriversPresent;

// Whether the audio endpoints are device nodes of their own (SplitsAudio of
// the Windows version the gate classified). Every enumeration is told so.
extern bool SplitAudio;

// Read from the system metrics before the entry point runs.
extern int frameAllowanceX;
extern int frameAllowanceY;

extern HWND listBox;
extern HWND hintLabel;

// Instance IDs parallel to the list box rows, replaced at every refresh.
extern RowIds RowIdList;

extern PropertiesParameters propertiesParameters;

void RegisterMainWindowClass(HINSTANCE instance);
bool CreateMainWindow(HINSTANCE instance, int showCommand);

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void CALLBACK RefreshList(HWND window, UINT message, UINT_PTR timerId, DWORD time);
void CALLBACK HideHint(HWND window, UINT message, UINT_PTR timerId, DWORD time);

// Puts `text` on the clipboard as CF_UNICODETEXT; false when it could not.
bool PlaceTextOnClipboard(const std::wstring& text);

}  // namespace kq
