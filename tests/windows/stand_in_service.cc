// A minimal Windows service that stands in for Cryptographic Services in the
// end-to-end tests: it runs until it is told to stop. While a file named
// "fail-start" stands beside its executable, it stops at once with an error,
// so that starting it fails.
#include <windows.h>

#include <string>

namespace {

SERVICE_STATUS_HANDLE status_handle;
HANDLE stop_event;

void Report(DWORD state, DWORD exit_code = NO_ERROR) {
  SERVICE_STATUS status = {};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
  status.dwWin32ExitCode = exit_code;
  SetServiceStatus(status_handle, &status);
}

bool ShouldFailToStart() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring marker(path, length);
  marker = marker.substr(0, marker.find_last_of(L'\\') + 1) + L"fail-start";
  return GetFileAttributesW(marker.c_str()) != INVALID_FILE_ATTRIBUTES;
}

DWORD WINAPI HandleControl(DWORD control, DWORD, void*, void*) {
  if (control == SERVICE_CONTROL_STOP) {
    Report(SERVICE_STOP_PENDING);
    SetEvent(stop_event);
  }
  return NO_ERROR;
}

void WINAPI ServiceMain(DWORD, wchar_t**) {
  status_handle = RegisterServiceCtrlHandlerExW(L"cryptsvc", HandleControl, nullptr);
  if (ShouldFailToStart()) {
    Report(SERVICE_STOPPED, ERROR_SERVICE_SPECIFIC_ERROR);
    return;
  }
  stop_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  Report(SERVICE_RUNNING);
  WaitForSingleObject(stop_event, INFINITE);
  Report(SERVICE_STOPPED);
}

}  // namespace

int wmain() {
  wchar_t name[] = L"cryptsvc";
  SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
