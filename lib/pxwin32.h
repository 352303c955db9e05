// Windows helpers of the library: owners for what the platform hands out (local
// memory, registry keys, loaded libraries), and device-name conversion.
#pragma once

#include <string>

#include "platform/win32.h"

// Local memory, zero-filled; released with the owner. Data() is null when the
// allocation failed.
class TpxLocalBuffer {
 public:
  explicit TpxLocalBuffer(SIZE_T size)
      : memory_(win::LocalAlloc(LPTR, size)), size_(memory_ ? size : 0) {}
  ~TpxLocalBuffer() {
    if (memory_) win::LocalFree(memory_);
  }
  TpxLocalBuffer(const TpxLocalBuffer&) = delete;
  TpxLocalBuffer& operator=(const TpxLocalBuffer&) = delete;

  BYTE* Data() const { return static_cast<BYTE*>(memory_); }
  SIZE_T Size() const { return size_; }

 private:
  HLOCAL memory_;
  SIZE_T size_;
};

// An open registry key, closed with the owner.
class TpxRegKey {
 public:
  TpxRegKey() = default;
  explicit TpxRegKey(HKEY key) : key_(key) {}
  ~TpxRegKey() {
    if (Valid()) win::RegCloseKey(key_);
  }
  TpxRegKey(const TpxRegKey&) = delete;
  TpxRegKey& operator=(const TpxRegKey&) = delete;

  bool Valid() const { return key_ && key_ != reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE); }
  HKEY Get() const { return key_; }
  HKEY* Receive() { return &key_; }

 private:
  HKEY key_ = nullptr;
};

// A library loaded for the owner's lifetime.
class TpxLibrary {
 public:
  explicit TpxLibrary(const char* name) : module_(win::LoadLibraryA(name)) {}
  ~TpxLibrary() {
    if (module_) win::FreeLibrary(module_);
  }
  TpxLibrary(const TpxLibrary&) = delete;
  TpxLibrary& operator=(const TpxLibrary&) = delete;

  HMODULE Get() const { return module_; }

 private:
  HMODULE module_;
};

// A symbolic link name (\??\USB#VID_1234&PID_5678#serial#{class}) in the form of a
// device instance ID followed by the interface class (USB\VID_1234&PID_5678\serial\{class}).
void SymbolicNameToDeviceId(const std::string& Name, std::string& Id);
