#include "app/CnfCtrl.h"

#include "platform/untSysUtils.h"

namespace {
bool NeedsQuotes(char C) { return C == '"' || static_cast<unsigned char>(C) <= ' '; }
} // namespace

TConfControl::TConfControl(TComponent *AOwner) : TComponent(AOwner) {}

// A store still open at destruction is discarded: writing belongs to the last deactivation.
TConfControl::~TConfControl() = default;

void TConfControl::SetActive(bool Value) {
  if (Value) {
    if (FActiveCount == 0) OpenClose(true);
    ++FActiveCount;
  } else if (FActiveCount > 0) {
    if (--FActiveCount == 0) OpenClose(false);
  }
}

void TConfControl::OpenClose(bool) {}

TWideFileMemIniFile &TConfControl::Store() {
  if (FStore == nullptr)
    throw EInvalidOperation(Format("%s: the configuration is not open (\"%s\" / \"%s\")",
                                   Name().empty() ? ClassName() : Name(), FSection, FKey));
  return *FStore;
}

void TConfControl::Remember(std::string_view Section, std::string_view Ident) {
  FSection = std::string(Section);
  FKey = std::string(Ident);
}

std::string TConfControl::QuoteValue(std::string_view Value) {
  if (!Value.empty() && (NeedsQuotes(Value.front()) || NeedsQuotes(Value.back())))
    return "\"" + std::string(Value) + "\"";
  return std::string(Value);
}

std::string TConfControl::UnquoteValue(std::string_view Stored) {
  if (Stored.size() > 1 && Stored.front() == '"' && Stored.back() == '"')
    return std::string(Stored.substr(1, Stored.size() - 2));
  return std::string(Stored);
}

std::string TConfControl::ReadString(std::string_view Section, std::string_view Ident, std::string_view Default) {
  Remember(Section, Ident);
  TWideFileMemIniFile &store = Store();
  // An absent key gives the default as it is; only stored values lose their quotes.
  if (!store.ValueExists(Section, Ident)) return std::string(Default);
  return UnquoteValue(store.ReadString(Section, Ident, ""));
}

void TConfControl::WriteString(std::string_view Section, std::string_view Ident, std::string_view Value) {
  Remember(Section, Ident);
  Store().WriteString(Section, Ident, QuoteValue(Value));
}

std::string TConfControl::ReadWideString(std::string_view Section, std::string_view Ident,
                                         std::string_view Default) {
  std::string value = ReadString(Section, Ident, Default);
  return IsValidUtf8(value) ? value : Cp1252ToUtf8(value);
}

void TConfControl::WriteWideString(std::string_view Section, std::string_view Ident, std::string_view Value) {
  WriteString(Section, Ident, Value);
}

std::int32_t TConfControl::ReadInteger(std::string_view Section, std::string_view Ident, std::int32_t Default) {
  Remember(Section, Ident);
  return Store().ReadInteger(Section, Ident, Default);
}

void TConfControl::WriteInteger(std::string_view Section, std::string_view Ident, std::int32_t Value) {
  Remember(Section, Ident);
  Store().WriteInteger(Section, Ident, Value);
}
