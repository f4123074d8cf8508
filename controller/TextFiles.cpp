#include "controller/TextFiles.h"

#include "runtime/SysUtils.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

[[noreturn]] void Fail(const std::string &fileName, const char *what, int e) {
  throw EInOutError("Datei " + fileName + " kann nicht " + what + " werden. " + std::strerror(e), e);
}

// Writes all of content to fd; 0 or the errno value.
int WriteAll(int fd, const std::string &content) {
  std::size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return errno;
    }
    done += std::size_t(n);
  }
  return 0;
}

// Makes the temporary file beside the target and moves it over the target.
// 0, or the errno value of the step that failed; no temporary is left.
int ReplaceByRename(const std::string &fileName, const std::string &content, const char *&step) {
  const std::string temp = fileName + ".new";
  step = "erstellt";
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0)
    return errno;
  step = "geschrieben";
  int e = WriteAll(fd, content);
  if (e == 0 && ::fsync(fd) != 0)
    e = errno;
  if (::close(fd) != 0 && e == 0)
    e = errno;
  if (e == 0) {
    step = "erstellt";
    if (std::rename(temp.c_str(), fileName.c_str()) != 0)
      e = errno;
  }
  if (e != 0)
    ::unlink(temp.c_str());
  return e;
}

// Overwrites an existing regular file in place: new content first, then the
// length. 0, or the errno value; opened tells whether the file was touched.
int OverwriteInPlace(const std::string &fileName, const std::string &content, bool &opened) {
  opened = false;
  const int fd = ::open(fileName.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0)
    return errno;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return EISDIR;
  }
  opened = true;
  int e = WriteAll(fd, content);
  if (e == 0 && ::ftruncate(fd, off_t(content.size())) != 0)
    e = errno;
  if (e == 0 && ::fsync(fd) != 0)
    e = errno;
  if (::close(fd) != 0 && e == 0)
    e = errno;
  return e;
}

} // namespace

void ReadFileChunks(const std::string &fileName, const std::function<bool(std::string_view)> &take) {
  // Closed also when take throws.
  const std::unique_ptr<std::FILE, int (*)(std::FILE *)> f(std::fopen(fileName.c_str(), "rb"), &std::fclose);
  if (!f)
    Fail(fileName, "geöffnet", errno);
  std::vector<char> chunk(65536);
  std::size_t n;
  bool more = true;
  while (more && (n = std::fread(chunk.data(), 1, chunk.size(), f.get())) > 0)
    more = take(std::string_view(chunk.data(), n));
  if (more && std::ferror(f.get()) != 0)
    Fail(fileName, "gelesen", errno);
}

void ForEachTextLine(const std::string &fileName, std::size_t maxBytes,
                     const std::function<bool(const TextLine &)> &visit) {
  TextLine line;
  bool pending = false; // a line has begun that no line end closed yet
  bool afterCr = false; // the LF of a CR LF still to be skipped
  bool go = true;
  auto finish = [&] {
    go = visit(line);
    line.text.clear();
    line.cut = false;
    pending = false;
  };
  ReadFileChunks(fileName, [&](std::string_view chunk) {
    std::size_t i = 0;
    while (go && i < chunk.size()) {
      if (afterCr) {
        afterCr = false;
        if (chunk[i] == '\n') {
          ++i;
          continue;
        }
      }
      // Up to the next line end in one step; bytes past the limit are only
      // looked at, never kept.
      std::size_t end = i;
      while (end < chunk.size() && chunk[end] != '\r' && chunk[end] != '\n')
        ++end;
      if (end > i) {
        pending = true;
        const std::size_t room = maxBytes - std::min(maxBytes, line.text.size());
        const std::size_t keep = std::min(room, end - i);
        line.text.append(chunk.data() + i, keep);
        if (keep < end - i)
          line.cut = true;
      }
      if (end == chunk.size())
        break;
      afterCr = chunk[end] == '\r';
      i = end + 1;
      finish();
    }
    return go;
  });
  if (go && pending)
    visit(line);
}

std::vector<TextLine> ReadTextLines(const std::string &fileName, std::size_t maxLines, std::size_t maxBytes) {
  std::vector<TextLine> lines;
  if (maxLines == 0)
    return lines;
  ForEachTextLine(fileName, maxBytes, [&](const TextLine &l) {
    lines.push_back(l);
    return lines.size() < maxLines;
  });
  return lines;
}

void WriteTextLines(const std::string &fileName, const std::vector<std::string> &lines) {
  std::string content;
  for (const std::string &l : lines)
    content += l + "\r\n";
  const char *step = "erstellt";
  const int e = ReplaceByRename(fileName, content, step);
  if (e == 0)
    return;
  // A temporary that could be written but not kept points at the disk, not
  // the folder: the old file stays as it is.
  if (std::strcmp(step, "geschrieben") == 0)
    Fail(fileName, step, e);
  // No file can be made or renamed beside the target (a folder closed to
  // us): a plain overwrite may still work.
  bool opened = false;
  const int inPlace = OverwriteInPlace(fileName, content, opened);
  if (inPlace == 0)
    return;
  if (opened)
    Fail(fileName, "geschrieben", inPlace);
  Fail(fileName, step, e);
}

bool FileExists(const std::string &fileName) {
  std::error_code ec;
  return std::filesystem::is_regular_file(fileName, ec);
}
