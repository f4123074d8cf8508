#pragma once
// The two built-in dial pictures (200 x 200, centre at (100, 100)), compiled
// into the program as JPEG bytes and decoded with our libjpeg reader.
#include <QImage>
#include <cstddef>

struct DialJpeg {
  const unsigned char *data;
  std::size_t size;
};

DialJpeg AzimuthDialJpeg();
DialJpeg ElevationDialJpeg();

// Decoded pictures; throws Exception if the compiled-in data were damaged.
QImage BuiltinAzimuthDial();
QImage BuiltinElevationDial();
