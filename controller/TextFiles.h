#pragma once
// Line-based text files as the configuration and language files use them.
// The files come from outside the program, so reading never holds more than
// a bounded piece of a line, whatever the file holds.
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// One line as read: its first bytes, and whether there were more.
struct TextLine {
  std::string text;
  bool cut = false;
};

// Hands the file's bytes over in pieces of a fixed size, in order; stops
// when take returns false. Throws EInOutError when the file cannot be read.
void ReadFileChunks(const std::string &fileName, const std::function<bool(std::string_view)> &take);

// Reads line by line; CR LF, LF and a lone CR each end a line. Each line is
// handed to visit with at most maxBytes of its text; reading stops when
// visit returns false. An empty file gives no lines.
void ForEachTextLine(const std::string &fileName, std::size_t maxBytes,
                     const std::function<bool(const TextLine &)> &visit);

// The first maxLines lines, each cut to maxBytes.
std::vector<TextLine> ReadTextLines(const std::string &fileName, std::size_t maxLines, std::size_t maxBytes);

// Writes every line followed by CR LF. The new content goes to a temporary
// file beside the target that then replaces it, so a failed write never
// leaves a half-written file behind. Where no file can be made beside it (a
// folder the user may not write) but the target itself is writable, the
// target is overwritten in place instead. Throws EInOutError on failure.
void WriteTextLines(const std::string &fileName, const std::vector<std::string> &lines);

bool FileExists(const std::string &fileName);
