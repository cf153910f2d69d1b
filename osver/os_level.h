// Classification of the running Windows version into one small integer.
#pragma once

namespace kq {

// A level is 0..13, 0 for a system older than XP. Above 9 (Windows 8 or
// later, or a server edition) the audio endpoints are device nodes of their
// own below the codec's interface (split audio).
inline bool SplitsAudio(int osLevel) { return osLevel > 9; }

// Pure classification over a version test, so it can be checked without
// Windows: `atLeast(major, minor, servicePackMajor)` and `isServer()`.
int ClassifyOsLevel(bool (*atLeast)(unsigned major, unsigned minor, unsigned servicePackMajor),
                    bool (*isServer)());

#ifdef _WIN32
// Runs every version test of the running system and returns its level.
int DetectOsLevel();
#endif

}  // namespace kq
