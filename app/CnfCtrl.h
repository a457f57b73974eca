// The configuration-store component: reads and writes settings in an ini store that exists only
// while the component is active.
//
// Activations nest: the store opens when the count goes from 0 to 1 and closes when it comes back
// to 0, so callers bracket each use with Active true … false. String values are protected by
// quotes: a value that starts or ends with a blank, a control character or a double quote is
// written in double quotes, which reading removes again (the store itself trims such characters).
//
// Main thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "app/WideIniFile.h"
#include "platform/untObjects.h"

class TConfControl : public TComponent {
public:
  explicit TConfControl(TComponent *AOwner = nullptr);
  ~TConfControl() override;

  bool Active() const { return FActiveCount > 0; }
  // True raises the activation count (opening the store at the first); false lowers it (closing
  // the store at the last). A failed open leaves the count as it was; a failed close still ends
  // the activation and frees the store before the error passes on.
  void SetActive(bool Value);
  std::int32_t ActiveCount() const { return FActiveCount; }

  // 8-bit values, stored as they are apart from the quoting.
  std::string ReadString(std::string_view Section, std::string_view Ident, std::string_view Default);
  void WriteString(std::string_view Section, std::string_view Ident, std::string_view Value);
  // Wide (UTF-8) values, stored as UTF-8 without any mark; a stored value that is not valid UTF-8
  // (a hand-edited file) is read as Windows-1252.
  std::string ReadWideString(std::string_view Section, std::string_view Ident, std::string_view Default);
  void WriteWideString(std::string_view Section, std::string_view Ident, std::string_view Value);
  std::int32_t ReadInteger(std::string_view Section, std::string_view Ident, std::int32_t Default);
  void WriteInteger(std::string_view Section, std::string_view Ident, std::int32_t Value);

  // The section and key of the last access.
  const std::string &LastSection() const { return FSection; }
  const std::string &LastKey() const { return FKey; }

  // The quoting rule, on its own.
  static std::string QuoteValue(std::string_view Value);
  static std::string UnquoteValue(std::string_view Stored);

protected:
  // Opens (true) or closes (false) the store; called by SetActive. Nothing in the base class.
  virtual void OpenClose(bool aOpen);
  // The open store; raises EInvalidOperation while the component is not active.
  TWideFileMemIniFile &Store();
  void Remember(std::string_view Section, std::string_view Ident);

  std::unique_ptr<TWideFileMemIniFile> FStore; // present while active
  std::int32_t FActiveCount = 0;
  bool FAutoUpdateFile = false;
  std::string FDestination; // 8-bit name of the store's file
  std::string FSection;
  std::string FKey;
};
