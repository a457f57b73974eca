#include "platform/untClasses.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The system's own text for an errno value ("No such file or directory"); SysErrorMessage speaks
// of the platform's error codes, whose numbers mean other things.
std::string ErrnoText(int Err) {
  char buf[256];
  const char *text = strerror_r(Err, buf, sizeof buf); // GNU: returns the text, maybe not in buf
  return text != nullptr ? std::string(text) : "Unknown error " + std::to_string(Err);
}

} // namespace

std::int64_t TStream::Size() {
  const std::int64_t pos = Seek(0, soCurrent);
  const std::int64_t size = Seek(0, soEnd);
  Seek(pos, soBeginning);
  return size;
}

void TStream::SetSize(std::int64_t) { throw EStreamError("Stream size cannot be changed"); }

void TStream::ReadBuffer(void *Buffer, std::int64_t Count) {
  auto *p = static_cast<std::uint8_t *>(Buffer);
  std::int64_t done = 0;
  while (done < Count) {
    const std::int64_t n = Read(p + done, Count - done);
    if (n <= 0) throw EReadError("Stream read error");
    done += n;
  }
}

void TStream::WriteBuffer(const void *Buffer, std::int64_t Count) {
  const auto *p = static_cast<const std::uint8_t *>(Buffer);
  std::int64_t done = 0;
  while (done < Count) {
    const std::int64_t n = Write(p + done, Count - done);
    if (n <= 0) throw EWriteError("Stream write error");
    done += n;
  }
}

std::int64_t TStream::CopyFrom(TStream &Source, std::int64_t Count) {
  if (Count == 0) {
    Source.SetPosition(0);
    Count = Source.Size();
  }
  std::vector<std::uint8_t> buf(static_cast<size_t>(std::min<std::int64_t>(Count, 1 << 20)));
  std::int64_t left = Count;
  while (left > 0) {
    const std::int64_t n = std::min<std::int64_t>(left, static_cast<std::int64_t>(buf.size()));
    Source.ReadBuffer(buf.data(), n);
    WriteBuffer(buf.data(), n);
    left -= n;
  }
  return Count;
}

std::int64_t TMemoryStream::Read(void *Buffer, std::int64_t Count) {
  if (Count <= 0 || FPosition >= Size()) return 0;
  const std::int64_t n = std::min(Count, Size() - FPosition);
  std::memcpy(Buffer, FData.data() + FPosition, static_cast<size_t>(n));
  FPosition += n;
  return n;
}

std::int64_t TMemoryStream::Write(const void *Buffer, std::int64_t Count) {
  if (Count <= 0) return 0;
  if (FPosition + Count > Size()) FData.resize(static_cast<size_t>(FPosition + Count));
  std::memcpy(FData.data() + FPosition, Buffer, static_cast<size_t>(Count));
  FPosition += Count;
  return Count;
}

std::int64_t TMemoryStream::Seek(std::int64_t Offset, TSeekOrigin Origin) {
  std::int64_t base = Origin == soBeginning ? 0 : Origin == soCurrent ? FPosition : Size();
  const std::int64_t pos = base + Offset;
  if (pos < 0) throw EStreamError("Invalid stream position");
  FPosition = pos;
  return FPosition;
}

void TMemoryStream::SetSize(std::int64_t NewSize) {
  if (NewSize < 0) throw EStreamError("Invalid stream size");
  FData.resize(static_cast<size_t>(NewSize));
  if (FPosition > NewSize) FPosition = NewSize;
}

void TMemoryStream::Clear() {
  FData.clear();
  FData.shrink_to_fit();
  FPosition = 0;
}

void TMemoryStream::LoadFromStream(TStream &Stream) {
  Stream.SetPosition(0);
  const std::int64_t n = Stream.Size();
  std::vector<std::uint8_t> data(static_cast<size_t>(n));
  if (n > 0) Stream.ReadBuffer(data.data(), n);
  FData.swap(data);
  FPosition = 0;
}

void TMemoryStream::LoadFromFile(const std::string &FileName) {
  TFileStream f(FileName, fmOpenRead | fmShareDenyWrite);
  LoadFromStream(f);
}

void TMemoryStream::SaveToStream(TStream &Stream) {
  if (!FData.empty()) Stream.WriteBuffer(FData.data(), Size());
}

void TMemoryStream::SaveToFile(const std::string &FileName) {
  WriteFileAtomically(FileName, FData.data(), FData.size());
}

TFileStream::TFileStream(const std::string &FileName, UINT Mode) : FFileName(FileName) {
  const auto path = PathFromUtf8(FileName);
  if (Mode == fmCreate) {
    FHandle = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (FHandle < 0)
      throw EFCreateError(Format("Cannot create \"%s\": %s", FileName, ErrnoText(errno)));
    return;
  }
  int flags = O_CLOEXEC;
  switch (Mode & 3) {
  case fmOpenWrite: flags |= O_WRONLY; break;
  case fmOpenReadWrite: flags |= O_RDWR; break;
  default: flags |= O_RDONLY; break;
  }
  // Without a writer, opening a FIFO for reading would wait for ever: open without waiting, and
  // refuse anything but a regular file before a byte is read.
  FHandle = ::open(path.c_str(), flags | O_NONBLOCK);
  if (FHandle < 0)
    throw EFOpenError(Format("Cannot open \"%s\": %s", FileName, ErrnoText(errno)));
  struct stat st {};
  if (::fstat(FHandle, &st) == 0 && !S_ISREG(st.st_mode)) {
    ::close(FHandle);
    FHandle = -1;
    if (S_ISDIR(st.st_mode)) throw EFOpenError(Format("Cannot open \"%s\": %s", FileName, ErrnoText(EISDIR)));
    throw EFOpenError(Format("Cannot open \"%s\": not a regular file (%s)", FileName,
                             std::string(S_ISFIFO(st.st_mode) ? "a FIFO" : S_ISSOCK(st.st_mode) ? "a socket" : "a device")));
  }
  ::fcntl(FHandle, F_SETFL, ::fcntl(FHandle, F_GETFL) & ~O_NONBLOCK);
}

TFileStream::~TFileStream() {
  if (FHandle >= 0) ::close(FHandle);
}

std::int64_t TFileStream::Read(void *Buffer, std::int64_t Count) {
  if (Count <= 0) return 0;
  for (;;) {
    const ssize_t n = ::read(FHandle, Buffer, static_cast<size_t>(Count));
    if (n >= 0) return n;
    if (errno != EINTR) throw EReadError(Format("Error reading \"%s\": %s", FFileName, ErrnoText(errno)));
  }
}

std::int64_t TFileStream::Write(const void *Buffer, std::int64_t Count) {
  if (Count <= 0) return 0;
  for (;;) {
    const ssize_t n = ::write(FHandle, Buffer, static_cast<size_t>(Count));
    if (n >= 0) return n;
    if (errno != EINTR) throw EWriteError(Format("Error writing \"%s\": %s", FFileName, ErrnoText(errno)));
  }
}

std::int64_t TFileStream::Seek(std::int64_t Offset, TSeekOrigin Origin) {
  const int whence = Origin == soBeginning ? SEEK_SET : Origin == soCurrent ? SEEK_CUR : SEEK_END;
  const off_t r = ::lseek(FHandle, Offset, whence);
  if (r < 0) throw EStreamError(Format("Cannot seek in \"%s\": %s", FFileName, ErrnoText(errno)));
  return r;
}

void TFileStream::SetSize(std::int64_t NewSize) {
  if (::ftruncate(FHandle, NewSize) != 0)
    throw EWriteError(Format("Cannot resize \"%s\": %s", FFileName, ErrnoText(errno)));
}

void TFileStream::Flush() {
  if (::fsync(FHandle) != 0)
    throw EWriteError(Format("Error writing \"%s\": %s", FFileName, ErrnoText(errno)));
}

std::filesystem::path PathFromUtf8(const std::string &FileName) {
  return std::filesystem::path(std::u8string(FileName.begin(), FileName.end()));
}

std::string Utf8FromPath(const std::filesystem::path &Path) {
  const std::u8string s = Path.u8string();
  return std::string(s.begin(), s.end());
}

namespace {
// The process's file-creation mask, read without changing it (umask() itself would briefly change
// it for every thread).
mode_t CurrentUmask() {
  if (FILE *f = std::fopen("/proc/self/status", "r")) {
    char line[256];
    unsigned mask = 022;
    while (std::fgets(line, sizeof line, f) != nullptr)
      if (std::sscanf(line, "Umask: %o", &mask) == 1) break;
    std::fclose(f);
    return static_cast<mode_t>(mask);
  }
  return 022;
}
} // namespace

namespace {

// Marks the temporary files of WriteFileAtomically: ".<name>" + kTempMark + 6 random characters.
constexpr const char *kTempMark = ".ksave.";

// Removes the temporary files a save of the same target left when its process died (killed, or
// the power went) before the rename. A temporary file whose save is still running is locked by
// it and stays.
void RemoveStaleTemporaries(const std::filesystem::path &Dir, const std::string &Prefix) {
  std::error_code ec;
  for (std::filesystem::directory_iterator it(Dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.size() != Prefix.size() + 6 || name.compare(0, Prefix.size(), Prefix) != 0) continue;
    const int fd = ::open(it->path().c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) continue;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0)
      ::unlink(it->path().c_str());
    ::close(fd);
  }
}

} // namespace

void WriteFileAtomically(const std::string &FileName, const void *Data, std::size_t Size) {
  namespace fs = std::filesystem;
  fs::path target = PathFromUtf8(FileName);
  std::error_code ec;
  // Follow symbolic links so that the link stays and its real file is replaced.
  for (int hops = 0; hops < 40 && fs::is_symlink(fs::symlink_status(target, ec)); ++hops) {
    fs::path next = fs::read_symlink(target, ec);
    if (ec) break;
    target = next.is_absolute() ? next : target.parent_path() / next;
  }
  const fs::path dir = target.has_parent_path() ? target.parent_path() : fs::path(".");
  // The temporary name is the target's with a dot before and a marked random end; a name near
  // the length limit is shortened, so that every file that can exist can also be replaced.
  std::string base = target.filename().string();
  constexpr std::size_t kNameMax = 255, kAdded = 1 + std::char_traits<char>::length(kTempMark) + 6;
  if (base.size() + kAdded > kNameMax) base.resize(kNameMax - kAdded - 16);
  const std::string prefix = "." + base + kTempMark;
  std::string tmpl = (dir / (prefix + "XXXXXX")).string();
  const int fd = ::mkstemp(tmpl.data());
  if (fd < 0)
    throw EFCreateError(Format("Cannot create \"%s\": %s", FileName, ErrnoText(errno)));
  // Held while the temporary file is ours, so that another save's clean-up leaves it alone.
  const int lockFd = ::open(tmpl.c_str(), O_RDONLY | O_CLOEXEC);
  if (lockFd >= 0) ::flock(lockFd, LOCK_EX);
  auto fail = [&](int err) {
    ::close(fd);
    ::unlink(tmpl.c_str());
    if (lockFd >= 0) ::close(lockFd);
    throw EWriteError(Format("Error writing \"%s\": %s", FileName, ErrnoText(err)));
  };
  const auto *p = static_cast<const std::uint8_t *>(Data);
  std::size_t done = 0;
  while (done < Size) {
    const ssize_t n = ::write(fd, p + done, Size - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail(errno);
    }
    done += static_cast<std::size_t>(n);
  }
  struct stat st {};
  mode_t mode = 0666 & ~CurrentUmask();
  if (::stat(target.c_str(), &st) == 0) mode = st.st_mode & 07777;
  if (::fchmod(fd, mode) != 0) fail(errno);
  if (::fsync(fd) != 0) fail(errno);
  if (::close(fd) != 0) {
    const int err = errno;
    ::unlink(tmpl.c_str());
    if (lockFd >= 0) ::close(lockFd);
    throw EWriteError(Format("Error writing \"%s\": %s", FileName, ErrnoText(err)));
  }
  if (::rename(tmpl.c_str(), target.c_str()) != 0) {
    const int err = errno;
    ::unlink(tmpl.c_str());
    if (lockFd >= 0) ::close(lockFd);
    throw EWriteError(Format("Error writing \"%s\": %s", FileName, ErrnoText(err)));
  }
  if (lockFd >= 0) ::close(lockFd);
  RemoveStaleTemporaries(dir, prefix);
  // Make the rename itself durable; the file is complete either way, so a failure here is moot.
  const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
}
