#include "platform/sim/text.h"

#include <algorithm>
#include <map>

namespace sim {

namespace {

// 0x80..0x9F of Windows-1252; the five holes map to the C1 controls, as Windows does.
constexpr WCHAR kHigh[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                             0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                             0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                             0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

}  // namespace

std::string lowerAscii(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; });
  return text;
}

bool equalsIgnoreCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && lowerAscii(a) == lowerAscii(b);
}

WCHAR cp1252ToWide(unsigned char byte) {
  return (byte >= 0x80 && byte <= 0x9F) ? kHigh[byte - 0x80] : static_cast<WCHAR>(byte);
}

bool wideToCp1252(WCHAR wide, unsigned char* byte) {
  if (wide < 0x80 || (wide >= 0xA0 && wide <= 0xFF)) {
    *byte = static_cast<unsigned char>(wide);
    return true;
  }
  for (int i = 0; i < 32; ++i) {
    if (kHigh[i] == wide) {
      *byte = static_cast<unsigned char>(0x80 + i);
      return true;
    }
  }
  return false;
}

std::string systemErrorText(DWORD code) {
  static const std::map<DWORD, const char*> texts = {
      {ERROR_SUCCESS, "The operation completed successfully."},
      {ERROR_INVALID_FUNCTION, "Incorrect function."},
      {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
      {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
      {ERROR_ACCESS_DENIED, "Access is denied."},
      {ERROR_INVALID_HANDLE, "The handle is invalid."},
      {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command."},
      {ERROR_BAD_COMMAND, "The device does not recognize the command."},
      {ERROR_CRC, "Data error (cyclic redundancy check)."},
      {ERROR_GEN_FAILURE, "A device attached to the system is not functioning."},
      {ERROR_NOT_SUPPORTED, "The request is not supported."},
      {ERROR_DEV_NOT_EXIST, "The specified network resource or device is no longer available."},
      {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
      {ERROR_SEM_TIMEOUT, "The semaphore timeout period has expired."},
      {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small."},
      {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect."},
      {ERROR_MOD_NOT_FOUND, "The specified module could not be found."},
      {ERROR_PROC_NOT_FOUND, "The specified procedure could not be found."},
      {ERROR_MORE_DATA, "More data is available."},
      {ERROR_NO_MORE_ITEMS, "No more data is available."},
      {WAIT_TIMEOUT, "The wait operation timed out."},
      {ERROR_OPERATION_ABORTED, "The I/O operation has been aborted because of either a thread exit or an application request."},
      {ERROR_IO_INCOMPLETE, "Overlapped I/O event is not in a signaled state."},
      {ERROR_IO_PENDING, "Overlapped I/O operation is in progress."},
      {ERROR_NOACCESS, "Invalid access to memory location."},
      {ERROR_NO_SUCH_DEVICE, "A device which does not exist was specified."},
      {ERROR_DEVICE_NOT_CONNECTED, "The device is not connected."},
      {ERROR_DEVICE_REMOVED, "The device has been removed."},
      {ERROR_NOT_FOUND, "Element not found."},
      {ERROR_BAD_DEVICE, "The specified device name is invalid."},
      {ERROR_INVALID_WINDOW_HANDLE, "Invalid window handle."},
      {ERROR_TIMEOUT, "This operation returned because the timeout period expired."},
  };
  auto it = texts.find(code);
  return it == texts.end() ? std::string() : std::string(it->second) + "\r\n";
}

}  // namespace sim
