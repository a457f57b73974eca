// The camera settings a picture was taken with, from its EXIF data, so that measurements of a
// series can be told apart and ordered (S/N against ISO, exposure or file).
//
// Read with Exiv2's easy-access functions, which fall back through the standard tags and the
// makers' notes. A picture without EXIF (a BMP, a stripped JPEG) simply has none; damaged EXIF
// gives a warning and whatever could be read, and never fails the measurement.
//
// Any thread: the library is entered by one thread at a time.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

struct TCameraSettings {
  std::optional<double> Iso;          // ISO speed
  std::optional<double> ExposureTime; // seconds
  std::optional<double> FNumber;
  std::optional<double> FocalLength; // millimetres
  std::string Make, Model, Lens;
  std::string DateTime; // "YYYY:MM:DD HH:MM:SS" as the camera wrote it
  std::string Warning;  // not empty: the EXIF data are damaged (what was read is kept)

  bool Empty() const {
    return !Iso && !ExposureTime && !FNumber && !FocalLength && Make.empty() && Model.empty() && Lens.empty() &&
           DateTime.empty();
  }
  // One line for people: "Make Model, lens L, ISO 800, 1/250 s, f/2.8, 50 mm, 2026:01:02 10:11:12";
  // empty when there is nothing.
  std::string Summary() const;
};

// The settings of the picture file FileName, or of a picture file's bytes held in memory.
TCameraSettings ReadCameraSettings(const std::string &FileName);
TCameraSettings ReadCameraSettings(std::span<const std::uint8_t> Bytes);

// An exposure time as photographers write it: "1/250 s" below a second, "2.5 s" above.
std::string ExposureText(double Seconds);
