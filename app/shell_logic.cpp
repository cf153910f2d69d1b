#include "app/shell_logic.h"

namespace kq {

int MessageLoopExitCode(long lastGetMessageResult, unsigned long long wParam) {
  return lastGetMessageResult < 0 ? 1 : static_cast<int>(wParam);
}

int FrameAllowanceX(int paddedBorder) { return 4 * paddedBorder; }

int FrameAllowanceY(int frameHeight, int captionHeight, int frameAllowanceX) {
  return (frameHeight + captionHeight) * 9 / 10 + frameAllowanceX;
}

MainLayout ComputeMainLayout(int frameAllowanceX, int frameAllowanceY) {
  MainLayout layout;
  layout.clientWidth = kMainWindowWidth - frameAllowanceX;
  layout.clientHeight = kMainWindowHeight - frameAllowanceY;
  const int w = layout.clientWidth;
  const int h = layout.clientHeight;
  const int buttonTop = h - kButtonHeight - 5;

  layout.copyButton = {5, buttonTop, kButtonWidth, kButtonHeight};
  layout.exitButton = {w - kButtonWidth - 5, buttonTop, kButtonWidth, kButtonHeight};
  layout.portList = {5, 0, w - 10, h - kButtonHeight};
  layout.hintLabel = {kButtonWidth + 35, buttonTop, w - 2 * (kButtonWidth + 35),
                      kButtonHeight / 2};
  return layout;
}

WindowOrigin CentreMainWindow(int desktopRight, int desktopBottom) {
  // Integer division truncates toward zero, also for negative differences.
  return {(desktopRight - kMainWindowWidth) / 2, (desktopBottom - kMainWindowHeight) / 2};
}

std::wstring ClipboardText(const ReportList& report) {
  std::size_t length = 0;
  for (const ReportLine& line : report) length += line.text.size() + 1;

  std::wstring text;
  text.reserve(length);
  for (const ReportLine& line : report) {
    text += line.text;
    text += L'\n';
  }
  return text;
}

std::optional<std::wstring_view> SelectedDeviceId(const RowIds& rows, long long row) {
  // LB_ERR (-1) becomes huge as an unsigned index and fails the bound.
  if (static_cast<unsigned long long>(row) >= rows.size()) return std::nullopt;
  const std::wstring& id = rows[static_cast<std::size_t>(row)];
  if (id.empty()) return std::nullopt;
  return std::wstring_view(id);
}

void PreparePropertiesParameters(PropertiesParameters& parameters) {
  parameters.text.fill(L'\0');
  kPropertiesPrefix.copy(parameters.text.data(), kPropertiesPrefix.size());
  parameters.idInsertPoint = kPropertiesPrefix.size();
}

bool SetPropertiesDeviceId(PropertiesParameters& parameters, std::wstring_view id) {
  const std::size_t room = parameters.text.size() - parameters.idInsertPoint - 1;
  if (id.size() > room) return false;
  id.copy(parameters.text.data() + parameters.idInsertPoint, id.size());
  parameters.text[parameters.idInsertPoint + id.size()] = L'\0';
  return true;
}

}  // namespace kq
