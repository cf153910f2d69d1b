#include "drivers/driver_store.h"

namespace kq {

std::optional<std::wstring> ComposePath(std::wstring_view folder, std::wstring_view name) {
  if (folder.empty() || folder.size() + name.size() >= kPathBufferUnits) return std::nullopt;
  std::wstring path(folder);
  path += name;
  return path;
}

bool MatchesProbePrefix(std::wstring_view entryName, std::wstring_view name) {
  if (name.size() < 2 || name.front() != L'\\') return false;
  const std::wstring_view prefix = name.substr(1, name.size() - 2);
  return entryName.substr(0, prefix.size()) == prefix;
}

DriverState ClassifyDriverStore(const std::function<bool(const wchar_t* name)>& probe) {
  if (!probe(L"\\ftdibus.inf_*") || !probe(L"\\ftdiport.inf_*")) return DriverState::FtdiMissing;
  if (!probe(L"\\kq_6200_winkey.inf*") || !probe(L"\\kq_6200_fsk.inf*"))
    return DriverState::DeviceDriversMissing;
  return DriverState::AllPresent;
}

bool PollForFile(const std::function<bool()>& probe, const std::function<void(unsigned ms)>& sleep) {
  constexpr int kLooks = 15;
  constexpr unsigned kPauseMs = 2000;
  for (int look = 0; look < kLooks; ++look) {
    if (probe()) return true;
    sleep(kPauseMs);
  }
  return false;
}

}  // namespace kq
