// Basic types, the exception hierarchy, per-thread last error and Format.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "platform/untObjects.h"

using DWORD = std::uint32_t;
using UINT = std::uint32_t;
using BOOL = int;
using HWND = std::intptr_t;       // a window handle: an integer from the handle table, 0 = none
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;

// Error codes the platform layer reports through GetLastError. They keep the values the file
// formats and messages of the system were written against.
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;
constexpr DWORD ERROR_INVALID_THREAD_ID = 1444;

// The root of every error the system raises. Message is UTF-8.
class Exception : public TObject, public std::exception {
public:
  explicit Exception(std::string message) : Message(std::move(message)) {}
  const char *what() const noexcept override { return Message.c_str(); }
  std::string Message;
};

// The silent exception: ends work without a message.
class EAbort : public Exception {
public:
  EAbort() : Exception("Operation aborted") {}
  explicit EAbort(std::string message) : Exception(std::move(message)) {}
};

class EOSError : public Exception {
public:
  explicit EOSError(DWORD code);
  EOSError(DWORD code, std::string message) : Exception(std::move(message)), ErrorCode(code) {}
  DWORD ErrorCode = 0;
};

class EConvertError : public Exception { using Exception::Exception; };
class EOutOfMemory : public Exception { using Exception::Exception; };
class EReadError : public Exception { using Exception::Exception; };
class EWriteError : public Exception { using Exception::Exception; };
class EInvalidOperation : public Exception { using Exception::Exception; };
class EListError : public Exception { using Exception::Exception; };
class EThread : public Exception { using Exception::Exception; };

// Per-thread last error, as the system calls of the platform set it.
DWORD GetLastError();
void SetLastError(DWORD code);

// The system's text for an error code: the platform's own codes above get their usual texts,
// anything else is taken as an errno value.
std::string SysErrorMessage(DWORD code);

// Throws EOSError for the calling thread's last error.
[[noreturn]] void RaiseLastOSError();
[[noreturn]] void RaiseLastOSError(DWORD code);

// Format with the platform's printf-like rules for the specifiers the system uses: %d (any integer
// width), %s, %f/%e/%g with precision, %x/%X (always upper-case digits), %u, %%, "*" widths are
// not supported. A mismatched argument raises EConvertError.
using TFormatArg = std::variant<long long, unsigned long long, double, std::string>;
std::string FormatArgs(std::string_view fmt, const std::vector<TFormatArg> &args);

namespace detail {
template <class T> TFormatArg ToFormatArg(const T &v) {
  if constexpr (std::is_same_v<T, bool>) {
    return static_cast<long long>(v);
  } else if constexpr (std::is_integral_v<T> || std::is_enum_v<T>) {
    if constexpr (std::is_enum_v<T>) {
      return static_cast<long long>(v);
    } else if constexpr (std::is_signed_v<T>) {
      return static_cast<long long>(v);
    } else {
      return static_cast<unsigned long long>(v);
    }
  } else if constexpr (std::is_floating_point_v<T>) {
    return static_cast<double>(v);
  } else {
    return std::string(std::string_view(v));
  }
}
} // namespace detail

template <class... A> std::string Format(std::string_view fmt, const A &...args) {
  return FormatArgs(fmt, std::vector<TFormatArg>{detail::ToFormatArg(args)...});
}

// Small string helpers the units share.
std::string IntToStr(long long v);
std::string Trim(std::string_view s);
std::string UpperCase(std::string_view s); // ASCII only, like the platform's UpperCase
std::string LowerCase(std::string_view s);
bool SameText(std::string_view a, std::string_view b); // ASCII case-insensitive
