// Streams: TStream with TMemoryStream and TFileStream, as the platform's classes offer them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/untSysUtils.h"

enum TSeekOrigin { soBeginning, soCurrent, soEnd };

class EStreamError : public Exception { using Exception::Exception; };
class EFOpenError : public EStreamError { using EStreamError::EStreamError; };
class EFCreateError : public EStreamError { using EStreamError::EStreamError; };

class TStream : public TObject {
public:
  // Reads up to Count bytes; returns how many were read (0 at the end).
  virtual std::int64_t Read(void *Buffer, std::int64_t Count) = 0;
  // Writes Count bytes; returns how many were written.
  virtual std::int64_t Write(const void *Buffer, std::int64_t Count) = 0;
  virtual std::int64_t Seek(std::int64_t Offset, TSeekOrigin Origin) = 0;

  std::int64_t Position() { return Seek(0, soCurrent); }
  void SetPosition(std::int64_t Value) { Seek(Value, soBeginning); }
  virtual std::int64_t Size();
  virtual void SetSize(std::int64_t NewSize);

  // Read or write exactly Count bytes or raise EReadError ("Stream read error") / EWriteError.
  void ReadBuffer(void *Buffer, std::int64_t Count);
  void WriteBuffer(const void *Buffer, std::int64_t Count);
  // Copies Count bytes from Source (all of it from its start when Count is 0); returns the count.
  std::int64_t CopyFrom(TStream &Source, std::int64_t Count);
};

class TMemoryStream : public TStream {
public:
  std::int64_t Read(void *Buffer, std::int64_t Count) override;
  std::int64_t Write(const void *Buffer, std::int64_t Count) override;
  std::int64_t Seek(std::int64_t Offset, TSeekOrigin Origin) override;
  std::int64_t Size() override { return static_cast<std::int64_t>(FData.size()); }
  void SetSize(std::int64_t NewSize) override;
  void Clear();

  const std::uint8_t *Memory() const { return FData.data(); }
  std::uint8_t *Memory() { return FData.data(); }
  const std::vector<std::uint8_t> &Bytes() const { return FData; }

  void LoadFromStream(TStream &Stream);
  void LoadFromFile(const std::string &FileName);
  void SaveToStream(TStream &Stream);
  void SaveToFile(const std::string &FileName); // written to a temporary file and renamed

private:
  std::vector<std::uint8_t> FData;
  std::int64_t FPosition = 0;
};

// File modes, as combinations of the platform's constants.
constexpr UINT fmOpenRead = 0x0000;
constexpr UINT fmOpenWrite = 0x0001;
constexpr UINT fmOpenReadWrite = 0x0002;
constexpr UINT fmShareDenyWrite = 0x0020;
constexpr UINT fmCreate = 0xFF00;

// A file opened by UTF-8 name. fmCreate creates or truncates. Errors raise EFOpenError /
// EFCreateError with the file name and the system's reason.
class TFileStream : public TStream {
public:
  TFileStream(const std::string &FileName, UINT Mode);
  ~TFileStream() override;
  TFileStream(const TFileStream &) = delete;
  TFileStream &operator=(const TFileStream &) = delete;

  std::int64_t Read(void *Buffer, std::int64_t Count) override;
  std::int64_t Write(const void *Buffer, std::int64_t Count) override;
  std::int64_t Seek(std::int64_t Offset, TSeekOrigin Origin) override;
  void SetSize(std::int64_t NewSize) override;
  const std::string &FileName() const { return FFileName; }
  int Handle() const { return FHandle; }
  // Flushes written data to the disk (fsync); raises EWriteError on failure.
  void Flush();

private:
  std::string FFileName;
  int FHandle = -1;
};

// Path helpers for UTF-8 file names.
std::filesystem::path PathFromUtf8(const std::string &FileName);
std::string Utf8FromPath(const std::filesystem::path &Path);

// Writes Data to FileName through a temporary file in the same folder that is flushed and renamed
// over the target (a symbolic link is followed to its real file; the target's permissions are
// kept), so a failure leaves the old file as it was. Raises EWriteError/EFCreateError on failure.
// A temporary file of the same target that an earlier save left when its process died is removed
// after the rename (one that another running save holds stays).
void WriteFileAtomically(const std::string &FileName, const void *Data, std::size_t Size);
