#include "app/untKalvExif.h"

#include <cmath>
#include <cstdio>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>

#include <exiv2/exiv2.hpp>

#include "platform/untSysUtils.h"

namespace {
// The library keeps global state (its tables and, for XMP, a parser), so it is entered by one
// thread at a time; --measure reads two files at once.
std::mutex &ExivLock() {
  static std::mutex lock;
  return lock;
}

std::optional<double> Number(const Exiv2::ExifData &Data, Exiv2::ExifData::const_iterator It) {
  if (It == Data.end() || It->count() == 0) return std::nullopt;
  double v = 0;
  const Exiv2::TypeId type = It->typeId();
  if (type == Exiv2::unsignedRational || type == Exiv2::signedRational) {
    // In full: 1/250 is 0.004, not the float nearest to it.
    const Exiv2::Rational r = It->toRational(0);
    if (r.second == 0) return std::nullopt;
    v = static_cast<double>(r.first) / static_cast<double>(r.second);
  } else {
    v = static_cast<double>(It->toFloat(0));
  }
  if (!std::isfinite(v) || v <= 0) return std::nullopt;
  return v;
}

std::string Text(const Exiv2::ExifData &Data, Exiv2::ExifData::const_iterator It, bool Interpreted) {
  if (It == Data.end() || It->count() == 0) return {};
  // A lens given by a maker's number is named by its interpreted form.
  std::string s = Interpreted ? It->print(&Data) : It->toString();
  // Cameras pad their strings with spaces and NULs.
  while (!s.empty() && (s.back() == '\0' || s.back() == ' ')) s.pop_back();
  return Trim(s);
}

// Exiv2 0.27 hands out std::auto_ptr, deprecated since C++11: Open takes it over at once.
using TImagePtr = std::unique_ptr<Exiv2::Image>;

TCameraSettings Read(const std::function<TImagePtr()> &Open) {
  TCameraSettings s;
  std::lock_guard<std::mutex> guard(ExivLock());
  // Its own warnings go to stderr otherwise; a damaged block is reported by the caller instead.
  Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
  try {
    TImagePtr image = Open();
    if (image.get() == nullptr) return s;
    image->readMetadata();
    const Exiv2::ExifData &ed = image->exifData();
    if (ed.empty()) return s;
    // Each field on its own, so one damaged entry keeps the others.
    const auto field = [&](const auto &Get) {
      try {
        Get();
      } catch (const std::exception &e) {
        if (s.Warning.empty()) s.Warning = e.what();
      }
    };
    field([&] { s.Iso = Number(ed, Exiv2::isoSpeed(ed)); });
    field([&] { s.ExposureTime = Number(ed, Exiv2::exposureTime(ed)); });
    field([&] { s.FNumber = Number(ed, Exiv2::fNumber(ed)); });
    field([&] { s.FocalLength = Number(ed, Exiv2::focalLength(ed)); });
    field([&] { s.Make = Text(ed, Exiv2::make(ed), false); });
    field([&] { s.Model = Text(ed, Exiv2::model(ed), false); });
    field([&] { s.Lens = Text(ed, Exiv2::lensName(ed), true); });
    field([&] { s.DateTime = Text(ed, Exiv2::dateTimeOriginal(ed), false); });
  } catch (const std::exception &e) {
    s.Warning = e.what();
  } catch (...) {
    s.Warning = "unreadable camera settings";
  }
  if (!s.Warning.empty()) s.Warning = "damaged EXIF data: " + s.Warning;
  return s;
}

std::string Shortest(double V) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.4g", V);
  return buf;
}
} // namespace

TCameraSettings ReadCameraSettings(const std::string &FileName) {
  return Read([&] { return TImagePtr(Exiv2::ImageFactory::open(FileName, false).release()); });
}

TCameraSettings ReadCameraSettings(std::span<const std::uint8_t> Bytes) {
  if (Bytes.empty()) return {};
  return Read([&] {
    return TImagePtr(Exiv2::ImageFactory::open(reinterpret_cast<const Exiv2::byte *>(Bytes.data()),
                                               static_cast<long>(Bytes.size())).release());
  });
}

std::string ExposureText(double Seconds) {
  if (Seconds > 0 && Seconds < 0.5) {
    const double d = 1.0 / Seconds;
    return "1/" + Shortest(std::round(d * 10) / 10) + " s";
  }
  return Shortest(Seconds) + " s";
}

std::string TCameraSettings::Summary() const {
  std::string out;
  const auto add = [&](const std::string &Part) {
    if (Part.empty()) return;
    if (!out.empty()) out += ", ";
    out += Part;
  };
  // A model usually repeats its maker's name.
  std::string camera = Model;
  if (!Make.empty() && Model.rfind(Make, 0) != 0) camera = Trim(Make + " " + Model);
  add(camera);
  if (!Lens.empty()) add("lens " + Lens);
  if (Iso) add("ISO " + Shortest(*Iso));
  if (ExposureTime) add(ExposureText(*ExposureTime));
  if (FNumber) add("f/" + Shortest(*FNumber));
  if (FocalLength) add(Shortest(*FocalLength) + " mm");
  add(DateTime);
  return out;
}
