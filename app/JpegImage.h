#pragma once
// Our own JPEG reader and writer on libjpeg. The dial pictures are kept as
// JPEG files; Qt's image plugins are deliberately not used for them.
#include <QImage>
#include <cstddef>
#include <string>
#include <vector>

// Pictures wider or higher than this are refused from their header alone.
constexpr unsigned MaxPictureSide = 4096;

// Decodes a JPEG picture held in memory into a 32-bit RGB image.
// Throws Exception ("JPEG-Fehler #n") when the data is not a readable JPEG
// or the picture is larger than MaxPictureSide a side.
QImage DecodeJpeg(const unsigned char *data, std::size_t size);

// Reads and decodes a JPEG file. A file that cannot be opened throws
// Exception "Datei <name> kann nicht geöffnet werden. <reason>"; the
// picture's own faults throw as DecodeJpeg does.
QImage LoadJpegFile(const std::string &fileName);

// Encodes an image as a baseline JPEG (used to produce the dial pictures).
std::vector<unsigned char> EncodeJpeg(const QImage &image, int quality = 92);
