// The helpers the Windows files of the platform layer share.
#include "platform/windows_support.h"

namespace vdqrn {
namespace platform {
namespace windows {

std::wstring Widen(const std::string& text, UINT codePage) {
  if (text.empty()) return std::wstring();
  const int length = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
  if (length > 0) {
    MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                        length);
  }
  return wide;
}

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
  if (length > 0) {
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(),
                        length, nullptr, nullptr);
  }
  return narrow;
}

namespace {
UINT g_testCodePage = 0;
}  // namespace

UINT FileApiCodePage() {
  if (g_testCodePage != 0) return g_testCodePage;
  return AreFileApisANSI() ? CP_ACP : CP_OEMCP;
}

void SetFileApiCodePageForTesting(UINT codePage) { g_testCodePage = codePage; }

std::wstring ForFileSystem(std::wstring path) {
  if (path.size() < MAX_PATH - 12 || path.rfind(L"\\\\?\\", 0) == 0) return path;
  for (wchar_t& c : path) c = c == L'/' ? L'\\' : c;  // the prefix takes no other separator
  if (path.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + path.substr(2);
  return L"\\\\?\\" + path;
}

// The full path of a loaded module (null: the program), at any length.
std::wstring ModulePath(HMODULE module) {
  std::wstring buffer(MAX_PATH, L'\0');
  while (buffer.size() <= 32768) {
    const DWORD length = GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return std::wstring();
    if (length < buffer.size()) return buffer.substr(0, length);
    buffer.assign(buffer.size() * 2, L'\0');
  }
  return std::wstring();
}

std::wstring FolderOf(const std::wstring& file) {
  const std::size_t separator = file.find_last_of(L"\\/");
  return separator == std::wstring::npos ? std::wstring() : file.substr(0, separator);
}

std::string SystemError(const char* what) {
  return std::string(what) + " (error " + std::to_string(GetLastError()) + ")";
}

}  // namespace windows
}  // namespace platform
}  // namespace vdqrn
