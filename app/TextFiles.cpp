#include "app/TextFiles.h"

#include "runtime/SysUtils.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <unistd.h>

std::vector<std::string> ReadTextLines(const std::string &fileName) {
  std::FILE *f = std::fopen(fileName.c_str(), "rb");
  if (f == nullptr) {
    const int e = errno;
    throw EInOutError("Datei " + fileName + " kann nicht geöffnet werden. " + std::strerror(e), e);
  }
  std::string content;
  char chunk[4096];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0)
    content.append(chunk, n);
  const bool failed = std::ferror(f) != 0;
  const int e = errno;
  std::fclose(f);
  if (failed)
    throw EInOutError("Datei " + fileName + " kann nicht gelesen werden. " + std::strerror(e), e);

  std::vector<std::string> lines;
  std::string line;
  bool pending = false;
  for (std::size_t i = 0; i < content.size(); ++i) {
    const char c = content[i];
    if (c == '\r' || c == '\n') {
      lines.push_back(line);
      line.clear();
      pending = false;
      if (c == '\r' && i + 1 < content.size() && content[i + 1] == '\n')
        ++i;
    } else {
      line += c;
      pending = true;
    }
  }
  if (pending)
    lines.push_back(line);
  return lines;
}

void WriteTextLines(const std::string &fileName, const std::vector<std::string> &lines) {
  const std::string temp = fileName + ".new";
  auto fail = [&](const std::string &what, int e) {
    std::remove(temp.c_str());
    throw EInOutError("Datei " + fileName + " kann nicht " + what + " werden. " + std::strerror(e), e);
  };
  std::FILE *f = std::fopen(temp.c_str(), "wb");
  if (f == nullptr)
    fail("erstellt", errno);
  std::string content;
  for (const std::string &l : lines)
    content += l + "\r\n";
  const bool written = std::fwrite(content.data(), 1, content.size(), f) == content.size();
  const int writeErr = errno;
  const bool flushed = std::fflush(f) == 0 && ::fsync(::fileno(f)) == 0;
  const int flushErr = errno;
  if (std::fclose(f) != 0 && written && flushed)
    fail("geschrieben", errno);
  if (!written)
    fail("geschrieben", writeErr);
  if (!flushed)
    fail("geschrieben", flushErr);
  if (std::rename(temp.c_str(), fileName.c_str()) != 0)
    fail("erstellt", errno);
}

bool FileExists(const std::string &fileName) {
  std::error_code ec;
  return std::filesystem::is_regular_file(fileName, ec);
}
