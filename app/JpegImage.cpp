#include "app/JpegImage.h"

#include "runtime/SysUtils.h"

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>

#include <jpeglib.h>
#include <jerror.h>

namespace {

// libjpeg reports fatal errors through error_exit, which must not return.
// We leave by longjmp to the frame that started the work; no C++ object with
// a destructor lives between setjmp and the libjpeg calls.
struct ErrorManager {
  jpeg_error_mgr pub;
  std::jmp_buf jump;
  int code;
};

void OnFatal(j_common_ptr info) {
  auto *err = reinterpret_cast<ErrorManager *>(info->err);
  err->code = err->pub.msg_code;
  std::longjmp(err->jump, 1);
}

// A truncated or corrupt stream only gives warnings in libjpeg; a damaged
// picture must not show as half grey, so warnings count as failures too.
void OnMessage(j_common_ptr info, int level) {
  if (level < 0) {
    auto *err = reinterpret_cast<ErrorManager *>(info->err);
    err->code = err->pub.msg_code;
    std::longjmp(err->jump, 1);
  }
}

void OnOutput(j_common_ptr) {}

std::string JpegErrorText(int code) { return "JPEG-Fehler #" + std::to_string(code); }

// Where the compressed bytes come from: memory or an open file.
struct Source {
  const unsigned char *data = nullptr;
  std::size_t size = 0;
  std::FILE *file = nullptr;
};

// Returns 0 on success, else the libjpeg message code (or -1).
int Decode(const Source &source, QImage *out) {
  jpeg_decompress_struct info;
  ErrorManager err;
  std::vector<unsigned char> row; // created before setjmp, so the jump skips no constructor
  std::memset(&info, 0, sizeof info);
  info.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = OnFatal;
  err.pub.emit_message = OnMessage;
  err.pub.output_message = OnOutput;
  err.code = -1;
  if (setjmp(err.jump)) {
    jpeg_destroy_decompress(&info);
    return err.code > 0 ? err.code : -1;
  }
  jpeg_create_decompress(&info);
  if (source.file != nullptr)
    jpeg_stdio_src(&info, source.file);
  else
    jpeg_mem_src(&info, source.data, static_cast<unsigned long>(source.size));
  jpeg_read_header(&info, TRUE);
  // The header alone tells the size: a picture too big to be a dial is
  // refused before anything is decoded or allocated for it.
  if (info.image_width > MaxPictureSide || info.image_height > MaxPictureSide) {
    err.code = JERR_IMAGE_TOO_BIG;
    std::longjmp(err.jump, 1);
  }
  info.out_color_space = JCS_RGB;
  jpeg_start_decompress(&info);
  if (info.output_components != 3)
    std::longjmp(err.jump, 1);
  *out = QImage(static_cast<int>(info.output_width), static_cast<int>(info.output_height), QImage::Format_RGB32);
  if (out->isNull())
    std::longjmp(err.jump, 1);
  row.resize(static_cast<std::size_t>(info.output_width) * 3);
  while (info.output_scanline < info.output_height) {
    JSAMPROW rows[1] = {row.data()};
    const int y = static_cast<int>(info.output_scanline);
    jpeg_read_scanlines(&info, rows, 1);
    auto *dst = reinterpret_cast<QRgb *>(out->scanLine(y));
    for (unsigned x = 0; x < info.output_width; ++x)
      dst[x] = qRgb(row[3 * x], row[3 * x + 1], row[3 * x + 2]);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return 0;
}

} // namespace

QImage DecodeJpeg(const unsigned char *data, std::size_t size) {
  if (data == nullptr || size == 0)
    throw Exception(JpegErrorText(-1));
  QImage image;
  Source source;
  source.data = data;
  source.size = size;
  const int code = Decode(source, &image);
  if (code != 0)
    throw Exception(JpegErrorText(code));
  return image;
}

QImage LoadJpegFile(const std::string &fileName) {
  std::FILE *f = std::fopen(fileName.c_str(), "rb");
  if (f == nullptr) {
    const int e = errno;
    throw Exception("Datei " + fileName + " kann nicht geöffnet werden. " + std::strerror(e));
  }
  // Decoded straight from the file: a refused picture costs no more than
  // its header.
  QImage image;
  Source source;
  source.file = f;
  const int code = Decode(source, &image);
  const bool failed = std::ferror(f) != 0;
  const int e = errno;
  std::fclose(f);
  if (failed)
    throw Exception("Datei " + fileName + " kann nicht gelesen werden. " + std::strerror(e));
  if (code != 0)
    throw Exception(JpegErrorText(code));
  return image;
}

std::vector<unsigned char> EncodeJpeg(const QImage &source, int quality) {
  const QImage image = source.convertToFormat(QImage::Format_RGB32);
  jpeg_compress_struct info;
  ErrorManager err;
  std::memset(&info, 0, sizeof info);
  info.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = OnFatal;
  err.pub.output_message = OnOutput;
  err.code = -1;
  unsigned char *buffer = nullptr;
  unsigned long size = 0;
  std::vector<unsigned char> row(static_cast<std::size_t>(image.width()) * 3);
  if (setjmp(err.jump)) {
    jpeg_destroy_compress(&info);
    std::free(buffer);
    throw Exception(JpegErrorText(err.code));
  }
  jpeg_create_compress(&info);
  jpeg_mem_dest(&info, &buffer, &size);
  info.image_width = static_cast<JDIMENSION>(image.width());
  info.image_height = static_cast<JDIMENSION>(image.height());
  info.input_components = 3;
  info.in_color_space = JCS_RGB;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, quality, TRUE);
  jpeg_start_compress(&info, TRUE);
  while (info.next_scanline < info.image_height) {
    const auto *src = reinterpret_cast<const QRgb *>(image.constScanLine(static_cast<int>(info.next_scanline)));
    for (int x = 0; x < image.width(); ++x) {
      row[3 * x] = static_cast<unsigned char>(qRed(src[x]));
      row[3 * x + 1] = static_cast<unsigned char>(qGreen(src[x]));
      row[3 * x + 2] = static_cast<unsigned char>(qBlue(src[x]));
    }
    JSAMPROW rows[1] = {row.data()};
    jpeg_write_scanlines(&info, rows, 1);
  }
  jpeg_finish_compress(&info);
  std::vector<unsigned char> out(buffer, buffer + size);
  jpeg_destroy_compress(&info);
  std::free(buffer);
  return out;
}
