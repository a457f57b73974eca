#include "platform/untSysUtils.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace {
thread_local DWORD tLastError = 0;
}

DWORD GetLastError() { return tLastError; }
void SetLastError(DWORD code) { tLastError = code; }

std::string SysErrorMessage(DWORD code) {
  switch (code) {
  case ERROR_SUCCESS: return "The operation completed successfully.";
  case ERROR_FILE_NOT_FOUND: return "The system cannot find the file specified.";
  case ERROR_ACCESS_DENIED: return "Access is denied.";
  case ERROR_INVALID_HANDLE: return "The handle is invalid.";
  case ERROR_NOT_ENOUGH_MEMORY: return "Not enough memory resources are available to process this command.";
  case ERROR_INVALID_PARAMETER: return "The parameter is incorrect.";
  case ERROR_INVALID_WINDOW_HANDLE: return "Invalid window handle.";
  case ERROR_INVALID_THREAD_ID: return "Invalid thread identifier.";
  default: break;
  }
  char buf[256];
  // GNU strerror_r returns the text (maybe not in buf).
  const char *text = strerror_r(static_cast<int>(code), buf, sizeof buf);
  return text != nullptr ? std::string(text) : Format("Unknown error %d", code);
}

EOSError::EOSError(DWORD code) : Exception(SysErrorMessage(code)), ErrorCode(code) {
  if (code == 0) Message = "A call to an OS function failed";
}

void RaiseLastOSError() { RaiseLastOSError(GetLastError()); }

void RaiseLastOSError(DWORD code) { throw EOSError(code); }

namespace {
[[noreturn]] void BadFormat(std::string_view fmt) {
  throw EConvertError(Format("Format '%s' invalid or incompatible with argument", std::string(fmt)));
}

template <class T> std::string Snprintf(const std::string &piece, T value) {
  int n = std::snprintf(nullptr, 0, piece.c_str(), value);
  if (n < 0) return {};
  std::string out(static_cast<size_t>(n) + 1, '\0');
  std::snprintf(out.data(), out.size(), piece.c_str(), value);
  out.resize(static_cast<size_t>(n));
  return out;
}
} // namespace

std::string FormatArgs(std::string_view fmt, const std::vector<TFormatArg> &args) {
  std::string out;
  size_t argIndex = 0;
  for (size_t i = 0; i < fmt.size(); ++i) {
    char c = fmt[i];
    if (c != '%') {
      out += c;
      continue;
    }
    if (i + 1 < fmt.size() && fmt[i + 1] == '%') {
      out += '%';
      ++i;
      continue;
    }
    // %[flags][width][.precision]conversion
    size_t j = i + 1;
    std::string piece = "%";
    while (j < fmt.size() && std::strchr("-+ 0#", fmt[j]) != nullptr) piece += fmt[j++];
    while (j < fmt.size() && std::isdigit(static_cast<unsigned char>(fmt[j]))) piece += fmt[j++];
    if (j < fmt.size() && fmt[j] == '.') {
      piece += fmt[j++];
      while (j < fmt.size() && std::isdigit(static_cast<unsigned char>(fmt[j]))) piece += fmt[j++];
    }
    if (j >= fmt.size() || argIndex >= args.size()) BadFormat(fmt);
    const char conv = static_cast<char>(std::tolower(static_cast<unsigned char>(fmt[j])));
    const TFormatArg &arg = args[argIndex++];
    switch (conv) {
    case 'd':
    case 'u':
    case 'x': {
      long long sv = 0;
      unsigned long long uv = 0;
      if (const auto *p = std::get_if<long long>(&arg)) {
        sv = *p;
        uv = static_cast<unsigned long long>(*p);
      } else if (const auto *q = std::get_if<unsigned long long>(&arg)) {
        uv = *q;
        sv = static_cast<long long>(*q);
      } else {
        BadFormat(fmt);
      }
      if (conv == 'd') {
        out += Snprintf(piece + "lld", sv);
      } else if (conv == 'u') {
        out += Snprintf(piece + "llu", uv);
      } else {
        // Hexadecimal digits are always upper case; a negative 32-bit value prints as its
        // two's complement of 32 bits, as the platform's 32-bit integers do.
        if (std::holds_alternative<long long>(arg) && sv < 0 && sv >= INT32_MIN)
          uv = static_cast<std::uint32_t>(sv);
        out += Snprintf(piece + "llX", uv);
      }
      break;
    }
    case 'f':
    case 'e':
    case 'g':
    case 'n': {
      double v = 0;
      if (const auto *p = std::get_if<double>(&arg)) v = *p;
      else BadFormat(fmt);
      out += Snprintf(piece + (conv == 'n' ? 'f' : conv), v);
      break;
    }
    case 's': {
      const auto *p = std::get_if<std::string>(&arg);
      if (p == nullptr) BadFormat(fmt);
      out += Snprintf(piece + "s", p->c_str());
      break;
    }
    default:
      BadFormat(fmt);
    }
    i = j;
  }
  return out;
}

std::string IntToStr(long long v) { return std::to_string(v); }

std::string Trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return std::string(s.substr(b, e - b));
}

std::string UpperCase(std::string_view s) {
  std::string r(s);
  for (char &c : r)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return r;
}

std::string LowerCase(std::string_view s) {
  std::string r(s);
  for (char &c : r)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return r;
}

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}
