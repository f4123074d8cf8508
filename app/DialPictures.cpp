#include "app/DialPictures.h"

#include "app/JpegImage.h"

QImage BuiltinAzimuthDial() {
  const DialJpeg j = AzimuthDialJpeg();
  return DecodeJpeg(j.data, j.size);
}

QImage BuiltinElevationDial() {
  const DialJpeg j = ElevationDialJpeg();
  return DecodeJpeg(j.data, j.size);
}
