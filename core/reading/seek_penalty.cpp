#include "core/reading/seek_penalty.h"

#include <windows.h>
#include <winioctl.h>

#include <cwchar>
#include <string>

#include "core/names/open_rules.h"

namespace {

// Returns whether the program runs under Wine, whose ntdll exports its own version. Wine
// opens a volume for every drive and answers some storage questions, but not this one: its
// files lie in the host's file system, and no driver of the volume knows the disk.
bool runs_under_wine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace

SeekAnswer volume_seek_penalty(const boost::filesystem::path& path) {
  const std::optional<std::wstring> name = name_to_open(path);
  if (!name) return SeekAnswer::NotAsked;
  // The folder where the volume is mounted, then the volume's own name, \\?\Volume{...}\,
  // which a share does not have; without its last '\' it opens the volume, not its root.
  std::wstring mount(name->size() + 2, L'\0');
  wchar_t volume[MAX_PATH] = {};
  if (!GetVolumePathNameW(name->c_str(), mount.data(), static_cast<DWORD>(mount.size())) ||
      !GetVolumeNameForVolumeMountPointW(mount.c_str(), volume, MAX_PATH)) {
    return SeekAnswer::NotAsked;
  }
  const std::size_t length = std::wcslen(volume);
  if (length > 0 && volume[length - 1] == L'\\') volume[length - 1] = L'\0';
  // No access asked: the storage properties need none, so no administrator is needed.
  const HANDLE device = CreateFileW(volume, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
  if (device == INVALID_HANDLE_VALUE) return SeekAnswer::NotAsked;
  STORAGE_PROPERTY_QUERY query{};
  query.PropertyId = StorageDeviceSeekPenaltyProperty;
  query.QueryType = PropertyStandardQuery;
  DEVICE_SEEK_PENALTY_DESCRIPTOR answer{};
  DWORD size = 0;
  const bool answered = DeviceIoControl(device, IOCTL_STORAGE_QUERY_PROPERTY, &query,
                                        sizeof query, &answer, sizeof answer, &size, nullptr) &&
                        size >= sizeof answer;
  CloseHandle(device);
  if (!answered) return runs_under_wine() ? SeekAnswer::NotAsked : SeekAnswer::NoAnswer;
  return answer.IncursSeekPenalty != FALSE ? SeekAnswer::Seeks : SeekAnswer::DoesNotSeek;
}
